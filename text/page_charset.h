// The character set a page says it is written in, and the page as the GBK
// bytes the parser reads.
#pragma once

#include <string>
#include <string_view>

namespace dt {

// How far into a page a <meta> declaration is looked for.
inline constexpr std::size_t kCharsetSniffBytes = 1024;

// The charset named by the Content-Type header, else by a <meta charset> or
// <meta http-equiv="Content-Type" content="...; charset=..."> within the
// page's first kCharsetSniffBytes; lower case, empty when neither names one.
// The header wins over the page.
std::string DeclaredCharset(std::string_view contentType, std::string_view body);

// GBK, its predecessor GB2312 and its superset GB18030, under their usual
// names: pages in these are read as they are.
bool ReadsAsGbk(std::string_view charset);

// The body as GBK bytes: unchanged when it declares nothing or a GBK
// family set, else converted to GB18030 (GBK for every character GBK has).
std::string PageInGbk(std::string body, std::string_view contentType);

}  // namespace dt
