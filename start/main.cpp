#include "platform/win32/win32_platform.h"
#include "start/start_tool.h"

int main(int argc, char** argv) { return vornel::startVornelAgentServiceMain(vornel::win32Platform(), argc, argv); }
