#include "host/host.h"
#include "platform/win32/win32_platform.h"

int main(int argc, char** argv) { return vornel::host::vornelAgentServiceProgramMain(vornel::win32Platform(), argc, argv); }
