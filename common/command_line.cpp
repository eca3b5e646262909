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

void reportMissingServiceName() { writeErr("Required argument [-servicename] not specified!"); }

}  // namespace vornel
