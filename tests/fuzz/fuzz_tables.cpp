#include "fuzz_tables.h"

namespace vornel::fuzz {

std::vector<OptionTable> optionTables() {
    // Every kind of row: required, optional and no value, names that differ only in case.
    return {OptionTable{
        {"servicename", {}, OPTION_VALUE_REQUIRED},
        {"userid", {}, OPTION_VALUE_REQUIRED},
        {"password", {}, OPTION_VALUE_REQUIRED},
        {"encodeparams", {}, OPTION_VALUE_OPTIONAL},
        {"help", {}, 0},
        {"debug", {}, 0},
        {"noPrefix", {}, 0},
    }};
}

}  // namespace vornel::fuzz
