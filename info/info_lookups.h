// The info tool's registry lookups: the agent name, agent home and log root recorded for a
// service, and the reverse lookup that finds the service installed for an agent name and
// agent home by walking every child key of the services key. They only read the registry.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace vornel {

// What a lookup gives back. The three kinds are printed differently by the caller, so they
// stay apart: a value that was read (possibly an empty text), nothing (the search found
// nothing or could not be made: the empty text), or a value that could not be read.
struct LookupResult {
    enum class Kind { Value, Nothing, Unreadable };
    Kind kind = Kind::Nothing;
    std::string text;  // the value; empty for the other two kinds

    static LookupResult value(std::string found) { return {Kind::Value, std::move(found)}; }
    static LookupResult nothing() { return {Kind::Nothing, std::string()}; }
    static LookupResult unreadable() { return {Kind::Unreadable, std::string()}; }
    // A value from getRegistryValue: the value, or unreadable when it is absent.
    static LookupResult fromRegistry(const std::optional<std::string>& read) {
        return read ? value(*read) : unreadable();
    }
};

// How an answer or a trace line shows a result: the value, the empty text, or "<null>".
const char* shownText(const LookupResult& result);

// The AgentName, AgentHome and AgentLogRoot values of the service with this short name:
// nothing when the name is absent or the services key cannot be opened, unreadable when the
// service's Parameters key or the value is missing.
LookupResult getAgentName(Platform& os, const std::optional<std::string>& shortName);
LookupResult getAgentHome(Platform& os, const std::optional<std::string>& shortName);
LookupResult getServiceLogRoot(Platform& os, const std::optional<std::string>& shortName);

// The short name of the first service, in enumeration order, whose AgentName and AgentHome
// equal the given ones, ignoring letter case; nothing when none does or the search cannot be
// made. A service of this system whose AgentName or AgentHome cannot be read (half installed
// or half removed) is passed over, so that a later matching service is still found.
LookupResult getServiceName(Platform& os, const std::optional<std::string>& agentName,
                            const std::optional<std::string>& agentHome);

}  // namespace vornel
