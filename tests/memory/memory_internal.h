// What the in-memory Windows's areas share: its records of keys, handles, processes and
// threads, and a few small helpers. Only the memory platform's own files include this.
#pragma once

#include <chrono>
#include <string>

#include "tests/memory/memory_platform.h"

namespace vornel {

namespace memory {

constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;
constexpr uint32_t STILL_ACTIVE = 259;
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr uint32_t KEY_SET_VALUE = 0x0002;
constexpr uint32_t SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr uint32_t ERROR_SERVICE_NEVER_STARTED = 1077;
constexpr size_t kMaxServiceNameLength = 256;
constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";

// How long a client waits for the answer to a control (Wine: ten seconds; Windows: thirty).
constexpr uint64_t kControlAnswerMs = 10000;

// A wait that lasts this long in real time is a hang in the test.
constexpr auto kHangLimit = std::chrono::seconds(20);

// A name as the system compares it without regard to case: ASCII letters in lower case, every
// other UTF-16 unit in the system's upper case (upperOrdinal); bytes that are not UTF-8 as they are.
std::string lower(const std::string& text);
// The system's upper case of one UTF-16 unit, as the ordinal comparison without case uses it:
// Windows' table for Latin (Basic, Latin-1 Supplement, Extended-A), Greek and Cyrillic; every
// other unit unchanged. Language rules play no part: "i" is "I", while the Turkish dotted "İ"
// and dotless "ı" have no other case, and final sigma none either.
uint16_t upperOrdinal(uint16_t unit);
// The text's UTF-16 units; false when it is not valid UTF-8.
bool toUtf16(const std::string& text, std::u16string& units);
bool equalsIgnoringCase(const std::string& a, const std::string& b);
// The last part of a path: "C:\a\b.txt" -> "b.txt".
std::string baseName(const std::string& path);
// The program a command line starts: its first token, without its quotes.
std::string firstToken(const std::string& commandLine);
std::string stringData(const std::string& text);
std::string dwordData(uint32_t value);

}  // namespace memory

struct MemoryPlatform::Node {
    std::string name;
    std::map<std::string, std::shared_ptr<Node>> children;            // keyed by lower-case name
    std::map<std::string, std::pair<std::string, RegValue>> values;    // lower-case name -> (name, value)
    bool deleted = false;
    bool isVolatile = false;  // made with REG_OPTION_VOLATILE
    uint64_t lastWrite = 0;  // system time of the key's creation or of its last value write
};

struct MemoryPlatform::Handle {
    enum class Type { Key, Manager, Service, Process, Thread, Job, Mutex, Event, Watch } type = Type::Key;
    std::shared_ptr<Node> key;
    uint32_t access = 0;
    std::string service;  // lower-case service name
    uint32_t pid = 0;
    uint64_t job = 0;
    std::string mutexName;  // lower-case
    std::string directory;  // a directory watch's directory, as the file system compares it
    bool signaled = false;  // an event that is set, a watch that saw a change
};

struct MemoryPlatform::Process {
    uint32_t pid = 0;
    std::string name;
    bool ended = false;
    uint32_t exitCode = 0;
    std::optional<uint64_t> endAt;
    std::optional<uint64_t> runsForMs;  // kept until a suspended process is resumed
    bool suspended = false;
    uint32_t plannedExitCode = 0;
    std::function<void()> onExit;
    uint64_t job = 0;  // 0: in no job
    uint64_t createdAt = 0;  // system time
};

struct MemoryPlatform::AppendCookie {
    MemoryPlatform* platform;
    std::string key;
    bool open = true;  // until the stream is closed
};

// A thread that takes turns: one of the service process's, a client (another program such as
// a stop tool, run by the test), or a thread of the test that waits in a platform call while
// the service process runs (here only while it waits).
struct MemoryPlatform::SimThread {
    enum class Kind { Process, Client, Visitor };
    std::string name;
    Kind kind = Kind::Process;
    bool ready = false;        // may run as soon as it has its turn
    uint64_t readySince = 0;   // its place in the line of ready threads
    Condition until;           // waiting: it may run again when this holds...
    std::optional<uint64_t> deadline;  // ...or when virtual time reaches this
    bool frozen = false;       // its process has ended: it never runs again until shutdown
};

}  // namespace vornel
