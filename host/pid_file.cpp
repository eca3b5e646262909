// The pid file: the agent writes its process id there; the host only reads it. Before a
// start it refuses to start when the file names a live process and remembers the old pid;
// after the start script it waits until the file names a different process.
#include <cstdint>
#include <cstdio>
#include <limits>

#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {
namespace {

// A line read stops after a line feed or when 99 characters fill the 100-byte buffer.
constexpr size_t kPieceLength = 99;
// The agent writes its pid after it starts: a process created longer than this after the
// file's last write cannot have written it.
constexpr uint64_t kCreatedAfterWriteMs = 10000;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The piece as the C text the line reader leaves in its buffer: up to its first zero byte.
const char* pieceText(const std::string& piece) { return piece.c_str(); }

// Why the live process that the pid file names cannot be the agent that wrote the file: the
// file was last written before the system started, or the process was created more than 10 s
// after that write (pids are reused). Absent when it can be, or when a time cannot be read.
std::optional<std::string> cannotHaveWrittenPidFile(HostContext& host, const std::string& pidFile,
                                                     const ProcessHandle& process) {
    uint64_t written = 0;
    if (host.os.fileLastWriteTime(pidFile, written) != win::kErrorSuccess) return std::nullopt;
    const uint64_t now = host.os.systemTime();
    const uint64_t uptime = host.os.tickCount();
    const uint64_t bootTime = now > uptime ? now - uptime : 0;
    if (written < bootTime) {
        return "the file was last written " + formatSystemTime(written) + ", before the system started " +
               formatSystemTime(bootTime);
    }
    uint64_t created = 0;
    if (host.os.processCreationTime(process, created) != win::kErrorSuccess) return std::nullopt;
    if (created > written + kCreatedAfterWriteMs) {
        return "the process was created " + formatSystemTime(created) +
               ", more than 10 s after the file was last written " + formatSystemTime(written);
    }
    return std::nullopt;
}

}  // namespace

std::string formatSystemTime(uint64_t time) {
    // Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar, in UTC).
    constexpr int64_t kMsFrom1601To1970 = 11644473600000;
    const int64_t ms = static_cast<int64_t>(time) - kMsFrom1601To1970;
    const int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t secondOfDay = seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                  static_cast<long long>(secondOfDay % 60));
    return text;
}

std::vector<std::string> pidFilePieces(const std::string& content) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = start;
        while (end < content.size() && end - start < kPieceLength) {
            if (content[end++] == '\n') break;
        }
        pieces.push_back(content.substr(start, end - start));
        start = end;
    }
    return pieces;
}

int32_t parsePid(const std::string& piece) {
    const char* p = pieceText(piece);
    while (isBlank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Accumulated as a negative number, whose range holds the most negative 32-bit value.
    constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 - (*p - '0');
        // Out of range: the remaining digits cannot bring it back.
        if (value < kMin) return static_cast<int32_t>(negative ? kMin : kMax);
    }
    if (negative) return static_cast<int32_t>(value);
    return static_cast<int32_t>(-value > kMax ? kMax : -value);
}

int32_t readAgentPidFile(HostContext& host, const std::string& pidFile) {
    traceMessage("VornelAgentService - readAgentPidFile - pid file = %s", pidFile.c_str());
    int32_t pid = 0;
    std::string content;
    if (host.os.readTextFile(pidFile, content) != win::kErrorSuccess) {
        traceMessage("VornelAgentService - readAgentPidFile - fopen failed");
    } else {
        std::vector<std::string> pieces = pidFilePieces(content);
        if (pieces.empty()) {
            traceMessage("VornelAgentService - readAgentPidFile - fgets failed");
        } else if (pieces.front()[0] == '\0') {
            traceMessage("VornelAgentService - readAgentPidFile - pid_str(0) = %d", 0);
        } else {
            traceMessage("VornelAgentService - readAgentPidFile - pid string from file = %s",
                         pieceText(pieces.front()));
            pid = parsePid(pieces.front());
        }
    }
    traceMessage("VornelAgentService - readAgentPidFile - returning pid = %d", pid);
    return pid;
}

int32_t isServerRunningAlready(HostContext& host, const std::string& pidFile) {
    traceMessage("VornelAgentService - isServerRunningAlready - pidFile = %s", pidFile.c_str());
    int32_t pid = readAgentPidFile(host, pidFile);
    if (pid != 0 && static_cast<uint32_t>(pid) == host.os.currentProcessId()) {
        // A pid file written before the system started can name what is now the host itself.
        traceMessage("VornelAgentService - isServerRunningAlready - pid %d is the service host's own: not the agent",
                     pid);
        pid = 0;
    }
    if (pid != 0) {
        traceMessage("VornelAgentService - isServerRunningAlready - attempt to attach to pid = %d", pid);
        ProcessHandle process;
        // A process that has ended can still be opened while anyone holds a handle to it:
        // one that opens counts as alive unless its handle shows it has ended. A wait that
        // fails proves nothing, and starting a second agent beside a live one is worse than
        // refusing a start.
        if (host.os.openProcess(static_cast<uint32_t>(pid), win::kProcessAllAccess, process) ==
                win::kErrorSuccess &&
            host.os.waitForProcess(process, 0) != WaitResult::Signaled) {
            // A pid is reused: the live process it names now may be some other program. It
            // counts as the agent only when it can have written the file.
            std::optional<std::string> why = cannotHaveWrittenPidFile(host, pidFile, process);
            if (!why) {
                traceMessage("VornelAgentService - isServerRunningAlready - serverProcess already running, pid = %d",
                             pid);
                return pid;
            }
            traceMessage("VornelAgentService - isServerRunningAlready - pid %d is not the agent that wrote the pid "
                         "file: %s",
                         pid, why->c_str());
        }
        traceMessage("VornelAgentService - isServerRunningAlready - pid file found for dead process");
    }
    traceMessage("\tserver not running");
    return 0;
}

std::optional<PidPiece> lastPidPiece(const std::string& content) {
    // Each line read overwrites the buffer: the last piece is what is left in it.
    std::vector<std::string> pieces = pidFilePieces(content);
    if (pieces.empty() || pieces.back()[0] == '\0') return std::nullopt;
    return PidPiece{parsePid(pieces.back()), pieces.back()};
}

}  // namespace vornel::host
