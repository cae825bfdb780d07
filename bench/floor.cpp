// The floor for vemo's run time: the same imports, and only the platform calls that each command
// line needs, with nothing of the tool's own around them.
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int main(int argc, char** argv) {
  wchar_t title[16384] = {};
  DWORD n = GetConsoleTitleW(title, 16384);
  HWND window = n > 0 && n < 16383 ? FindWindowW(L"ConsoleWindowClass", title) : nullptr;
  wchar_t className[20];
  HWND own = window ? nullptr : GetConsoleWindow();
  if (own && GetClassNameW(own, className, 20) && !std::wcscmp(className, L"ConsoleWindowClass")) {
    window = own;
  }
  if (argc < 2) return 0;
  HICON icon;
  switch (argv[1][1]) {
    case '?':
      std::fputs("\nVemo Tool\nVer 1.0 (VC++) By Tarvesin\n\nArguments:\n"
                 "/ico FileName       Load Icon from FileName\n"
                 "/res FileName i     Load Icon from Resource FileName , Index i\n",
                 stdout);
      return 0;
    case 'i':
      if (!PathFileExistsA(argv[2])) return 1;
      icon = static_cast<HICON>(LoadImageA(nullptr, argv[2], IMAGE_ICON, 0, 0, LR_LOADFROMFILE));
      break;
    default:
      if (!PathFileExistsA(argv[2])) return 1;
      icon = ExtractIconA(nullptr, argv[2], static_cast<UINT>(std::atoi(argv[3])));
      break;
  }
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  return 0;
}
