// NT 5.2 (ReactOS, Windows XP and Server 2003) has no GetTickCount64, and MinGW-w64's static
// winpthread, which GoogleTest's threads bring into a 32-bit test program, imports it: such a
// program would not start there. This definition of the import stands in for the one in
// kernel32's import library, so that the 32-bit real_console_test runs on those systems as well.
// Its count wraps after 49.7 days, which no test lasts.
#include <windows.h>

extern "C" ULONGLONG WINAPI TickCount64() { return GetTickCount(); }
extern "C" void* const kTickCount64Import __asm__("__imp__GetTickCount64@0") =
    reinterpret_cast<void*>(&TickCount64);
