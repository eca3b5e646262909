// decodeHex over any text, and the encode/decode round trip of stored arguments over any bytes.
//
// decodeHex is compared with the digit rules: absent and one message for an odd length;
// otherwise one byte per pair, 16 times the first digit's value plus the second's, where a
// character that is not one of 0-9 and A-F counts as 0 and writes one message of its own, in
// order. Encoding is the inverse for upper-case digits, and stored arguments come back whole.
#include <cstdint>
#include <string>

#include "common/encoding.h"
#include "fuzz_support.h"

namespace {

bool isUpperHex(const std::string& text) { return text.find_first_not_of("0123456789ABCDEF") == std::string::npos; }

int digitValue(char c, std::string& messages) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    messages += std::string("Invalid hex char: ") + c + "\n";
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::string messages;
    std::optional<std::string> expected;
    if (size % 2 != 0) {
        messages = "Invalid hex string: odd length.\n";
    } else {
        expected = std::string();
        for (size_t i = 0; i < size; i += 2) {
            int high = digitValue(text[i], messages);
            int low = digitValue(text[i + 1], messages);
            expected->push_back(static_cast<char>(16 * high + low));
        }
    }
    {
        fuzz::CapturedConsole console;
        std::optional<std::string> bytes = decodeHex(text);
        FUZZ_CHECK(bytes == expected);
        FUZZ_CHECK(console.out() == messages);
        FUZZ_CHECK(console.err().empty());
        if (bytes && isUpperHex(text)) FUZZ_CHECK(encodeHex(bytes) == text);
        FUZZ_CHECK(!decodeHex(std::nullopt).has_value());
    }

    fuzz::CapturedConsole console;
    const std::string key = "OrvikTamberVornel6100AgentService - fuzz";
    std::optional<std::string> stored = encodeHex(xorWithKey(key, text));
    FUZZ_CHECK(stored.has_value() && stored->size() == 2 * size && isUpperHex(*stored));
    // Stored arguments are texts: they end at their first zero byte.
    FUZZ_CHECK(decodeArguments(*stored, key) == text.substr(0, text.find('\0')));
    FUZZ_CHECK(console.out().empty() && console.err().empty());
    return 0;
}
