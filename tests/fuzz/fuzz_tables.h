// The option tables the option fuzzer runs against.
#pragma once

#include <vector>

#include "common/options.h"

namespace vornel::fuzz {

std::vector<OptionTable> optionTables();

}  // namespace vornel::fuzz
