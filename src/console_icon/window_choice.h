// Which window a run of vemo may give its icon, told from the class of its console's own window
// alone: the same rule on every host, and one that needs no console to be checked.
#ifndef VEMO_CONSOLE_ICON_WINDOW_CHOICE_H_
#define VEMO_CONSOLE_ICON_WINDOW_CHOICE_H_

enum class WindowChoice {
  Own,      // the console's own window
  None,     // no window at all
  ByTitle,  // the classic console window that bears the console's title, if one does
};

// The choice for a console whose own window is of class `ownClass`, or that has none (null).
WindowChoice ChooseConsoleWindow(const wchar_t* ownClass);

#endif  // VEMO_CONSOLE_ICON_WINDOW_CHOICE_H_
