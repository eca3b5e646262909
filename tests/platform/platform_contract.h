// The platform contract suite: the same cases against the in-memory platform (natively) and
// against the Windows API (cross-built, under Wine). Each target gives the suite its platform
// and the few things that differ between the two worlds.
#pragma once

#include <string>

#include "platform/platform.h"

namespace vornel::contract {

class Target {
public:
    virtual ~Target() = default;
    virtual Platform& platform() = 0;
    // The image path of a service whose program runs runContractService.
    virtual std::string serviceImagePath() = 0;
    // A command line whose process ends at once with exit code 3.
    virtual std::string exitThreeCommandLine() = 0;
    // A command line whose process runs until it is ended.
    virtual std::string longRunningCommandLine() = 0;
    // A script that starts a process that runs until it is ended (as startAgent.bat starts the
    // agent), and ends at once.
    virtual std::string childStartingCommandLine() = 0;
    // A directory for scratch files, with its closing separator.
    virtual std::string scratchDirectory() = 0;
    // Whether the service manager is Wine's, which refuses the delayed automatic start and the
    // failure-actions flag (87) and keeps no failure actions (docs/wine.md).
    virtual bool wineServiceManager() = 0;
};

void setTarget(Target* target);
Target& target();

// The contract service's name, and its program: it reports running, accepts stops, and
// reports stopped on a stop control.
inline constexpr char kContractServiceName[] = "VornelContractService";
// User-defined controls the contract service takes: a slow one, whose handler adds a line to
// slowControlMarker(), reports the checkpoint kSlowControlBegun, pauses and reports
// kSlowControlDone; and a quick one, whose handler reports kQuickControlDone.
inline constexpr uint32_t kSlowControl = 129;
inline constexpr uint32_t kQuickControl = 130;
std::string slowControlMarker();
inline constexpr uint32_t kSlowControlBegun = 7;
inline constexpr uint32_t kSlowControlDone = 8;
inline constexpr uint32_t kQuickControlDone = 9;
ErrorCode runContractService(Platform& os);

}  // namespace vornel::contract
