// The platform operations the front end needs: find the console window, test a path, obtain an
// icon, hand it to the window and keep it alive there. None reports a failure, and the front end
// releases no handle. Paths are NUL-terminated byte strings in the ANSI code page, passed on
// unchanged.
#ifndef VEMO_CONSOLE_ICON_CONSOLE_ICON_H_
#define VEMO_CONSOLE_ICON_CONSOLE_ICON_H_

#include <cstdint>

// A top-level window (HWND); null when no window matched.
using ConsoleWindowHandle = void*;
// An icon (HICON) as a loader returned it; may be null or no valid icon.
using IconHandle = void*;

// This console's own window when it is of class "ConsoleWindowClass"; null under a pseudo console
// (Windows Terminal and other ConPTY terminals), which has no such window; else (no window of its
// own, or one of another host, such as Wine's) the top-level window of that class that bears this
// console's whole title; else null, as without a console. A title of 16383 characters or more,
// which may arrive cut short, is not searched.
ConsoleWindowHandle FindConsoleWindow();

// True when the file or directory at `path` exists.
bool IconFileExists(const char* path);

// The image of the icon file at `path` that Windows picks for `window`'s title bar, at the
// small-icon size of the window's DPI (of the system's where Windows cannot tell it, or there is no
// window); null or unusable if the file holds no icon.
IconHandle LoadIconFromFile(const char* path, ConsoleWindowHandle window);

// The icon at `index` in the module at `path`, at the same size: a negative index -n selects the
// icon whose resource ID is n; -1, an index past the last icon or a file without icons gives null.
IconHandle ExtractIconFromModule(const char* path, std::int32_t index, ConsoleWindowHandle window);

// Sends `icon` to `window` as its small icon; the large icon is left as it was.
void SetWindowSmallIcon(ConsoleWindowHandle window, IconHandle icon);

// Keeps `icon` on `window` after this process ends: the window's keeper, a detached copy of
// vemo.exe, puts a copy of the icon on the window and holds it until the window is gone. The
// keeper that holds the window already is handed the icon; where there is none of this release, a
// new one is started. A null or unusable icon, or a keeper that cannot be had, ends the window's
// keeper instead; a null window does nothing. Calls for one window follow each other in turn.
// Returns once the keeper holds the icon, or after a few seconds.
void KeepWindowIcon(ConsoleWindowHandle window, IconHandle icon);

// True when this process is a keeper that KeepWindowIcon started; it has then done all a keeper
// does. False at once in any other process.
bool ServeAsIconKeeper();

#endif  // VEMO_CONSOLE_ICON_CONSOLE_ICON_H_
