// A DLL that a test plants beside a program, as someone might in a download
// folder; it only says that it was loaded.
#include <windows.h>

extern "C" __declspec(dllexport) int soreluneProbe() { return 42; }
