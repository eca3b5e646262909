#include "platform/win32/win32_platform.h"
#include "stop/stop_tool.h"

int main(int argc, char** argv) { return vornel::stopVornelAgentServiceMain(vornel::win32Platform(), argc, argv); }
