#include "cli/command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "console_icon/console_icon.h"

namespace {

// The switch is matched on a copy of argv[1], held in malloc'd memory rather than a std::string so
// that nothing here can throw or drag the C++ runtime's exception support into the exe.
using SwitchCopy = std::unique_ptr<char, decltype(&std::free)>;

SwitchCopy CopySwitch(const char* text) {
  std::size_t size = std::strlen(text) + 1;
  SwitchCopy copy(static_cast<char*>(std::malloc(size)), &std::free);
  if (copy) std::memcpy(copy.get(), text, size);
  return copy;
}

bool IsBlank(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

}  // namespace

IconCommand ParseCommandLine(int argc, const char* const* argv) {
  IconCommand command;
  if (argc < 2) return command;
  SwitchCopy sw = CopySwitch(argv[1]);
  // Out of memory leaves no switch to match, which is the same as an unknown one.
  if (!sw) return command;
  if (std::strcmp(sw.get(), "/?") == 0) {
    command.kind = IconCommandKind::Usage;
  } else if (std::strcmp(sw.get(), "/ico") == 0 && argc == 3) {
    command.kind = IconCommandKind::IconFromFile;
    command.path = argv[2];
  } else if (std::strcmp(sw.get(), "/res") == 0 && argc == 4) {
    command.kind = IconCommandKind::IconFromModule;
    command.path = argv[2];
    command.indexText = argv[3];
  }
  return command;
}

std::int32_t ConvertIconIndex(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (IsBlank(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  std::uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<std::uint32_t>(*p - '0');
  if (negative) value = 0u - value;
  // The low 32 bits read as a signed number, without relying on the implementation's conversion.
  return value < 0x80000000u ? static_cast<std::int32_t>(value)
                             : -static_cast<std::int32_t>(~value) - 1;
}

void PrintUsage() {
  std::fputs("\nVemo Tool\nVer 1.0 (VC++) By Tarvesin\n\n", stdout);
  std::fputs("Arguments:\n", stdout);
  std::fputs("/ico FileName       Load Icon from FileName\n", stdout);
  std::fputs("/res FileName i     Load Icon from Resource FileName , Index i\n", stdout);
}

int RunTool(int argc, const char* const* argv) {
  ConsoleWindowHandle window = FindConsoleWindow();
  if (argc == 1) return 0;
  IconCommand command = ParseCommandLine(argc, argv);
  IconHandle icon = nullptr;
  switch (command.kind) {
    case IconCommandKind::None:
      return 0;
    case IconCommandKind::Usage:
      PrintUsage();
      return 0;
    case IconCommandKind::IconFromFile:
      if (!IconFileExists(command.path)) return 1;
      icon = LoadIconFromFile(command.path, window);
      break;
    case IconCommandKind::IconFromModule:
      if (!IconFileExists(command.path)) return 1;
      icon = ExtractIconFromModule(command.path, ConvertIconIndex(command.indexText), window);
      break;
  }
  SetWindowSmallIcon(window, icon);
  KeepWindowIcon(window, icon);
  return 0;
}
