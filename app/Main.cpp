// The entry point of setup.exe. The start-up itself is in Startup.cpp, so
// that the tests run exactly the code that ships.
#include <windows.h>

#include "app/Startup.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return kavri::RunSetup(); }
