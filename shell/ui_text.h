// Where texts cross between the program's GBK bytes and the toolkit's Unicode:
// the only place the shell converts, in both directions.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace dt::shell {

// Lossless both ways: a byte that is not valid GBK becomes a private-use
// character and comes back as the same byte.
QString Ui(std::string_view gbk);
std::string Gbk(const QString& text);

}  // namespace dt::shell
