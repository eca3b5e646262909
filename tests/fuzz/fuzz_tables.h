// The six programs' own option tables, and each program's entry routine, for the fuzzers.
#pragma once

#include <vector>

#include "common/options.h"
#include "platform/platform.h"

namespace vornel::fuzz {

struct Program {
    const char* name;
    OptionTable (*table)();                       // a fresh table, as a new process has it
    int (*main)(Platform& os, int argc, char** argv);
    bool extraParams;                             // builds the extra-parameters line (start, stop)
};

// Every program, in a fixed order.
const std::vector<Program>& programs();

// The positions of userid and password in the tables that have them.
inline constexpr size_t kUseridPosition = 1;
inline constexpr size_t kPasswordPosition = 2;

}  // namespace vornel::fuzz
