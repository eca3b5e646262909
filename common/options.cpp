#include "common/options.h"

#include <cstring>

#include "common/text.h"
#include "common/trace.h"

namespace vornel {
namespace {

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::optional<std::string> joinExtraParams(const std::optional<std::string>& unknown, const std::string& userid,
                                           const std::string& password) {
    std::string u = unknown.value_or(std::string());
    if (u.empty() && userid.empty() && password.empty()) return unknown;
    return u + " " + userid + " " + password;
}

}  // namespace

bool looksLikeOption(const char* argument) {
    if (argument == nullptr || argument[0] != '-') return false;
    for (const char* c = argument; *c != '\0'; ++c) {
        if (isWhiteSpace(*c)) return false;
    }
    return true;
}

int findOption(const OptionTable& table, const char* argument) {
    if (!looksLikeOption(argument)) return -1;
    for (size_t i = 0; i < table.entries.size(); ++i) {
        if (equalsIgnoringCase(argument + 1, table.entries[i].name)) return static_cast<int>(i);
    }
    return -1;
}

int parseOptions(OptionTable& table, int argc, char** argv) {
    table.count = argc;
    table.marks.assign(argc > 0 ? static_cast<size_t>(argc) : 0, 0);
    for (int i = 1; i < argc; ++i) {
        int row = findOption(table, argv[i]);
        if (row < 0) continue;
        OptionEntry& entry = table.entries[static_cast<size_t>(row)];
        table.marks[static_cast<size_t>(i)] = 1;
        entry.flags |= OPTION_PRESENT;
        if ((entry.flags & (OPTION_VALUE_REQUIRED | OPTION_VALUE_OPTIONAL)) == 0) continue;
        // A value that looks like an option ends the value search, unless the option takes any.
        bool candidate = i + 1 < argc && argv[i + 1] != nullptr &&
                         ((entry.flags & OPTION_VALUE_ANY) != 0 || !looksLikeOption(argv[i + 1]));
        entry.value = candidate ? std::optional<std::string>(argv[i + 1]) : std::nullopt;
        if (candidate) {
            table.marks[static_cast<size_t>(++i)] = 1;
        } else if (entry.flags & OPTION_VALUE_REQUIRED) {
            writeErr("Parameter -%s needs to be followed by an argument.\n", entry.name);
            return 0;
        }
    }
    return 1;
}

bool isOptionSet(const OptionTable& table, size_t position) {
    return position < table.entries.size() && (table.entries[position].flags & OPTION_PRESENT) != 0;
}

std::optional<std::string> getOptionValue(const OptionTable& table, size_t position) {
    if (position >= table.entries.size()) return std::nullopt;
    return table.entries[position].value;
}

std::optional<std::string> getUnknownParams(const OptionTable& table, int argc, char** argv) {
    int count = table.count < argc ? table.count : argc;
    if (count <= 1) return std::nullopt;
    std::string text;
    bool any = false;
    for (int i = 1; i < count; ++i) {
        if (table.marks[static_cast<size_t>(i)] != 0 || argv[i] == nullptr) continue;
        text += argv[i];
        text += ' ';
        any = true;
    }
    if (!any) return std::nullopt;
    return text;
}

std::string formatOptionArgument(const OptionTable& table, size_t position) {
    if (!isOptionSet(table, position)) return std::string();
    const OptionEntry& entry = table.entries[position];
    return std::string("-") + entry.name + " " + entry.value.value_or(std::string());
}

std::optional<std::string> buildExtraParams(const OptionTable& table, const std::optional<std::string>& unknown,
                                            size_t useridPosition, size_t passwordPosition) {
    return joinExtraParams(unknown, formatOptionArgument(table, useridPosition),
                           formatOptionArgument(table, passwordPosition));
}

std::optional<std::string> buildTracedExtraParams(const OptionTable& table, const std::optional<std::string>& unknown,
                                                  size_t useridPosition, size_t passwordPosition) {
    std::string password;
    if (isOptionSet(table, passwordPosition)) {
        password = std::string("-") + table.entries[passwordPosition].name + " " + kMaskedPassword;
    }
    return joinExtraParams(unknown, formatOptionArgument(table, useridPosition), password);
}

}  // namespace vornel
