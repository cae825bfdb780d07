// A recording stand-in for the console icon operations: each call is logged in order with its
// arguments, and returns what the test set up.
#ifndef VEMO_TESTS_HOST_FAKE_CONSOLE_ICON_H_
#define VEMO_TESTS_HOST_FAKE_CONSOLE_ICON_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "console_icon/console_icon.h"

struct FakeCall {
  std::string op;
  std::string path;
  std::int32_t index;
  void* window;
  void* icon;

  bool operator==(const FakeCall& o) const {
    return op == o.op && path == o.path && index == o.index && window == o.window && icon == o.icon;
  }
};

inline std::ostream& operator<<(std::ostream& os, const FakeCall& c) {
  return os << c.op << "(" << c.path << ", " << c.index << ", " << c.window << ", " << c.icon
            << ")";
}

inline FakeCall FindCall() { return {"FindConsoleWindow", "", 0, nullptr, nullptr}; }
inline FakeCall ExistsCall(const char* path) { return {"IconFileExists", path, 0, nullptr, nullptr}; }
inline FakeCall LoadCall(const char* path, void* window) {
  return {"LoadIconFromFile", path, 0, window, nullptr};
}
inline FakeCall ExtractCall(const char* path, std::int32_t index, void* window) {
  return {"ExtractIconFromModule", path, index, window, nullptr};
}
inline FakeCall SetCall(void* window, void* icon) {
  return {"SetWindowSmallIcon", "", 0, window, icon};
}
inline FakeCall KeepCall(void* window, void* icon) {
  return {"KeepWindowIcon", "", 0, window, icon};
}

struct FakePlatform {
  ConsoleWindowHandle window;  // what FindConsoleWindow returns
  bool exists;                 // what IconFileExists returns
  IconHandle fileIcon;         // what LoadIconFromFile returns
  IconHandle moduleIcon;       // what ExtractIconFromModule returns
  std::vector<FakeCall> calls;
};

// The usage text, byte for byte, as a host build writes it (no CR before each LF).
inline constexpr char kUsage[] =
    "\nVemo Tool\nVer 1.0 (VC++) By Tarvesin\n\n"
    "Arguments:\n"
    "/ico FileName       Load Icon from FileName\n"
    "/res FileName i     Load Icon from Resource FileName , Index i\n";

// The fake's state, which each test sets afresh.
FakePlatform& Fake();

#endif  // VEMO_TESTS_HOST_FAKE_CONSOLE_ICON_H_
