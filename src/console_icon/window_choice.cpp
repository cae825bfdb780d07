#include "console_icon/window_choice.h"

#include <cwchar>

WindowChoice ChooseConsoleWindow(const wchar_t* ownClass) {
  const auto is = [ownClass](const wchar_t* name) {
    return ownClass && std::wcscmp(ownClass, name) == 0;
  };
  // A classic console window is this console's and no other, whatever titles other consoles bear.
  if (is(L"ConsoleWindowClass")) return WindowChoice::Own;
  // A pseudo console (Windows Terminal, VS Code and every other ConPTY terminal) has a hidden
  // window that shows no icon and no classic window at all, so any classic window that bears its
  // title is another console's.
  if (is(L"PseudoConsoleWindow")) return WindowChoice::None;
  // Wine's console window, of its own class, shows no icon either; a classic window bearing the
  // title is all there is to find.
  return WindowChoice::ByTitle;
}
