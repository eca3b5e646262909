#include "info/info_lookups.h"

#include <cstddef>

#include "common/naming.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/trace.h"

namespace vornel {
namespace {

// One lookup by service name: the routine's name in its trace lines, the Parameters value it
// reads, and the words its last trace line gives the value.
struct ServiceValueLookup {
    const char* routine;
    const char* valueName;
    const char* valueWords;
};

constexpr ServiceValueLookup kAgentNameLookup{"getAgentName", kAgentName, "agent name"};
constexpr ServiceValueLookup kAgentHomeLookup{"getAgentHome", kAgentHome, "agent home"};
constexpr ServiceValueLookup kLogRootLookup{"getServiceLogRoot", kAgentLogRoot, "log root"};

// The services key serves the lookups by service name only as a check that the registry can
// be searched at all; the reverse lookup walks its child keys.
ErrorCode openServicesKey(Platform& os, RegKey& key) { return os.regOpenKey(kServicesKeyPath, key); }

LookupResult lookUpServiceValue(Platform& os, const ServiceValueLookup& lookup,
                                const std::optional<std::string>& shortName) {
    traceMessage("VornelAgentServiceInfo.%s - entry  service name = %s", lookup.routine, orNull(shortName));
    if (!shortName) {
        traceMessage("VornelAgentServiceInfo.%s - exit service name = null", lookup.routine);
        return LookupResult::nothing();
    }
    std::string fullServiceName = getFullServiceName(shortName);
    traceMessage("VornelAgentServiceInfo.%s - full service name = %s", lookup.routine, fullServiceName.c_str());
    {
        RegKey services;
        if (openServicesKey(os, services) != win::kErrorSuccess) {
            traceMessage("VornelAgentServiceInfo.%s - exit - failure to locate registry base key", lookup.routine);
            return LookupResult::nothing();
        }
    }
    LookupResult result =
        LookupResult::fromRegistry(getRegistryValue(os, parametersKeyPath(fullServiceName), lookup.valueName));
    traceMessage("VornelAgentServiceInfo.%s - returning %s = %s", lookup.routine, lookup.valueWords,
                 shownText(result));
    return result;
}

}  // namespace

const char* shownText(const LookupResult& result) {
    return result.kind == LookupResult::Kind::Unreadable ? "<null>" : result.text.c_str();
}

LookupResult getAgentName(Platform& os, const std::optional<std::string>& shortName) {
    return lookUpServiceValue(os, kAgentNameLookup, shortName);
}

LookupResult getAgentHome(Platform& os, const std::optional<std::string>& shortName) {
    return lookUpServiceValue(os, kAgentHomeLookup, shortName);
}

LookupResult getServiceLogRoot(Platform& os, const std::optional<std::string>& shortName) {
    return lookUpServiceValue(os, kLogRootLookup, shortName);
}

LookupResult getServiceName(Platform& os, const std::optional<std::string>& agentName,
                            const std::optional<std::string>& agentHome) {
    traceMessage("VornelAgentServiceInfo.getServiceName - entry  agent name = %s, agent home = %s", orNull(agentName),
                 orNull(agentHome));
    if (!agentName) {
        traceMessage("VornelAgentServiceInfo.getServiceName - exit - agent name = null");
        return LookupResult::nothing();
    }
    if (!agentHome) {
        traceMessage("VornelAgentServiceInfo.getServiceName - exit - agent home = null");
        return LookupResult::nothing();
    }
    RegKey services;
    if (openServicesKey(os, services) != win::kErrorSuccess) {
        traceMessage("VornelAgentServiceInfo.getServiceName - exit - failure to locate registry base key");
        return LookupResult::nothing();
    }
    uint32_t keyCount = 0;
    if (os.regQueryInfoKey(services, keyCount) != win::kErrorSuccess) {
        traceMessage("VornelAgentServiceInfo.getServiceName - exit - failure to locate number of keys");
        return LookupResult::nothing();
    }
    traceMessage("VornelAgentServiceInfo.getServiceName - there are %d keys", static_cast<int>(keyCount));
    for (uint32_t index = 0; index < keyCount; ++index) {
        // A key that cannot be enumerated (gone meanwhile, or a name too long) is passed over.
        std::string keyName;
        if (os.regEnumKey(services, index, keyName) != win::kErrorSuccess) continue;
        const int shownIndex = static_cast<int>(index);
        traceMessage("VornelAgentServiceInfo.getServiceName - subkey(%d) = %s", shownIndex, keyName.c_str());
        if (!isAgentServiceKeyName(keyName)) continue;
        traceMessage("VornelAgentServiceInfo.getServiceName - found agent subkey (%d) = %s", shownIndex,
                     keyName.c_str());
        const std::string parameters = parametersKeyPath(keyName);
        // A service of ours whose values cannot be read is half installed or half removed:
        // it cannot be the one asked for, and a later service still may be.
        std::optional<std::string> storedName = getRegistryValue(os, parameters, kAgentName);
        traceMessage("VornelAgentServiceInfo.getServiceName - found agent name = %s", orNull(storedName));
        if (!storedName) continue;
        std::optional<std::string> storedHome = getRegistryValue(os, parameters, kAgentHome);
        traceMessage("VornelAgentServiceInfo.getServiceName - found agent home = %s", orNull(storedHome));
        if (!storedHome) continue;
        // Without regard to letter case in any language, as Windows compares names and paths.
        if (sameIgnoringCase(os, *storedName, *agentName) && sameIgnoringCase(os, *storedHome, *agentHome)) {
            std::string shortName = shortNameFromKeyName(keyName);
            traceMessage("VornelAgentServiceInfo.getServiceName - returning service name = %s", shortName.c_str());
            return LookupResult::value(shortName);
        }
    }
    return LookupResult::nothing();
}

}  // namespace vornel
