#include "common/naming.h"

#include <cstring>

namespace vornel {

std::string getFullServiceName(const std::optional<std::string>& shortName) {
    if (!shortName) return std::string();
    return std::string(kServiceNamePrefix) + kServiceNameSeparator + *shortName;
}

std::string getDisplayName(const std::optional<std::string>& shortName, bool useProductText) {
    if (!shortName) return std::string();
    if (!useProductText) return *shortName;
    return std::string(kDisplayNameProductText) + kServiceNameSeparator + *shortName;
}

bool isAgentServiceKeyName(const std::string& keyName) {
    return keyName.compare(0, std::strlen(kServiceNamePrefix), kServiceNamePrefix) == 0;
}

std::string shortNameFromKeyName(const std::string& keyName) {
    size_t skip = std::strlen(kServiceNamePrefix) + std::strlen(kServiceNameSeparator);
    return keyName.size() > skip ? keyName.substr(skip) : std::string();
}

}  // namespace vornel
