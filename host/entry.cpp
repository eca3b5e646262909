// The host's entry: the command-line check, the event source, the dispatcher.
#include <memory>
#include <string>

#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {

void printUsage() {
    static const char* const pieces[] = {
        "\r\n ",
        "\r\nUsage: VornelAgentService.exe (with no arguments displays this help)",
        "\r\n ",
        "\r\n       The VornelAgent Windows Service cannot be started using VornelAgentService.exe",
        "\r\n ",
        "\r\n       To Install the VornelAgent windows service, use InstallVornelAgentService.exe located in the "
        "<agent home>/bin directory.",
        "\r\n ",
        "\r\n       To Uninstall the VornelAgent windows service, use UninstallVornelAgentService.exe located in "
        "the <agent home>/bin directory.",
        "\r\n ",
        "\r\n       To Start the VornelAgent windows service, use StartVornelAgentService.exe located in the "
        "<agent home>/bin directory.",
        "\r\n ",
        "\r\n       To Stopt the VornelAgent windows service, use StopVornelAgentService.exe located in the "
        "<agent home>/bin directory.",
        "\r\n ",
        "\r\n       Note that you may also start and stop the VornelAgent windows service from the Windows "
        "Services Menu.",
        "\r\n ",
        "\r\n       Use VornelAgentServiceInfo.exe to obtain information about an VornelAgent windows service.",
        "\r\n ",
    };
    for (const char* piece : pieces) writeOut("%s", piece);
    flushConsole();
}

void waitForControlAnswers(HostContext& host) {
    constexpr uint32_t kPollMs = 10;
    constexpr uint32_t kLimitMs = 30000;
    constexpr uint32_t kAnswerMs = 200;
    for (uint32_t waited = 0; host.inbox->handlersRunning > 0 && waited < kLimitMs; waited += kPollMs) {
        host.os.sleep(kPollMs);
    }
    if (host.inbox->controlHandled) host.os.sleep(kAnswerMs);
}

int vornelAgentServiceProgramMain(Platform& os, int argc, char** argv) {
    if (argc <= 1) {
        printUsage();
        return 0;
    }
    OptionTable options = optionTableOf<HostOptions>();
    if (parseOptions(options, argc, argv) == 0) {
        printUsage();
        return -1;
    }
    // Whatever the first argument looks like, it is the service name.
    const std::string serviceName = argv[1];

    // Shared with the service main, whose thread may outlive this routine's return.
    auto host = std::make_shared<HostContext>(os);
    if (host->eventSource == 0) {
        EventSource source = 0;
        if (os.registerEventSource(serviceName, source) == win::kErrorSuccess) host->eventSource = source;
    }
    // The dispatcher returns once the service has reported stopped, or at once when the
    // service control manager did not launch this process. Either way: the usage text, so
    // its result is not examined.
    (void)os.runServiceDispatcher(serviceName, [host](int mainArgc, char** mainArgv) {
        VornelAgentServiceMain(*host, mainArgc, mainArgv);
    });
    waitForControlAnswers(*host);
    printUsage();
    return 0;
}

}  // namespace vornel::host
