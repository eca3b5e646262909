// The six programs' own option tables, and each program's entry routine, for the fuzzers.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "common/options.h"
#include "platform/platform.h"

namespace vornel::fuzz {

struct Program {
    const char* name;
    OptionTable (*table)();                            // a fresh table, as a new process has it
    int (*main)(Platform& os, int argc, char** argv);
    std::optional<size_t> help;                        // the position of -help, from the program's enumeration
    std::optional<size_t> serviceName;                 // the position of -servicename
    // The positions of -userid and -password for the tools that build the extra-parameters line
    // (start, stop).
    std::optional<std::pair<size_t, size_t>> extraParams;
};

// Every program, in a fixed order.
const std::vector<Program>& programs();

}  // namespace vornel::fuzz
