// Names in two letter cases, as the tools compare service names, agent names and homes: the
// platform's ordinal comparison without case, each character in the system's upper case and
// no language's rules, so the Turkish dotted capital I and dotless small i have no other case.
#pragma once

#include <string>

#include "test_support.h"

namespace vornel::testing {

struct LetterCaseRow {
    const char* name;
    std::string stored;  // as an installation stored it
    std::string given;   // as a later command line gives it
    bool same;
};

inline void PrintTo(const LetterCaseRow& row, std::ostream* out) {
    *out << row.name << ": " << ::testing::PrintToString(row.stored) << " / " << ::testing::PrintToString(row.given);
}

inline const auto kLetterCaseRows = ::testing::Values(
    LetterCaseRow{"Ascii", "node1", "NODE1", true},
    LetterCaseRow{"Latin1", "caf\xC3\xA9", "CAF\xC3\x89", true},                                       // café, CAFÉ
    LetterCaseRow{"Cyrillic", "\xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB8\xD1\x81",                     // сервис
                  "\xD0\xA1\xD0\x95\xD0\xA0\xD0\x92\xD0\x98\xD0\xA1", true},                          // СЕРВИС
    LetterCaseRow{"Greek", "\xCF\x85\xCF\x80\xCE\xB7\xCF\x81\xCE\xB5\xCF\x83\xCE\xAF\xCE\xB1",         // υπηρεσία
                  "\xCE\xA5\xCE\xA0\xCE\x97\xCE\xA1\xCE\x95\xCE\xA3\xCE\x8A\xCE\x91", true},          // ΥΠΗΡΕΣΊΑ
    LetterCaseRow{"TurkishDottedCapitalI", "kiosk", "K\xC4\xB0OSK", false},                            // KİOSK
    LetterCaseRow{"TurkishDotlessSmallI", "k\xC4\xB1osk", "KIOSK", false});                            // kıosk

}  // namespace vornel::testing
