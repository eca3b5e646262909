// A Windows test tool for the soak tests: what Windows itself says about running processes.
//   process_stats <program file name> [...]
// prints one line per running process of that name (compared without regard to case):
//   <pid> handles=<n> handle_count=<n> threads=<n> working_set_kb=<n> private_kb=<n>
// handles: the process's entries in the system's handle table (NtQuerySystemInformation with
// SystemHandleInformation); handle_count: GetProcessHandleCount; threads: the process
// snapshot; memory: GetProcessMemoryInfo. A count it cannot get shows as -1.
// Exit status 0, or 1 when no such process runs.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The layout of SystemHandleInformation (16), which the SDK headers do not give.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// The handle table of the whole system, or empty when it cannot be read.
std::vector<char> systemHandles() {
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return {};
    std::vector<char> buffer(1 << 16);
    for (int attempt = 0; attempt < 16; ++attempt) {
        ULONG needed = 0;
        LONG status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) return buffer;
        if (status != static_cast<LONG>(0xC0000004)) return {};  // other than STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(needed > buffer.size() ? needed + 4096 : buffer.size() * 2);
    }
    return {};
}

long long handlesOf(const std::vector<char>& table, DWORD pid) {
    if (table.empty()) return -1;
    const HandleTable* handles = reinterpret_cast<const HandleTable*>(table.data());
    long long count = 0;
    for (ULONG i = 0; i < handles->count; ++i) {
        if (handles->entries[i].ownerPid == pid) ++count;
    }
    return count;
}

void printStats(const PROCESSENTRY32& entry, const std::vector<char>& table) {
    long long handleCount = -1;
    long long workingSetKb = -1;
    long long privateKb = -1;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
    if (process != nullptr) {
        DWORD count = 0;
        if (GetProcessHandleCount(process, &count)) handleCount = count;
        PROCESS_MEMORY_COUNTERS_EX memory{};
        memory.cb = sizeof memory;
        if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
            workingSetKb = static_cast<long long>(memory.WorkingSetSize / 1024);
            privateKb = static_cast<long long>(memory.PrivateUsage / 1024);
        }
        CloseHandle(process);
    }
    std::printf("%lu handles=%lld handle_count=%lld threads=%lu working_set_kb=%lld private_kb=%lld\n",
                static_cast<unsigned long>(entry.th32ProcessID), handlesOf(table, entry.th32ProcessID), handleCount,
                static_cast<unsigned long>(entry.cntThreads), workingSetKb, privateKb);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: process_stats <program file name> [...]\n");
        return 87;
    }
    const std::vector<char> table = systemHandles();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int found = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        for (int i = 1; i < argc; ++i) {
            if (_stricmp(entry.szExeFile, argv[i]) == 0) {
                printStats(entry, table);
                ++found;
            }
        }
    }
    CloseHandle(snapshot);
    std::fflush(stdout);
    return found > 0 ? 0 : 1;
}
