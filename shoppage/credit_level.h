// Names of the marketplace's credit levels, keyed by the rank image's code.
#pragma once

#include <string>
#include <string_view>

namespace dt {

// The level name (GBK) for a rank code such as "s_cap_3", compared as whole
// bytes (case counts, no trimming); "0" for any other code, the same text that
// stands for "no credit".
std::string CreditLevelName(std::string_view rankCode);

}  // namespace dt
