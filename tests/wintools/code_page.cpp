// A Windows test tool for the platform's code-page question, built twice: code_page.exe
// without the programs' manifest (the system's own code page, as on Windows before version
// 1903) and code_page_utf8.exe with it. It prints the active code page and whether the
// arguments it was given fit it ("1252 fits" or "1252 does not fit"); exit status 0, or the
// error code of the question.
#include <cstdio>

#include "platform/win32/win32_platform.h"

int main() {
    bool fits = false;
    uint32_t codePage = 0;
    if (vornel::ErrorCode rc = vornel::win32Platform().commandLineFitsCodePage(fits, codePage)) {
        return static_cast<int>(rc);
    }
    std::printf("%u %s\n", static_cast<unsigned>(codePage), fits ? "fits" : "does not fit");
    return 0;
}
