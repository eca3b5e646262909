#include "install/install.h"
#include "platform/win32/win32_platform.h"

int main(int argc, char** argv) { return vornel::installVornelAgentServiceMain(vornel::win32Platform(), argc, argv); }
