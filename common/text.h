// Small text helpers the programs share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vornel {

// Equal but for the letter case of ASCII letters; nothing is trimmed or normalised.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// Equal without regard to letter case in any language, as Windows compares service names,
// registry keys and file names: the platform's ordinal comparison, each UTF-16 unit in the
// system's upper case. Where the platform cannot compare the texts (they are not valid in
// its code page), ASCII letters alone are folded.
bool sameIgnoringCase(Platform& os, std::string_view a, std::string_view b);

// The number of UTF-16 units of a UTF-8 text, as the system counts the characters of a name
// or a command line: one per character, two for a character beyond U+FFFF, and one for each
// byte that is not part of a UTF-8 sequence (it becomes one replacement character).
size_t utf16Length(std::string_view text);

// A number written as one to nine decimal digits and nothing else (no sign, no blank), as the
// programs take seconds, sizes and counts; absent for anything else, and for no text at all.
std::optional<uint32_t> parseDecimal(const std::optional<std::string>& text);

// The text without the line end (CR LF, or LF) that the system's message texts end in.
std::string withoutLineEnd(std::string text);

}  // namespace vornel
