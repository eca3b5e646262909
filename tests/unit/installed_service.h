// A service set up on the in-memory Windows as the installer leaves it, for the tests of every
// program that meets an installed service. Each part has a named setter; set what the test
// needs otherwise, then install it:
//
//     InstalledService().state(win::kServiceRunning).install(os);
//     InstalledService("half").agentName(std::nullopt).install(os);  // a Parameters key without AgentName
//
// Without setters it is what
//     InstallVornelAgentService.exe -servicename node1 -agentname agent1 -agenthome C:\agent
// leaves behind: the service entry (stopped, demand start, the host's command line, the display
// name with the product text), its Description, every value of its Parameters key and its
// event-log source. The paths under the agent home (log root, pid file, trace files, image path,
// message file) follow agentHome() unless set themselves. A text set to
// std::nullopt is not written at all, so half-installed services are as easy to set up.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "common/encoding.h"
#include "common/naming.h"
#include "common/registry.h"
#include "tests/memory/memory_platform.h"

namespace vornel::testing {

class InstalledService {
public:
    explicit InstalledService(std::string shortName = "node1") : shortName_(std::move(shortName)) {}

    // --- Names and keys ---

    // The service's name in the service manager and in its keys: the prefix, " - " and the short
    // name, unless set otherwise.
    std::string fullName() const { return fullName_ ? *fullName_ : getFullServiceName(shortName_); }
    std::string serviceKey() const { return serviceKeyPath(fullName()); }
    std::string parametersKey() const { return parametersKeyPath(fullName()); }
    std::string eventSourceKey() const { return eventLogSourceKeyPath(fullName()); }

    // A key name of any form, e.g. one without the prefix.
    InstalledService& fullName(std::string name) {
        fullName_ = std::move(name);
        return *this;
    }

    // --- The service entry ---

    // False: only the keys exist, the service manager knows no such service.
    InstalledService& serviceEntry(bool present) {
        serviceEntry_ = present;
        return *this;
    }
    InstalledService& state(uint32_t currentState) {
        state_ = currentState;
        return *this;
    }
    // The command line the service manager runs; default: the host under the agent home with the
    // full name, both in quotes.
    InstalledService& imagePath(std::string path) {
        imagePath_ = std::move(path);
        return *this;
    }
    // Default: the product text, " - " and the short name.
    InstalledService& displayName(std::optional<std::string> name) {
        displayName_ = std::move(name);
        return *this;
    }
    // The service key's Description; default: the installer's sentence with the agent name.
    InstalledService& description(std::optional<std::string> text) { return set(kDescription, std::move(text)); }

    // --- The Parameters key ---

    // The agent home as stored (with its closing separator; "C:\agent\" by default). The paths
    // under it follow it; std::nullopt leaves AgentHome unwritten and the paths as they were.
    InstalledService& agentHome(std::optional<std::string> home) {
        if (home) home_ = *home;
        homeWritten_ = home.has_value();
        return *this;
    }
    InstalledService& agentName(std::optional<std::string> name) { return set(kAgentName, std::move(name)); }
    InstalledService& pidFile(std::optional<std::string> path) { return set(kAgentPidFile, std::move(path)); }
    InstalledService& logRoot(std::optional<std::string> path) { return set(kAgentLogRoot, std::move(path)); }
    InstalledService& restart(std::optional<std::string> text) { return set(kRestart, std::move(text)); }
    InstalledService& debugTrace(std::optional<std::string> text) { return set(kDebugTrace, std::move(text)); }
    InstalledService& traceFiles(std::optional<std::string> stdoutFile, std::optional<std::string> stderrFile) {
        set(kStdOutTraceFile, std::move(stdoutFile));
        return set(kStdErrTraceFile, std::move(stderrFile));
    }
    InstalledService& logFile(std::optional<std::string> path) { return set(kLogFile, std::move(path)); }
    // The script arguments as the administrator gave them; they are stored encoded with the full
    // name when the Encoded value says so (anything but absent or exactly "off"), plain otherwise.
    InstalledService& startArgs(std::optional<std::string> plain) {
        startArgs_ = std::move(plain);
        return *this;
    }
    InstalledService& stopArgs(std::optional<std::string> plain) {
        stopArgs_ = std::move(plain);
        return *this;
    }
    // Encoded as stored: "off" by default, "on" as -encodeparams stores it, or any other text.
    InstalledService& encoded(std::optional<std::string> flag) { return set(kEncoded, std::move(flag)); }
    // False: the service has no Parameters key at all.
    InstalledService& parametersKey(bool present) {
        parametersKey_ = present;
        return *this;
    }
    // Any value of the Parameters key exactly as stored (for texts that are not what the
    // installer would store, such as arguments that do not decode).
    InstalledService& storedValue(const std::string& name, std::optional<std::string> text) {
        raw_[name] = std::move(text);
        return *this;
    }

    // --- The event-log source ---

    // False: the source key is missing.
    InstalledService& eventSource(bool present) {
        eventSource_ = present;
        return *this;
    }

    // Sets the service up on the platform. Calls no platform operation, so call counts and
    // injected faults start with the program under test.
    void install(MemoryPlatform& os) const {
        const std::string full = fullName();
        if (serviceEntry_) {
            ServiceConfig config;
            config.name = full;
            config.displayName = displayName_;
            config.binaryPathName =
                imagePath_.value_or("\"" + home_ + "bin\\VornelAgentService.exe\" \"" + full + "\"");
            os.addService(config);
            if (!os.service(full)) {
                ADD_FAILURE() << "the service manager refused the service '" << full << "'";
                return;
            }
            os.setServiceState(full, state_);
        }
        if (std::optional<std::string> description = valueOf(kDescription)) {
            os.setString(serviceKey(), kDescription, *description);
        }
        if (parametersKey_) {
            const std::string params = parametersKey();
            os.createKey(params);
            for (const char* name : {kEncoded, kAgentHome, kAgentName, kStartupArguments, kStopArguments, kAgentPidFile,
                                     kAgentLogRoot, kDebugTrace, kStdOutTraceFile, kStdErrTraceFile, kRestart,
                                     kLogFile}) {
                if (std::optional<std::string> text = valueOf(name)) os.setString(params, name, *text);
            }
        }
        if (eventSource_) {
            os.setString(eventSourceKey(), kEventMessageFile, home_ + "bin\\VornelAgentServiceMsg.dll");
            os.setDword(eventSourceKey(), kTypesSupported, 7);
        }
    }

private:
    InstalledService& set(const char* name, std::optional<std::string> text) {
        given_[name] = std::move(text);
        return *this;
    }

    // A value as install writes it: stored exactly, else as set, else as the installer derives it.
    std::optional<std::string> valueOf(const std::string& name) const {
        if (auto raw = raw_.find(name); raw != raw_.end()) return raw->second;
        if (name == kStartupArguments) return stored(startArgs_);
        if (name == kStopArguments) return stored(stopArgs_);
        if (auto given = given_.find(name); given != given_.end()) return given->second;
        const std::string logRoot = home_ + "logs\\middlewareagent";
        if (name == kAgentHome) return homeWritten_ ? std::optional<std::string>(home_) : std::nullopt;
        if (name == kAgentLogRoot) return logRoot;
        if (name == kAgentPidFile) return logRoot + "\\VornelAgent.pidfile";
        if (name == kStdOutTraceFile) return logRoot + "\\VornelAgentService.stdout";
        if (name == kStdErrTraceFile) return logRoot + "\\VornelAgentService.stderr";
        if (name == kAgentName) return std::string("agent1");
        if (name == kRestart) return std::string("true");
        if (name == kDebugTrace) return std::string("off");
        if (name == kEncoded) return std::string("off");
        if (name == kDescription) {
            return "Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  " +
                   valueOf(kAgentName).value_or(std::string());
        }
        return std::nullopt;  // LogFile: the installer does not write it
    }

    std::optional<std::string> stored(const std::optional<std::string>& plain) const {
        if (!plain) return std::nullopt;
        if (!argumentsEncoded(valueOf(kEncoded))) return plain;
        return encodeHex(xorWithKey(fullName(), *plain)).value_or(std::string());
    }

    std::string shortName_;
    std::optional<std::string> fullName_;
    std::string home_ = "C:\\agent\\";
    bool homeWritten_ = true;
    bool serviceEntry_ = true;
    uint32_t state_ = win::kServiceStopped;
    std::optional<std::string> imagePath_;
    std::optional<std::string> displayName_ = getDisplayName(shortName_, true);
    bool parametersKey_ = true;
    bool eventSource_ = true;
    std::optional<std::string> startArgs_;
    std::optional<std::string> stopArgs_;
    std::map<std::string, std::optional<std::string>> given_;  // the values set, absent ones included
    std::map<std::string, std::optional<std::string>> raw_;    // the values stored exactly
};

}  // namespace vornel::testing
