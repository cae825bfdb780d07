// The console icon operations on Win32. Each call is named with its A or W suffix so that the
// build's UNICODE setting cannot change it: the title goes through the wide calls, since no code
// page carries every title, and paths through the ANSI calls, as the argument vector holds them.
#include "console_icon/console_icon.h"

#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>

#include "console_icon/keeper.h"

namespace {

bool HasClass(HWND window, const wchar_t* name) {
  wchar_t className[32];
  return GetClassNameW(window, className, 32) && std::wcscmp(className, name) == 0;
}

}  // namespace

ConsoleWindowHandle FindConsoleWindow() {
  // The console's own window is this console's and no other, whatever titles other consoles bear.
  HWND own = GetConsoleWindow();
  if (own && IsConsoleWindow(own)) return own;
  // A pseudo console (Windows Terminal, VS Code and every other ConPTY terminal) has a hidden
  // window that shows no icon and no classic window at all: one bearing its title is another's.
  if (own && HasClass(own, L"PseudoConsoleWindow")) return nullptr;
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

bool IsConsoleWindow(HWND window) { return HasClass(window, L"ConsoleWindowClass"); }

bool IconFileExists(const char* path) { return PathFileExistsA(path) != FALSE; }

namespace {

// The size at which the title bar draws `window`'s small icon: the small-icon metric at the
// window's own DPI, which Windows 10 1607 and later tell per window (so the calls are looked up,
// Windows 7 lacks them); else at the system's DPI, which the manifest's dpiAware lets vemo see.
SIZE SmallIconSize(HWND window) {
  using DpiForWindow = UINT(WINAPI*)(HWND);
  using MetricForDpi = int(WINAPI*)(int, UINT);
  HMODULE user32 = window ? GetModuleHandleW(L"user32.dll") : nullptr;
  auto dpiFor = reinterpret_cast<DpiForWindow>(
      reinterpret_cast<void (*)()>(user32 ? GetProcAddress(user32, "GetDpiForWindow") : nullptr));
  auto metricFor = reinterpret_cast<MetricForDpi>(reinterpret_cast<void (*)()>(
      user32 ? GetProcAddress(user32, "GetSystemMetricsForDpi") : nullptr));
  UINT dpi = dpiFor && metricFor ? dpiFor(window) : 0;
  if (dpi) return {metricFor(SM_CXSMICON, dpi), metricFor(SM_CYSMICON, dpi)};
  return {GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON)};
}

}  // namespace

IconHandle LoadIconFromFile(const char* path, ConsoleWindowHandle window) {
  SIZE size = SmallIconSize(static_cast<HWND>(window));
  return LoadImageA(nullptr, path, IMAGE_ICON, size.cx, size.cy, LR_LOADFROMFILE);
}

IconHandle ExtractIconFromModule(const char* path, std::int32_t index, ConsoleWindowHandle window) {
  // -1 gives no icon, as it did when ExtractIconA read it as asking for the count of icons; here
  // it would be the icon of resource ID 1.
  if (index == -1) return nullptr;
  // The low word is the large icon's size, the high word the small one's, the only one taken.
  UINT size = static_cast<UINT>(SmallIconSize(static_cast<HWND>(window)).cx);
  HICON icon = nullptr;
  SHDefExtractIconA(path, index, 0, nullptr, &icon, static_cast<UINT>(MAKELONG(size, size)));
  return icon;
}

void SetWindowSmallIcon(ConsoleWindowHandle window, IconHandle icon) {
  SendMessageA(static_cast<HWND>(window), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}
