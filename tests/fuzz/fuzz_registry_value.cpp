// getRegistryValue over any stored data of any type: the text up to the first zero byte,
// whatever the length, with exactly its trace lines, the key closed again and the value left
// as it was. The first four bytes are the stored type, the fifth chooses the value's name and
// whether the value exists at all; the rest is the stored data.
#include <cstdint>
#include <string>
#include <vector>

#include "common/registry.h"
#include "fuzz_support.h"
#include "tests/memory/memory_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    static MemoryPlatform os;
    const std::string key = "SYSTEM\\CurrentControlSet\\Services\\Fuzz\\Parameters\\";
    const std::string prefix = "CommonVornelAgentService - getRegistryValue - ";
    if (size < 5) return 0;
    const uint32_t type = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                          static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    const std::string names[] = {"AgentHome", "StartupArguments", "TypesSupported", ""};
    const std::string& name = names[data[4] & 3];
    const bool exists = (data[4] & 4) == 0;
    const std::string stored(reinterpret_cast<const char*>(data) + 5, size - 5);

    os.deleteTree("SYSTEM\\CurrentControlSet\\Services\\Fuzz");
    if (exists) {
        os.setValue(key, name, MemoryPlatform::RegValue{type, stored});
    } else {
        os.setValue(key, "Other", MemoryPlatform::RegValue{type, stored});
    }
    fuzz::CapturedConsole console;
    enableTrace();
    std::optional<std::string> text = getRegistryValue(os, key, name);

    std::vector<std::string> trace{prefix + "regKey = " + key, prefix + "attr = " + name};
    if (exists) {
        const std::string expected = stored.substr(0, stored.find('\0'));
        FUZZ_CHECK(text == expected);
        trace.push_back(prefix + "value = " + expected);
    } else {
        FUZZ_CHECK(!text.has_value());
        trace.push_back(prefix + "failure to get value");
    }
    FUZZ_CHECK(fuzz::isExactTrace(console.err(), trace));
    FUZZ_CHECK(console.out().empty());
    FUZZ_CHECK(os.openHandleCount() == 0);
    std::optional<MemoryPlatform::RegValue> after = os.value(key, exists ? name : "Other");
    FUZZ_CHECK(after && after->type == type && after->data == stored);
    return 0;
}
