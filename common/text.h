// Small text helpers the programs share.
#pragma once

#include <string_view>

namespace vornel {

// Equal but for the letter case of ASCII letters; nothing is trimmed or normalised.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vornel
