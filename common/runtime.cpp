#include "common/runtime.h"

#include <cstdio>

#include "common/registry.h"
#include "common/service_control.h"

namespace vornel {
namespace {

std::optional<std::string> quietValue(Platform& os, const RegKey& key, const char* name) {
    std::string data;
    if (os.regQueryValue(key, name, data) != win::kErrorSuccess) return std::nullopt;
    return data.substr(0, data.find('\0'));
}

bool allDigits(const std::string& text, size_t from, size_t count) {
    if (from + count > text.size()) return false;
    for (size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

// The value of digits that allDigits has accepted.
uint64_t number(const std::string& text, size_t from, size_t count) {
    uint64_t value = 0;
    for (size_t i = from; i < from + count; ++i) value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    return value;
}

// Days from 1970-01-01 to a civil date of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

}  // namespace

RuntimeValues readRuntimeValues(Platform& os, const std::string& fullServiceName) {
    RuntimeValues values;
    RegKey key;
    if (os.regOpenKeyEx(runtimeKeyPath(fullServiceName), win::kKeyRead, key) != win::kErrorSuccess) return values;
    values.hostPid = quietValue(os, key, kRuntimeHostPid);
    values.phase = quietValue(os, key, kRuntimePhase);
    values.agentPid = quietValue(os, key, kRuntimeAgentPid);
    values.agentSince = quietValue(os, key, kRuntimeAgentSince);
    values.starts = quietValue(os, key, kRuntimeStarts);
    values.lastExit = quietValue(os, key, kRuntimeLastExit);
    values.restartAt = quietValue(os, key, kRuntimeRestartAt);
    values.outcome = quietValue(os, key, kRuntimeOutcome);
    uint64_t written = 0;
    if (os.regKeyLastWriteTime(key, written) == win::kErrorSuccess) values.lastWrite = written;
    return values;
}

ErrorCode lookAtService(Platform& os, const ScHandle& service, const std::string& fullServiceName,
                        ServiceView& view) {
    view = ServiceView{};
    if (ErrorCode rc = os.queryServiceStatusEx(service, view.status, view.processId)) return rc;
    view.runtime = readRuntimeValues(os, fullServiceName);
    view.current = view.processId != 0 && parsePid(view.runtime.hostPid) == view.processId &&
                   processAlive(os, view.processId);
    return win::kErrorSuccess;
}

std::optional<uint32_t> parsePid(const std::optional<std::string>& text) {
    if (!text || text->empty() || text->size() > 10 || !allDigits(*text, 0, text->size())) return std::nullopt;
    const uint64_t value = number(*text, 0, text->size());
    if (value == 0 || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(value);
}

bool processAlive(Platform& os, uint32_t pid) {
    ProcessHandle process;
    const ErrorCode rc = os.openProcess(pid, win::kSynchronize | win::kProcessQueryLimitedInformation, process);
    // A process of another account that may not be opened still exists.
    if (rc == win::kErrorAccessDenied) return true;
    return rc == win::kErrorSuccess && os.waitForProcess(process, 0) == WaitResult::Timeout;
}

std::optional<uint32_t> supervisedAgent(Platform& os, const ServiceView& view) {
    if (!view.current || view.status.dwCurrentState != win::kServiceRunning) return std::nullopt;
    if (view.runtime.phase != std::optional<std::string>(kPhaseSupervising)) return std::nullopt;
    std::optional<uint32_t> agent = parsePid(view.runtime.agentPid);
    if (!agent || !processAlive(os, *agent)) return std::nullopt;
    return agent;
}

std::string activityOf(const ServiceView& view) {
    if (view.current && view.runtime.phase) return *view.runtime.phase;
    return serviceStateWord(view.status.dwCurrentState);
}

std::optional<uint64_t> parseSystemTime(const std::string& text) {
    // "YYYY-MM-DD HH:MM:SS UTC"
    if (text.size() != 23 || text.compare(19, 4, " UTC") != 0 || text[4] != '-' || text[7] != '-' ||
        text[10] != ' ' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    for (size_t from : {size_t{0}, size_t{5}, size_t{8}, size_t{11}, size_t{14}, size_t{17}}) {
        if (!allDigits(text, from, from == 0 ? 4 : 2)) return std::nullopt;
    }
    const int64_t month = static_cast<int64_t>(number(text, 5, 2)), day = static_cast<int64_t>(number(text, 8, 2));
    const int64_t hour = static_cast<int64_t>(number(text, 11, 2));
    const int64_t minute = static_cast<int64_t>(number(text, 14, 2));
    const int64_t second = static_cast<int64_t>(number(text, 17, 2));
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    constexpr int64_t kMsFrom1601To1970 = 11644473600000;
    const int64_t days = daysFromCivil(static_cast<int64_t>(number(text, 0, 4)), month, day);
    const int64_t ms = ((days * 24 + hour) * 60 + minute) * 60000 + second * 1000 + kMsFrom1601To1970;
    if (ms < 0) return std::nullopt;
    return static_cast<uint64_t>(ms);
}

std::string formatDuration(uint64_t milliseconds) {
    const unsigned long long s = milliseconds / 1000;
    char text[64];
    if (s < 60) {
        std::snprintf(text, sizeof text, "%llu s", s);
    } else if (s < 3600) {
        std::snprintf(text, sizeof text, "%llu min %llu s", s / 60, s % 60);
    } else if (s < 86400) {
        std::snprintf(text, sizeof text, "%llu h %llu min", s / 3600, s / 60 % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu d %llu h", s / 86400, s / 3600 % 24);
    }
    return text;
}

}  // namespace vornel
