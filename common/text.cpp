#include "common/text.h"

#include <string>

namespace vornel {
namespace {

char foldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The length of the UTF-8 sequence that begins at text[i], or 0 when none begins there.
size_t sequenceLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldCase(a[i]) != foldCase(b[i])) return false;
    }
    return true;
}

bool sameIgnoringCase(Platform& os, std::string_view a, std::string_view b) {
    int order = 1;
    if (os.compareStringOrdinal(std::string(a), std::string(b), true, order) != win::kErrorSuccess) {
        return equalsIgnoringCase(a, b);
    }
    return order == 0;
}

size_t utf16Length(std::string_view text) {
    size_t units = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t length = sequenceLength(text, i);
        units += length == 4 ? 2 : 1;
        i += length == 0 ? 1 : length;
    }
    return units;
}

std::optional<uint32_t> parseDecimal(const std::optional<std::string>& text) {
    if (!text || text->empty() || text->size() > 9 || text->find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char digit : *text) value = value * 10 + static_cast<uint32_t>(digit - '0');
    return value;
}

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace vornel
