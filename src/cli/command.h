// The command front end: reads the argument vector, runs one fixed sequence of platform
// operations and returns the exit status. It reaches the platform only through console_icon.h.
#ifndef VEMO_CLI_COMMAND_H_
#define VEMO_CLI_COMMAND_H_

#include <cstdint>

enum class IconCommandKind { None, Usage, IconFromFile, IconFromModule };

// What the argument vector asks for. `path` and `indexText` point into the vector, or at "" when
// the kind has none.
struct IconCommand {
  IconCommandKind kind = IconCommandKind::None;
  const char* path = "";
  const char* indexText = "";
};

// The whole run: finds the console window first, whatever the arguments, then carries out the
// command. Returns 1 when the file named to "/ico" or "/res" does not exist, 0 otherwise.
int RunTool(int argc, const char* const* argv);

// "/?" with anything after it, "/ico FileName" or "/res FileName i"; anything else is None.
// Switches match whole and case-sensitively. Calls no platform operation and writes nothing.
IconCommand ParseCommandLine(int argc, const char* const* argv);

// The index in `text` by the rules of atoi, in any locale: leading blanks and 0x09-0x0D skipped,
// one optional sign, decimal digits up to the first other byte, wrapping modulo 2^32. No digit
// gives 0.
std::int32_t ConvertIconIndex(const char* text);

// Writes the banner and the argument list to standard output.
void PrintUsage();

#endif  // VEMO_CLI_COMMAND_H_
