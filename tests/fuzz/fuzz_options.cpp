// The option parser over any argument vector, against each program's own table: the first
// byte picks the program, the rest are the arguments, split at zero bytes.
//
// The parse is compared with a plain model of the parsing rules, written here apart from the
// parser: which arguments it uses, which options it finds and with which values, whether it
// accepts the command line and the one message it writes when not. Then the texts built from
// the parse: the unrecognised arguments, each option as "-name value", and (start and stop
// tools) the extra-parameters line with and without the password masked.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/options.h"
#include "fuzz_support.h"
#include "fuzz_tables.h"

namespace {

using vornel::OptionTable;

bool isWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool looksLikeOption(const std::string& arg) {
    if (arg.empty() || arg[0] != '-') return false;
    for (char c : arg) {
        if (isWhiteSpace(c)) return false;
    }
    return true;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

struct Row {
    std::string name;
    uint32_t flags;
    bool present = false;
    std::optional<std::string> value;
};

struct Model {
    std::vector<Row> rows;
    std::vector<char> used;
    bool accepted = true;
    std::string message;  // on the error stream

    int find(const std::string& arg) const {
        if (!looksLikeOption(arg)) return -1;
        for (size_t r = 0; r < rows.size(); ++r) {
            if (sameName(arg.substr(1), rows[r].name)) return static_cast<int>(r);
        }
        return -1;
    }
};

Model parseByTheRules(const OptionTable& fresh, const std::vector<std::string>& args) {
    Model m;
    for (const vornel::OptionEntry& e : fresh.entries) m.rows.push_back(Row{e.name, e.flags, false, std::nullopt});
    m.used.assign(args.size(), 0);
    for (size_t i = 1; i < args.size(); ++i) {
        int r = m.find(args[i]);
        if (r < 0) continue;
        Row& row = m.rows[static_cast<size_t>(r)];
        m.used[i] = 1;
        row.present = true;
        const bool takesValue = row.flags & (vornel::OPTION_VALUE_REQUIRED | vornel::OPTION_VALUE_OPTIONAL);
        if (!takesValue) continue;
        // A row that takes any value takes the next argument even when it looks like an option.
        const bool anyValue = (row.flags & vornel::OPTION_VALUE_ANY) != 0;
        if (i + 1 < args.size() && (anyValue || !looksLikeOption(args[i + 1]))) {
            row.value = args[i + 1];
            m.used[++i] = 1;
        } else {
            row.value.reset();
            if (row.flags & vornel::OPTION_VALUE_REQUIRED) {
                m.accepted = false;
                m.message = "Parameter -" + row.name + " needs to be followed by an argument.\n";
                return m;
            }
        }
    }
    return m;
}

std::string formatted(const Row& row) { return row.present ? "-" + row.name + " " + row.value.value_or("") : ""; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    if (size == 0) return 0;
    const std::vector<fuzz::Program>& programs = fuzz::programs();
    const fuzz::Program& program = programs[data[0] % programs.size()];
    fuzz::FuzzArgv argv(data + 1, size - 1);
    const std::vector<std::string>& args = argv.args();

    OptionTable table = program.table();
    const Model model = parseByTheRules(table, args);
    fuzz::CapturedConsole console;
    const int ok = parseOptions(table, argv.argc(), argv.argv());

    FUZZ_CHECK(ok == (model.accepted ? 1 : 0));
    FUZZ_CHECK(console.out().empty());
    FUZZ_CHECK(console.err() == model.message);
    FUZZ_CHECK(table.count == argv.argc());
    FUZZ_CHECK(table.marks.size() == args.size());
    FUZZ_CHECK(table.entries.size() == model.rows.size());
    for (size_t row = 0; row < model.rows.size(); ++row) {
        const Row& expected = model.rows[row];
        const OptionEntry& entry = table.entries[row];
        FUZZ_CHECK(entry.name == expected.name);
        // The parser adds the present bit and nothing else.
        FUZZ_CHECK((entry.flags & ~static_cast<uint32_t>(OPTION_PRESENT)) == expected.flags);
        FUZZ_CHECK(isOptionSet(table, row) == expected.present);
        FUZZ_CHECK(getOptionValue(table, row) == expected.value);
        if (!model.accepted) continue;
        FUZZ_CHECK(formatOptionArgument(table, row) == formatted(expected));
    }
    FUZZ_CHECK(!isOptionSet(table, model.rows.size()) && !getOptionValue(table, model.rows.size()));
    if (!model.accepted) {
        // The arguments after the failing option are not looked at.
        for (size_t i = 0; i < args.size(); ++i) FUZZ_CHECK(table.marks[i] == model.used[i]);
        return 0;
    }

    std::string unknown;
    for (size_t i = 0; i < args.size(); ++i) {
        FUZZ_CHECK(table.marks[i] == model.used[i]);
        if (i > 0 && !model.used[i]) unknown += args[i] + " ";
    }
    const std::optional<std::string> expectedUnknown =
        unknown.empty() ? std::nullopt : std::optional<std::string>(unknown);
    FUZZ_CHECK(getUnknownParams(table, argv.argc(), argv.argv()) == expectedUnknown);

    if (program.extraParams) {
        const auto [useridPosition, passwordPosition] = *program.extraParams;
        const Row& userid = model.rows[useridPosition];
        const Row& password = model.rows[passwordPosition];
        FUZZ_CHECK(userid.name == "userid" && password.name == "password");
        auto line = [&](const std::string& passwordPart) -> std::optional<std::string> {
            if (unknown.empty() && !userid.present && !password.present) return expectedUnknown;
            return unknown + " " + formatted(userid) + " " + passwordPart;
        };
        FUZZ_CHECK(buildExtraParams(table, expectedUnknown, useridPosition, passwordPosition) ==
                   line(formatted(password)));
        FUZZ_CHECK(buildTracedExtraParams(table, expectedUnknown, useridPosition, passwordPosition) ==
                   line(password.present ? "-password ********" : ""));
    }
    return 0;
}
