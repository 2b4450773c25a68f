#pragma once
// A property check for fuzz targets: a broken property aborts, which libFuzzer reports
// as a crash (and keeps the input) and the replay test reports as a failure.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)
