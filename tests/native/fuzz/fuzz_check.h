// A check for fuzz targets that stays on in every build: a property that fails aborts,
// and libFuzzer reports the input that made it fail.
#pragma once
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                      \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                           \
    }                                                                         \
  } while (0)
