// The loader's notifications need nothing from this library: no set-up at load
// time, and the host, not the library, starts the socket library.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
