// Which window each kind of console leads to, from the class of its own window.
#include <gtest/gtest.h>

#include "console_icon/window_choice.h"

namespace {

TEST(ChooseConsoleWindow, TakesOnlyAClassicConsolesOwnWindowAndNothingUnderAPseudoConsole) {
  const struct {
    const wchar_t* ownClass;
    WindowChoice choice;
  } cases[] = {
      {L"ConsoleWindowClass", WindowChoice::Own},
      // Windows Terminal, VS Code and every other ConPTY terminal: the console has no classic
      // window, so one that bears its title is another console's.
      {L"PseudoConsoleWindow", WindowChoice::None},
      // Wine's console, or no window of its own: the title lookup, as before.
      {L"WineConsoleClass", WindowChoice::ByTitle},
      {nullptr, WindowChoice::ByTitle},
      // A class that could not be read, and names that only begin like the hosts'.
      {L"", WindowChoice::ByTitle},
      {L"ConsoleWindowClassX", WindowChoice::ByTitle},
      {L"PseudoConsoleWindowX", WindowChoice::ByTitle},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseConsoleWindow(c.ownClass), c.choice)
        << "own window of class " << (c.ownClass ? c.ownClass : L"(none)");
  }
}

}  // namespace
