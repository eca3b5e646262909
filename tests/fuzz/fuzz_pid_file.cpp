// The host's two pid-file readers over any file content, through the in-memory platform's
// files. The first byte chooses what the wait compares against and how the file behaves; the
// rest is the file as the agent left it.
//
// The expected pid comes from the C library itself: the content as text mode reads it, cut
// into pieces by fgets into a 101-byte buffer with a limit of 100 (99 characters and the
// terminator), the number taken with strtol and held to 32 bits. readAgentPidFile must give
// the number of the first piece, waitForPidFile that of the last, each with exactly its
// trace lines; isServerRunningAlready names only a live process; no reader changes the file.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/host.h"
#include "tests/memory/memory_platform.h"

namespace {

using vornel::MemoryPlatform;
using Op = MemoryPlatform::Op;

const std::string kPidFile = "C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile";
const std::string kHost = "VornelAgentService - ";
// What opening a file that another process holds without sharing gives.
constexpr vornel::ErrorCode kSharingViolation = 32;

// What msvcrt's text mode gives a reader: CR LF reads as LF, a Ctrl-Z ends the file.
std::string textModeContent(const std::string& raw) {
    std::string text;
    for (size_t i = 0; i < raw.size() && raw[i] != '\x1a'; ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text.push_back(raw[i]);
    }
    return text;
}

// The buffer after the first fgets and after the last successful one, as C texts; absent when
// not even one read succeeded (an empty file).
struct Reads {
    std::optional<std::string> first;
    std::optional<std::string> last;
};

Reads readLikeTheHost(const std::string& text) {
    Reads reads;
    if (text.empty()) return reads;
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    FUZZ_CHECK(file != nullptr);
    char buffer[101];
    std::memset(buffer, 0, sizeof buffer);
    while (std::fgets(buffer, 100, file) != nullptr) {
        if (!reads.first) reads.first = std::string(buffer);
        reads.last = std::string(buffer);
    }
    std::fclose(file);
    return reads;
}

int32_t pidOf(const std::string& piece) {
    errno = 0;
    long long value = std::strtoll(piece.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

struct World {
    MemoryPlatform os;
    std::shared_ptr<vornel::host::HostContext> host = vornel::host::HostContext::create(os);
    uint32_t livePid = os.spawnProcess(MemoryPlatform::ProcessSpec{});
    uint32_t endedPid = 0;
    World() {
        os.setRealPauses(false);  // the wait's one-second sleeps cost no real time here
        endedPid = os.spawnProcess(MemoryPlatform::ProcessSpec{});
        os.endProcess(endedPid, 0);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    using host::readAgentPidFile;
    if (size == 0) return 0;
    static World world;
    MemoryPlatform& os = world.os;
    host::HostContext& host = *world.host;

    const uint8_t mode = data[0];
    const std::string raw(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool missing = (mode & 0x80) != 0 && raw.empty();
    if (missing) {
        os.removeFile(kPidFile);
    } else {
        os.writeFile(kPidFile, raw);
    }
    const std::string text = textModeContent(raw);
    const Reads reads = readLikeTheHost(text);

    // readAgentPidFile: the first piece.
    {
        fuzz::CapturedConsole console;
        enableTrace();
        const int32_t pid = readAgentPidFile(host, kPidFile);
        std::vector<std::string> trace{kHost + "readAgentPidFile - pid file = " + kPidFile};
        int32_t expected = 0;
        if (missing) {
            trace.push_back(kHost + "readAgentPidFile - fopen failed");
        } else if (!reads.first) {
            trace.push_back(kHost + "readAgentPidFile - fgets failed");
        } else if (reads.first->empty()) {
            trace.push_back(kHost + "readAgentPidFile - pid_str(0) = 0");
        } else {
            trace.push_back(kHost + "readAgentPidFile - pid string from file = " + *reads.first);
            expected = pidOf(*reads.first);
        }
        trace.push_back(kHost + "readAgentPidFile - returning pid = " + std::to_string(expected));
        FUZZ_CHECK(pid == expected);
        FUZZ_CHECK(fuzz::isExactTrace(console.err(), trace));
        FUZZ_CHECK(console.out().empty());

        // A single line of up to 98 characters and its line end: both readers agree.
        if (!text.empty() && text.size() <= 99 && text.find('\n') == text.size() - 1) {
            FUZZ_CHECK(reads.first == reads.last);
        }
    }

    // isServerRunningAlready: the first piece's pid, when that process lives.
    {
        fuzz::CapturedConsole console;
        const int32_t named = readAgentPidFile(host, kPidFile);
        const int32_t running = host::isServerRunningAlready(host, kPidFile);
        FUZZ_CHECK(running == (named != 0 && static_cast<uint32_t>(named) == world.livePid ? named : 0));
        FUZZ_CHECK(os.processRunning(world.livePid) && !os.processRunning(world.endedPid));
    }

    // waitForPidFile: the last piece, compared with a last pid the mode chooses. Mode bit 0x40
    // makes the first attempt find no file, so the wait must try again after its sleep.
    {
        const int32_t lastPiecePid = reads.last && !reads.last->empty() ? pidOf(*reads.last) : 0;
        int32_t lastPid = 0;
        switch (mode & 3) {
            case 0: lastPid = 0; break;
            case 1: lastPid = lastPiecePid; break;
            case 2: lastPid = lastPiecePid == INT32_MAX ? INT32_MIN : lastPiecePid + 1; break;
            default: lastPid = static_cast<int32_t>(world.livePid); break;
        }
        const bool retry = (mode & 0x40) != 0;
        const int timeoutSeconds = retry ? 1 : 0;
        if (retry) os.failNext(Op::ReadTextFile, kSharingViolation);

        fuzz::CapturedConsole console;
        enableTrace();
        const uint64_t readsBefore = os.callCount(Op::ReadTextFile);
        const uint64_t sleepsBefore = os.callCount(Op::Sleep);
        int32_t newPid = 0x5eed;
        const bool found = host::waitForPidFile(host, kPidFile, timeoutSeconds, &newPid, lastPid);

        std::vector<std::string> trace{kHost + "waitForPidFile - pidFile = " + kPidFile,
                                       kHost + "waitForPidFile - timeoutSeconds = " + std::to_string(timeoutSeconds),
                                       kHost + "waitForPidFile - lastPid = " + std::to_string(lastPid)};
        bool expectFound = false;
        uint64_t sleeps = 0;
        for (int attempt = -1; attempt < timeoutSeconds; ++attempt) {
            const bool fileThere = !missing && !(retry && attempt == -1);
            if (fileThere && reads.last && !reads.last->empty()) {
                trace.push_back(kHost + "waitForPidFile - read pid " + *reads.last + " - " +
                                std::to_string(lastPiecePid) + " - lastPid = " + std::to_string(lastPid));
                if (lastPiecePid != lastPid) {
                    trace.push_back(kHost + "waitForPidFile - returning true");
                    expectFound = true;
                    break;
                }
            }
            trace.push_back(kHost + "waitForPidFile - about to sleep - " + std::to_string(attempt));
            trace.push_back(kHost + "waitForPidFile - back from sleep - " + std::to_string(attempt));
            ++sleeps;
        }
        if (!expectFound) {
            trace.push_back(kHost + "waitForPidFile - Timed out waiting for pid.");
            trace.push_back(kHost + "waitForPidFile - returning false");
        }
        FUZZ_CHECK(found == expectFound);
        FUZZ_CHECK(newPid == (expectFound ? lastPiecePid : 0x5eed));
        FUZZ_CHECK(os.callCount(Op::Sleep) - sleepsBefore == sleeps);
        FUZZ_CHECK(os.callCount(Op::ReadTextFile) - readsBefore == sleeps + (expectFound ? 1 : 0));
        FUZZ_CHECK(fuzz::isExactTrace(console.err(), trace));
        FUZZ_CHECK(console.out().empty());
    }

    // The host only reads the pid file.
    FUZZ_CHECK(missing ? !os.fileContent(kPidFile) : os.fileContent(kPidFile) == raw);
    FUZZ_CHECK(os.openHandleCount() == 0);
    return 0;
}
