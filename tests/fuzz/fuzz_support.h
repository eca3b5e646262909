// What the fuzzers share: a check that stops the run, and quiet console streams.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "common/trace.h"

#define FUZZ_CHECK(condition)                                                      \
    do {                                                                           \
        if (!(condition)) {                                                        \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

namespace vornel::fuzz {

// The routines under test write messages; the fuzzers do not want them on the terminal.
inline void quietConsole() {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    resetTrace(sink, sink);
}

}  // namespace vornel::fuzz
