#include "common/command_line.h"

#include "common/trace.h"

namespace vornel {

bool readCommandLine(OptionTable& table, int argc, char** argv, size_t debugPosition,
                     std::optional<std::string>& unknown) {
    if (parseOptions(table, argc, argv) == 0) return false;
    unknown = getUnknownParams(table, argc, argv);
    if (isOptionSet(table, debugPosition)) {
        enableTrace();
    } else {
        disableTrace();
    }
    return true;
}

void reportUnrecognizedParameters(const std::string& unknown) {
    writeErr("Unrecognized parameters encountered on the command line: '%s'\n", unknown.c_str());
}

void reportMissingServiceName() { writeErr("Required argument [-servicename] not specified!"); }

void reportMissingAgentName(Console console) {
    const char* const message = "Required argument [-agentname] not specified!";
    if (console == Console::Out) {
        writeOut("%s", message);
    } else {
        writeErr("%s", message);
    }
}

}  // namespace vornel
