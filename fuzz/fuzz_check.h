// A failed invariant in a harness: print what broke and abort, so libFuzzer
// records the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define DT_FUZZ_CHECK(cond)                                                             \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)
