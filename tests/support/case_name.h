// Names a table-driven case after its `what`, so that a failing case reads as
// what it checks in the test list instead of as the bytes of its parameter:
// the case's index, then the letters and digits of `what` with every other
// run of characters as one '_'.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace dt::test {

struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    std::string name = std::to_string(info.index);
    bool gap = true;
    for (const char* p = info.param.what; *p != '\0'; ++p) {
      const char c = *p;
      const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      if (keep) {
        if (gap) name += '_';
        name += c;
      }
      gap = !keep;
    }
    return name;
  }
};

}  // namespace dt::test
