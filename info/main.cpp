#include "info/info_tool.h"
#include "platform/win32/win32_platform.h"

int main(int argc, char** argv) { return vornel::vornelAgentServiceInfoMain(vornel::win32Platform(), argc, argv); }
