// Service naming: the full service name under which the service manager, the registry and
// the event log know a service, and the display name the installer gives it.
#pragma once

#include <optional>
#include <string>

namespace vornel {

inline constexpr char kServiceNamePrefix[] = "OrvikTamberVornel6100AgentService";
inline constexpr char kServiceNameSeparator[] = " - ";
inline constexpr char kDisplayNameProductText[] = "Orvik Halcyra Dravenmoor Version 6.1.0.0";

// Prefix, " - " and the short name as typed; the empty text when the name is absent.
std::string getFullServiceName(const std::optional<std::string>& shortName);

// Product text, " - " and the short name, or the short name alone; empty when absent.
std::string getDisplayName(const std::optional<std::string>& shortName, bool useProductText);

// A child key of the services key belongs to the system when it begins with the prefix
// (compared case-sensitively).
bool isAgentServiceKeyName(const std::string& keyName);

// The short name of such a key: the text after the prefix and the three separator
// characters, which are skipped without being compared; empty when the name is shorter.
std::string shortNameFromKeyName(const std::string& keyName);

}  // namespace vornel
