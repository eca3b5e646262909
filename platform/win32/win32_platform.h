// The platform over the real Windows API. Thin by design: each operation is one API call
// with the arguments the programs need; no logic of the system lives here.
#pragma once

#include "platform/platform.h"

namespace vornel {

// The one platform of a Windows process.
Platform& win32Platform();

}  // namespace vornel
