// The platform contract suite against the in-memory platform.
#include <gtest/gtest.h>

#include <thread>

#include "tests/memory/memory_platform.h"
#include "platform_contract.h"

namespace vornel::contract {
namespace {

// A start request runs the contract service's program on a thread of its own, as the service
// manager would launch its process.
class MemoryTarget final : public Target {
public:
    MemoryTarget() {
        os_.makeDirectory(scratchDirectory());
        os_.setStartHandler([this](const std::string& name) {
            if (process_.joinable()) process_.join();
            os_.setLaunchedByManager(true);
            // The service's process, as QueryServiceStatusEx names it until the service stops.
            if (servicePid_ != 0) os_.endProcess(servicePid_);
            servicePid_ = os_.spawnProcess(MemoryPlatform::ProcessSpec{});
            os_.setServiceProcessId(name, servicePid_);
            process_ = std::thread([this] { runContractService(os_); });
            return ErrorCode{0};
        });
        os_.setLauncher([this](const MemoryPlatform::Launch& launch) {
            MemoryPlatform::LaunchOutcome outcome;
            if (launch.commandLine == longRunningCommandLine()) return outcome;  // runs until ended
            outcome.process.runsForMs = 0;
            outcome.process.exitCode = launch.commandLine == exitThreeCommandLine() ? 3 : 0;
            if (launch.commandLine == childStartingCommandLine()) {
                const uint32_t script = launch.pid;
                outcome.process.onExit = [this, script] {
                    MemoryPlatform::ProcessSpec child;
                    child.parent = script;
                    os_.spawnProcess(child);
                };
            }
            return outcome;
        });
    }
    ~MemoryTarget() override {
        os_.shutdown();
        if (process_.joinable()) process_.join();
    }

    Platform& platform() override { return os_; }
    std::string serviceImagePath() override { return "\"C:\\contract\\contract.exe\" --contract-service"; }
    std::string exitThreeCommandLine() override { return "cmd.exe /c exit 3"; }
    std::string longRunningCommandLine() override { return "\"C:\\contract\\contract.exe\" --sleep"; }
    std::string childStartingCommandLine() override {
        return "cmd.exe /c start \"\" /b \"C:\\contract\\contract.exe\" --sleep";
    }
    std::string scratchDirectory() override { return "C:\\scratch\\"; }
    bool wineServiceManager() override { return false; }

private:
    MemoryPlatform os_;
    std::thread process_;
    uint32_t servicePid_ = 0;
};

}  // namespace
}  // namespace vornel::contract

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    vornel::contract::MemoryTarget target;
    vornel::contract::setTarget(&target);
    return RUN_ALL_TESTS();
}
