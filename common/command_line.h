// The first steps every tool takes with its command line, and the refusals the tools share.
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

// The refusals of a command line that more than one tool writes, each in its one wording. A
// tool follows each with its usage text and ends with -1.

// The console stream a refusal goes to.
enum class Console { Out, Err };

// "Unrecognized parameters encountered on the command line: '%s'\n" on the error stream, with
// the unrecognised-argument text (each argument followed by a blank).
void reportUnrecognizedParameters(const std::string& unknown);

// "Required argument [-servicename] not specified!" on the error stream, without a line end.
void reportMissingServiceName();

// "Required argument [-agentname] not specified!", without a line end: the installer writes it
// on the error stream, the info tool on the output stream.
void reportMissingAgentName(Console console);

}  // namespace vornel
