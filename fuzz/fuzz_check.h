#pragma once
// FUZZ_CHECK: an invariant of a fuzz target. Unlike assert it stays on in
// release builds, and it aborts, which libFuzzer reports as a crash and keeps
// the input that broke the invariant.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)
