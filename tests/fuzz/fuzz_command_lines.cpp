// Each program's entry routine over any argument vector, on an in-memory Windows with no agent
// service installed: the first byte picks the program, the rest are the arguments, split at
// zero bytes.
//
// Whatever the command line: the exit status is one the program can give; every key, service
// and process handle the program opened is closed again; a command line whose option lacks
// its value ends with -1, that one message and the usage, before any platform call; -help on
// an acceptable command line of a tool shows the usage and ends with 0 without touching the
// platform; and a tool that finds no service never claims success.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "fuzz_tables.h"
#include "platform/memory/memory_platform.h"

namespace {

using vornel::OptionTable;

// Whether the command line parses, by the parser itself (the option fuzzer checks the parser
// against the rules), and whether -help is present.
struct Parse {
    bool accepted = false;
    bool help = false;
    std::optional<std::string> serviceName;
    std::string message;
};

Parse parseQuietly(const vornel::fuzz::Program& program, vornel::fuzz::FuzzArgv& argv) {
    vornel::fuzz::CapturedConsole console;
    OptionTable table = program.table();
    Parse parse;
    parse.accepted = vornel::parseOptions(table, argv.argc(), argv.argv()) == 1;
    parse.message = console.err();
    if (program.help) parse.help = vornel::isOptionSet(table, *program.help);
    if (program.serviceName) parse.serviceName = vornel::getOptionValue(table, *program.serviceName);
    return parse;
}

// The output without the uninstall tool's first line, which repeats the name it was given.
std::string withoutEcho(const std::string& program, const std::string& out, const Parse& parse) {
    if (program != "UninstallVornelAgentService" || !parse.serviceName) return out;
    const std::string echo = "Remove Service: " + *parse.serviceName + "\r\n";
    return out.compare(0, echo.size(), echo) == 0 ? out.substr(echo.size()) : out;
}

std::set<int> exitStatuses(const std::string& program) {
    if (program == "VornelAgentServiceInfo") return {0, -1, 2, 3};
    return {0, -1};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    if (size == 0) return 0;
    const std::vector<fuzz::Program>& programs = fuzz::programs();
    const fuzz::Program& program = programs[data[0] % programs.size()];
    const std::string name = program.name;
    const bool isHost = name == "VornelAgentService";
    fuzz::FuzzArgv argv(data + 1, size - 1);
    const Parse parse = parseQuietly(program, argv);

    MemoryPlatform os;
    fuzz::CapturedConsole console;
    const int status = program.main(os, argv.argc(), argv.argv());
    const std::string out = console.out();
    const std::string err = console.err();

    FUZZ_CHECK(exitStatuses(name).count(status) == 1);
    FUZZ_CHECK(os.openHandleCount() == 0);
    FUZZ_CHECK(!os.hangDetected());
    const bool usageShown = out.find("Usage: " + name + ".exe (with no arguments displays this help)") !=
                            std::string::npos;
    if (isHost && argv.argc() <= 1) {
        FUZZ_CHECK(status == 0 && usageShown && err.empty() && os.callCount() == 0);
    } else if (!parse.accepted) {
        FUZZ_CHECK(status == -1 && usageShown && err == parse.message && os.callCount() == 0);
    } else if (parse.help && !isHost) {
        // Only the trace (with -debug) may be written besides the usage.
        FUZZ_CHECK(status == 0 && usageShown && os.callCount() == 0);
    }
    if (!isHost && name != "InstallVornelAgentService") {
        // Nothing is installed, so nothing can have been started, stopped, removed or found.
        FUZZ_CHECK(withoutEcho(name, out, parse).find("Successfully") == std::string::npos);
        FUZZ_CHECK(os.keyExists("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"));
        FUZZ_CHECK(os.subKeys("SYSTEM\\CurrentControlSet\\Services").size() == 1);
    }
    if (isHost && parse.accepted && argv.argc() > 1) {
        // Run by hand, not by the service manager: the dispatcher refuses, the usage follows.
        FUZZ_CHECK(status == 0 && usageShown);
    }
    return 0;
}
