// Names of the marketplace's credit levels, keyed by the rank image's code.
#pragma once

#include <string>
#include <string_view>

namespace dt {

// The level name (GBK) for a rank code such as "s_cap_3", compared as whole
// bytes (case counts, no trimming); any other code gives "0", which is also
// what a shop without credit shows.
std::string CreditLevelName(std::string_view rankCode);

}  // namespace dt
