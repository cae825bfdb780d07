// The console icon operations on Win32. The ANSI calls are named explicitly so that the build's
// UNICODE setting cannot change them.
#include "console_icon/console_icon.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

ConsoleWindowHandle FindConsoleWindow() {
  // cmd.exe puts the running command line into the title, so it can be far longer than a path;
  // 65536 characters hold any console title.
  char title[65536];
  // A process without a console reads 0, and so does an empty title: neither names our window.
  if (GetConsoleTitleA(title, sizeof title) == 0) return nullptr;
  return FindWindowA("ConsoleWindowClass", title);
}

bool IconFileExists(const char* path) { return PathFileExistsA(path) != FALSE; }

IconHandle LoadIconFromFile(const char* path) {
  return LoadImageA(nullptr, path, IMAGE_ICON, 0, 0, LR_LOADFROMFILE);
}

IconHandle ExtractIconFromModule(const char* path, std::int32_t index) {
  return ExtractIconA(nullptr, path, static_cast<UINT>(index));
}

void SetWindowSmallIcon(ConsoleWindowHandle window, IconHandle icon) {
  SendMessageA(static_cast<HWND>(window), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}
