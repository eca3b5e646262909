// The first steps every tool takes with its command line, before its own checks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/options.h"

namespace vornel {

// Parses the command line against the tool's table, collects the unrecognised arguments and
// sets the trace switch from the tool's debug option. False when an option that needs a value
// stood without one: the parser has written its message, and the caller prints its usage and
// ends with -1.
bool readCommandLine(OptionTable& table, int argc, char** argv, size_t debugPosition,
                     std::optional<std::string>& unknown);

// "Required argument [-servicename] not specified!" on the error stream, without a line end.
void reportMissingServiceName();

}  // namespace vornel
