// decodeHex over any text, and the encode/decode round trip of stored arguments over any bytes.
#include <cstdint>
#include <string>

#include "common/encoding.h"
#include "fuzz_support.h"

namespace {

bool isUpperHex(const std::string& text) { return text.find_first_not_of("0123456789ABCDEF") == std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    fuzz::quietConsole();
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::optional<std::string> bytes = decodeHex(text);
    if (size % 2 != 0) {
        FUZZ_CHECK(!bytes.has_value());
    } else {
        FUZZ_CHECK(bytes.has_value() && bytes->size() == size / 2);
        if (isUpperHex(text)) FUZZ_CHECK(encodeHex(bytes) == text);
    }

    const std::string key = "OrvikTamberVornel6100AgentService - fuzz";
    std::optional<std::string> stored = encodeHex(xorWithKey(key, text));
    FUZZ_CHECK(stored.has_value() && stored->size() == 2 * size && isUpperHex(*stored));
    FUZZ_CHECK(decodeArguments(*stored, key) == text.substr(0, text.find('\0')));
    return 0;
}
