// Invariant checks of the fuzz targets. A violation prints what broke and aborts, so libFuzzer
// records the input as a crash just as it does for a sanitizer report.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "INVARIANT VIOLATED (%s:%d): %s\n  ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fprintf(stderr, "\n");                                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
