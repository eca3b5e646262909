// Command-line option parsing.
//
// Each program declares a fixed table of the options it knows, addressed by position. The
// parser walks the arguments once, marks which options are present and takes their values,
// marks every argument it has used, and stops with a message when an option that needs a
// value has none. The arguments it did not use make up the unrecognised-argument text.
//
// A program declares its table and the names of its positions together, in a struct with an
// enumeration Option of the positions, ending in Count, and one row per enumerator, in
// enumerator order:
//
//     struct StopOptions {
//         enum Option : size_t { ServiceName, Userid, Password, Help, Debug, Count };
//         static constexpr OptionRow rows[] = {
//             {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
//             {Userid, "userid", OPTION_VALUE_REQUIRED},
//             ...
//         };
//     };
//
// optionTableOf<StopOptions>() checks at compile time that every enumerator has its row at its
// own position, and gives the table as a new process has it. The program then reads an option
// by its enumerator: isOptionSet(table, StopOptions::Help).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace vornel {

enum : uint32_t {
    OPTION_VALUE_REQUIRED = 1,  // the option must be followed by a value
    OPTION_PRESENT = 2,         // set by the parser when the option occurs
    OPTION_VALUE_OPTIONAL = 4,  // the option takes the next argument when there is a suitable one
    OPTION_VALUE_ANY = 8,       // with a value: the next argument is the value even when it looks like an option
};

struct OptionEntry {
    const char* name;                  // without the dash; this spelling is used in messages
    std::optional<std::string> value;  // set by the parser
    uint32_t flags;
};

// One row of a program's declared table: the enumerator of its position, its name, its flags.
struct OptionRow {
    size_t position;
    const char* name;
    uint32_t flags;
};

// A program's option table and the argument marks of its one parse.
struct OptionTable {
    OptionTable(const OptionRow* first, const OptionRow* last) {
        for (; first != last; ++first) entries.push_back(OptionEntry{first->name, std::nullopt, first->flags});
    }
    std::vector<OptionEntry> entries;
    std::vector<char> marks;  // 1 at every argument the parser used
    int count = 0;            // the argument count of the parse
};

// True when the declared table has one row per enumerator of Options::Option, each at the
// position its enumerator names.
template <class Options>
constexpr bool hasOneRowPerOption() {
    if (std::size(Options::rows) != static_cast<size_t>(Options::Count)) return false;
    for (size_t i = 0; i < std::size(Options::rows); ++i) {
        if (Options::rows[i].position != i) return false;
    }
    return true;
}

// The program's option table as a new process has it.
template <class Options>
OptionTable optionTableOf() {
    static_assert(hasOneRowPerOption<Options>(),
                  "an option table needs one row per enumerator, in the order of the enumeration");
    return OptionTable(std::begin(Options::rows), std::end(Options::rows));
}

// Present, begins with "-" and holds no white space.
bool looksLikeOption(const char* argument);

// The position of the row whose name equals the text after the dash, ignoring letter case;
// -1 when there is none.
int findOption(const OptionTable& table, const char* argument);

// 1 when the command line is acceptable; 0 after an option that needs a value stood without
// one (its message is on the error stream).
int parseOptions(OptionTable& table, int argc, char** argv);

bool isOptionSet(const OptionTable& table, size_t position);
std::optional<std::string> getOptionValue(const OptionTable& table, size_t position);

// Every unused argument followed by one blank; absent when there is none.
std::optional<std::string> getUnknownParams(const OptionTable& table, int argc, char** argv);

// "-<name> <value>" when the option occurred, else the empty text.
std::string formatOptionArgument(const OptionTable& table, size_t position);

// "%s %s %s" of the unrecognised-argument text and the formatted userid and password
// options; the given text itself (absent when none) when all three parts are empty.
std::optional<std::string> buildExtraParams(const OptionTable& table, const std::optional<std::string>& unknown,
                                            size_t useridPosition, size_t passwordPosition);

// The same line as it may be written to a trace: the password value shows as ********.
std::optional<std::string> buildTracedExtraParams(const OptionTable& table, const std::optional<std::string>& unknown,
                                                  size_t useridPosition, size_t passwordPosition);

inline constexpr char kMaskedPassword[] = "********";

}  // namespace vornel
