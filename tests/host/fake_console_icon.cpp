#include "fake_console_icon.h"

FakePlatform& Fake() {
  static FakePlatform fake{};
  return fake;
}

ConsoleWindowHandle FindConsoleWindow() {
  Fake().calls.push_back(FindCall());
  return Fake().window;
}

bool IconFileExists(const char* path) {
  Fake().calls.push_back(ExistsCall(path));
  return Fake().exists;
}

IconHandle LoadIconFromFile(const char* path, ConsoleWindowHandle window) {
  Fake().calls.push_back(LoadCall(path, window));
  return Fake().fileIcon;
}

IconHandle ExtractIconFromModule(const char* path, std::int32_t index, ConsoleWindowHandle window) {
  Fake().calls.push_back(ExtractCall(path, index, window));
  return Fake().moduleIcon;
}

void SetWindowSmallIcon(ConsoleWindowHandle window, IconHandle icon) {
  Fake().calls.push_back(SetCall(window, icon));
}

void KeepWindowIcon(ConsoleWindowHandle window, IconHandle icon) {
  Fake().calls.push_back(KeepCall(window, icon));
}
