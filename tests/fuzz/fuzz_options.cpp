// The option parser over any argument vector: the input's zero bytes separate the arguments.
// Each result must be consistent: every present option that needs a value has one, and the
// unrecognised-argument text is exactly the unused arguments, each followed by a blank.
#include <cstdint>
#include <string>
#include <vector>

#include "common/options.h"
#include "fuzz_support.h"
#include "fuzz_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    fuzz::quietConsole();
    if (size == 0) return 0;
    std::vector<OptionTable> tables = fuzz::optionTables();
    OptionTable table = tables[data[0] % tables.size()];

    std::vector<std::string> args{"program.exe"};
    std::string current;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    int ok = parseOptions(table, argc, argv.data());
    FUZZ_CHECK(ok == 0 || ok == 1);
    if (ok == 0) return 0;

    std::string expectedUnknown;
    for (int i = 1; i < argc; ++i) {
        if (table.marks[static_cast<size_t>(i)] == 0) {
            FUZZ_CHECK(findOption(table, argv[i]) < 0);
            expectedUnknown += args[static_cast<size_t>(i)] + " ";
        } else if (findOption(table, argv[i]) < 0) {
            // A used argument that is no option is the value of the option before it.
            FUZZ_CHECK(i > 1 && table.marks[static_cast<size_t>(i - 1)] == 1 && findOption(table, argv[i - 1]) >= 0);
            FUZZ_CHECK(!looksLikeOption(argv[i]));
        }
    }
    std::optional<std::string> unknown = getUnknownParams(table, argc, argv.data());
    FUZZ_CHECK(unknown.value_or("") == expectedUnknown);
    FUZZ_CHECK(!unknown || (!unknown->empty() && unknown->back() == ' '));
    for (size_t row = 0; row < table.entries.size(); ++row) {
        const OptionEntry& entry = table.entries[row];
        if (isOptionSet(table, row) && (entry.flags & OPTION_VALUE_REQUIRED)) FUZZ_CHECK(entry.value.has_value());
        if (!isOptionSet(table, row)) FUZZ_CHECK(!entry.value.has_value() && formatOptionArgument(table, row).empty());
    }
    return 0;
}
