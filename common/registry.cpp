#include "common/registry.h"

#include "common/trace.h"

namespace vornel {

std::string serviceKeyPath(const std::string& fullServiceName) { return kServicesKeyPath + fullServiceName; }

std::string parametersKeyPath(const std::string& fullServiceName) {
    return serviceKeyPath(fullServiceName) + "\\Parameters\\";
}

std::string runtimeKeyPath(const std::string& fullServiceName) { return serviceKeyPath(fullServiceName) + "\\Runtime"; }

std::string eventLogSourceKeyPath(const std::string& fullServiceName) {
    return kEventLogSourcesKeyPath + fullServiceName;
}

std::optional<std::string> getRegistryValue(Platform& os, const std::string& keyPath, const std::string& valueName) {
    ErrorCode ignored = 0;
    return getRegistryValue(os, keyPath, valueName, ignored);
}

std::optional<std::string> getRegistryValue(Platform& os, const std::string& keyPath, const std::string& valueName,
                                            ErrorCode& error) {
    traceMessage("CommonVornelAgentService - getRegistryValue - regKey = %s", keyPath.c_str());
    traceMessage("CommonVornelAgentService - getRegistryValue - attr = %s", valueName.c_str());
    RegKey key;
    error = os.regOpenKeyEx(keyPath, win::kKeyRead, key);
    if (error != win::kErrorSuccess) {
        traceMessage("CommonVornelAgentService - getRegistryValue - failure to open key");
        return std::nullopt;
    }
    std::string data;
    error = os.regQueryValue(key, valueName, data);
    if (error != win::kErrorSuccess) {
        traceMessage("CommonVornelAgentService - getRegistryValue - failure to get value");
        return std::nullopt;
    }
    // A string reads as its text; any other type as its raw bytes up to the first zero byte.
    std::string text = data.substr(0, data.find('\0'));
    traceMessage("CommonVornelAgentService - getRegistryValue - value = %s", text.c_str());
    return text;
}

int setRegistryValue(Platform& os, const std::string& keyPath, const std::string& valueName,
                     const std::string& text) {
    ErrorCode ignored = 0;
    return setRegistryValue(os, keyPath, valueName, text, ignored);
}

int setRegistryValue(Platform& os, const std::string& keyPath, const std::string& valueName,
                     const std::string& text, ErrorCode& error) {
    traceMessage("CommonVornelAgentService - setRegistryValue - regKey = %s", keyPath.c_str());
    traceMessage("CommonVornelAgentService - setRegistryValue - attr = %s", valueName.c_str());
    traceMessage("CommonVornelAgentService - setRegistryValue - value = %s", text.c_str());
    RegKey key;
    error = os.regCreateKeyEx(keyPath, key);
    if (error != win::kErrorSuccess) {
        traceMessage("InstallVornelAgentService - setRegistryValue - returning false - create failed");
        return 0;
    }
    error = os.regSetStringValue(key, valueName, text);
    if (error != win::kErrorSuccess) {
        traceMessage("InstallVornelAgentService - setRegistryValue - returning false - set failed");
        return 0;
    }
    key.reset();
    traceMessage("InstallVornelAgentService - setRegistryValue - exit - returning true");
    return 1;
}

}  // namespace vornel
