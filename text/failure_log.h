// Failures the program deliberately goes on after (a fetch that failed, a
// write that did not land) are reported here, so that they can be seen when
// someone asks. The logic libraries call ReportFailure; the program installs
// a sink that passes them to the toolkit's logging categories, which are off
// unless switched on. Without a sink a report costs a load and a compare.
#pragma once

#include <string_view>

namespace dt {

enum class FailureArea { Files, Fetch, Run };

using FailureSink = void (*)(FailureArea area, std::string_view message);

// Safe to call from any thread; the sink must be too.
void SetFailureSink(FailureSink sink);
void ReportFailure(FailureArea area, std::string_view message);

}  // namespace dt
