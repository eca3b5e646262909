// Letter case as the system sees it: the upper case of a UTF-16 unit, the names that the
// registry, the service manager and the file system compare without regard to case, and the
// ordinal comparison of two texts.
#include "tests/memory/memory_internal.h"

namespace vornel {

namespace memory {
namespace {

bool odd(uint16_t unit) { return (unit & 1) != 0; }

// A code point's UTF-8 bytes.
void appendUtf8(uint32_t point, std::string& out) {
    if (point < 0x80) {
        out.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (point >> 6)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// The code point that begins at text[i] and its length in bytes; 0 bytes when the sequence is
// not UTF-8 (a stray continuation byte, a short or overlong sequence, a surrogate).
uint32_t decodeAt(const std::string& text, size_t i, size_t& length) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) {
        length = 0;
        return 0;
    }
    if (length == 1) return lead;
    uint32_t point = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            length = 0;
            return 0;
        }
        point = (point << 6) | (byte(i + k) & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) length = 0;
    return point;
}

}  // namespace

uint16_t upperOrdinal(uint16_t c) {
    if (c >= 'a' && c <= 'z') return static_cast<uint16_t>(c - 0x20);
    // Latin-1 Supplement: not the micro sign, not sharp s, not the division sign.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<uint16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    // Latin Extended-A in pairs, upper case first or, in two runs, second; no other case for
    // the dotted capital I (0x130), the dotless i (0x131), kra (0x138), the apostrophe n
    // (0x149) and the long s (0x17F).
    const bool lowerOfPair = (c >= 0x100 && c <= 0x12F && odd(c)) || (c >= 0x132 && c <= 0x137 && odd(c)) ||
                             (c >= 0x139 && c <= 0x148 && !odd(c)) || (c >= 0x14A && c <= 0x177 && odd(c)) ||
                             (c >= 0x179 && c <= 0x17E && !odd(c));
    if (lowerOfPair) return static_cast<uint16_t>(c - 1);
    // Greek: the letters with tonos, then the alphabet without final sigma (0x3C2).
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return static_cast<uint16_t>(c - 0x25);
    if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) return static_cast<uint16_t>(c - 0x20);
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return static_cast<uint16_t>(c - 0x3F);
    // Cyrillic: the alphabet, the letters from ѐ to џ, then the pairs of the extensions.
    if (c >= 0x430 && c <= 0x44F) return static_cast<uint16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<uint16_t>(c - 0x50);
    const bool cyrillicPair = (c >= 0x460 && c <= 0x481 && odd(c)) || (c >= 0x48A && c <= 0x4BF && odd(c)) ||
                              (c >= 0x4C1 && c <= 0x4CE && !odd(c)) || (c >= 0x4D0 && c <= 0x523 && odd(c));
    if (cyrillicPair) return static_cast<uint16_t>(c - 1);
    if (c == 0x4CF) return 0x4C0;
    return c;
}

bool toUtf16(const std::string& text, std::u16string& units) {
    units.clear();
    for (size_t i = 0; i < text.size();) {
        size_t length = 0;
        const uint32_t point = decodeAt(text, i, length);
        if (length == 0) return false;
        if (point >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(point));
        }
        i += length;
    }
    return true;
}

std::string lower(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t length = 0;
        const uint32_t point = decodeAt(text, i, length);
        if (length == 0) {
            result.push_back(text[i++]);
            continue;
        }
        if (point >= 'A' && point <= 'Z') {
            result.push_back(static_cast<char>(point - 'A' + 'a'));
        } else if (point < 0x80 || point >= 0x10000) {
            result.append(text, i, length);
        } else {
            appendUtf8(upperOrdinal(static_cast<uint16_t>(point)), result);
        }
        i += length;
    }
    return result;
}

}  // namespace memory

using namespace memory;

ErrorCode MemoryPlatform::compareStringOrdinal(const std::string& a, const std::string& b, bool ignoreCase,
                                               int& order) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CompareStringOrdinal, a, lock)) return rc;
    std::u16string left, right;
    if (!toUtf16(a, left) || !toUtf16(b, right)) return win::kErrorNoUnicodeTranslation;
    if (ignoreCase) {
        for (char16_t& unit : left) unit = upperOrdinal(unit);
        for (char16_t& unit : right) unit = upperOrdinal(unit);
    }
    order = left.compare(right) < 0 ? -1 : left == right ? 0 : 1;
    return win::kErrorSuccess;
}

}  // namespace vornel
