// A property a fuzz target checks on every input: when it fails, the input
// is printed and the run aborts, so the driver (and libFuzzer) count it as a
// crash and keep the input.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
