#include "fuzz_tables.h"

#include "host/host.h"
#include "info/info_tool.h"
#include "install/install.h"
#include "start/start_tool.h"
#include "stop/stop_tool.h"
#include "uninstall/uninstall_tool.h"

namespace vornel::fuzz {

const std::vector<Program>& programs() {
    using host::HostOptions;
    static const std::vector<Program> all{
        {"VornelAgentService", optionTableOf<HostOptions>, host::vornelAgentServiceProgramMain, HostOptions::Help,
         std::nullopt, std::nullopt},
        {"InstallVornelAgentService", optionTableOf<InstallOptions>, installVornelAgentServiceMain,
         InstallOptions::Help, InstallOptions::ServiceName, std::nullopt},
        {"StartVornelAgentService", optionTableOf<StartOptions>, startVornelAgentServiceMain, StartOptions::Help,
         StartOptions::ServiceName, std::make_pair<size_t, size_t>(StartOptions::Userid, StartOptions::Password)},
        {"StopVornelAgentService", optionTableOf<StopOptions>, stopVornelAgentServiceMain, StopOptions::Help,
         StopOptions::ServiceName, std::make_pair<size_t, size_t>(StopOptions::Userid, StopOptions::Password)},
        {"UninstallVornelAgentService", optionTableOf<UninstallOptions>, uninstallVornelAgentServiceMain,
         UninstallOptions::Help, UninstallOptions::ServiceName, std::nullopt},
        {"VornelAgentServiceInfo", optionTableOf<InfoOptions>, vornelAgentServiceInfoMain, InfoOptions::Help,
         InfoOptions::ServiceName, std::nullopt},
    };
    return all;
}

}  // namespace vornel::fuzz
