// The platform contract suite against the Windows API, run under Wine by the end-to-end rig:
//   platform_contract_win32.exe --self=<this program's Windows path> [gtest options]
// The same program is the contract service when started with --contract-service, and a
// process that only waits when started with --sleep.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/win32/win32_platform.h"
#include "platform_contract.h"

namespace vornel::contract {
namespace {

class Win32Target final : public Target {
public:
    explicit Win32Target(std::string self) : self_(std::move(self)) {}
    Platform& platform() override { return win32Platform(); }
    std::string serviceImagePath() override { return "\"" + self_ + "\" --contract-service"; }
    std::string exitThreeCommandLine() override { return "cmd.exe /c exit 3"; }
    std::string longRunningCommandLine() override { return "\"" + self_ + "\" --sleep"; }
    std::string childStartingCommandLine() override {
        return "cmd.exe /c start \"\" /b \"" + self_ + "\" --sleep";
    }
    std::string scratchDirectory() override { return "C:\\windows\\temp\\"; }
    // Wine's ntdll exports its version; Windows' does not.
    bool wineServiceManager() override {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }

private:
    std::string self_;
};

}  // namespace
}  // namespace vornel::contract

int main(int argc, char** argv) {
    std::string self = argc > 0 ? argv[0] : "";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--self=", 7) == 0) self = argv[i] + 7;
    }
    vornel::contract::Win32Target target(self);
    vornel::contract::setTarget(&target);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sleep") == 0) {
            Sleep(600000);  // ended by the test long before
            return 0;
        }
        if (std::strcmp(argv[i], "--contract-service") == 0) {
            return vornel::contract::runContractService(vornel::win32Platform()) == 0 ? 0 : 1;
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
