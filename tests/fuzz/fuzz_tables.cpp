#include "fuzz_tables.h"

#include "host/host.h"
#include "info/info_tool.h"
#include "install/install.h"
#include "start/start_tool.h"
#include "stop/stop_tool.h"
#include "uninstall/uninstall_tool.h"

namespace vornel::fuzz {

const std::vector<Program>& programs() {
    static const std::vector<Program> all{
        {"VornelAgentService", host::hostOptionTable, host::vornelAgentServiceProgramMain, false},
        {"InstallVornelAgentService", installOptionTable, installVornelAgentServiceMain, false},
        {"StartVornelAgentService", startOptionTable, startVornelAgentServiceMain, true},
        {"StopVornelAgentService", stopOptionTable, stopVornelAgentServiceMain, true},
        {"UninstallVornelAgentService", uninstallOptionTable, uninstallVornelAgentServiceMain, false},
        {"VornelAgentServiceInfo", infoOptionTable, vornelAgentServiceInfoMain, false},
    };
    return all;
}

}  // namespace vornel::fuzz
