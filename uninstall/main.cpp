#include "platform/win32/win32_platform.h"
#include "uninstall/uninstall_tool.h"

int main(int argc, char** argv) { return vornel::uninstallVornelAgentServiceMain(vornel::win32Platform(), argc, argv); }
