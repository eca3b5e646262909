// getRegistryValue over any stored data of any type: the text up to the first zero byte,
// whatever the length.
#include <cstdint>
#include <string>

#include "common/registry.h"
#include "fuzz_support.h"
#include "platform/memory/memory_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    fuzz::quietConsole();
    static MemoryPlatform os;
    const std::string key = "SYSTEM\\CurrentControlSet\\Services\\Fuzz\\Parameters\\";
    if (size == 0) {
        FUZZ_CHECK(!getRegistryValue(os, key, "Missing").has_value());
        return 0;
    }
    const uint32_t type = data[0] % 12;
    const std::string stored(reinterpret_cast<const char*>(data) + 1, size - 1);
    os.setValue(key, "Value", MemoryPlatform::RegValue{type, stored});
    std::optional<std::string> text = getRegistryValue(os, key, "Value");
    FUZZ_CHECK(text.has_value());
    FUZZ_CHECK(*text == stored.substr(0, stored.find('\0')));
    FUZZ_CHECK(os.openHandleCount() == 0);
    return 0;
}
