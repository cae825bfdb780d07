// The console icon operations on Win32. Each call is named with its A or W suffix so that the
// build's UNICODE setting cannot change it: the title goes through the wide calls, since no code
// page carries every title, and paths through the ANSI calls, as the argument vector holds them.
#include "console_icon/console_icon.h"

#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>

#include "console_icon/keeper.h"
#include "console_icon/window_choice.h"

ConsoleWindowHandle FindConsoleWindow() {
  HWND own = GetConsoleWindow();
  wchar_t ownClass[32];
  switch (ChooseConsoleWindow(own && GetClassNameW(own, ownClass, 32) ? ownClass : nullptr)) {
    case WindowChoice::Own:
      return own;
    case WindowChoice::None:
      return nullptr;
    case WindowChoice::ByTitle:
      break;
  }
  // Under Wine the console's own window is one of Wine's class, which shows no icon, so a classic
  // console window that bears this console's title is looked for. 16384 characters hold any title
  // a command line makes and still fit the 64 KiB heap through which Windows 7 passes console
  // buffers. Zeroed, so that a title copied only in part shows and a whole one ends in a NUL.
  const DWORD size = 16384;
  wchar_t title[size] = {};
  DWORD n = GetConsoleTitleW(title, size);
  // Only a title that arrived whole is searched: the first part of a longer one can be another
  // window's whole title, and Windows versions differ in what they return for it. A process
  // without a console reads 0.
  if (n == 0 || n >= size - 1 || std::find(title, title + n, L'\0') != title + n) return nullptr;
  return FindWindowW(L"ConsoleWindowClass", title);
}

bool IsConsoleWindow(HWND window) {
  wchar_t className[20];
  return GetClassNameW(window, className, 20) && std::wcscmp(className, L"ConsoleWindowClass") == 0;
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
