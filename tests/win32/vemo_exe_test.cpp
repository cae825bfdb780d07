// The real vemo.exe, run as a child process with its standard streams on files or pipes: its exit
// status and every byte it writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_vemo.h"

namespace {

struct ExeCase {
  std::vector<std::string> args;
  DWORD status;
  bool usage;
};

const ExeCase kExeCases[] = {
    {{}, 0, false},
    {{"/?"}, 0, true},
    {{"/?", "/ico", "missing.ico"}, 0, true},
    {{"/ico", "red.ico"}, 0, false},
    {{"/ico", "missing.ico"}, 1, false},
    {{"/ico", "missing folder\\with spaces.ico"}, 1, false},
    {{"/res", "icons.dll", "2"}, 0, false},
    {{"/res", "icons.dll", "99"}, 0, false},
    {{"/res", "missing.dll", "2"}, 1, false},
    {{"/ico", "vemo.exe"}, 0, false},
    {{"/ico"}, 0, false},
    {{"/ico", "missing.ico", "red.ico"}, 0, false},
    {{"/res", "missing.dll"}, 0, false},
    {{"/res", "missing.dll", "1", "2"}, 0, false},
    {{"/ICO", "missing.ico"}, 0, false},
    {{"-ico", "missing.ico"}, 0, false},
    {{"", "missing.ico"}, 0, false},
    {{"/x"}, 0, false},
    // The start-up expands no wildcards: "*.ico" is one argument, and no file has that name.
    {{"/ico", "*.ico"}, 1, false},
    {{"/res", "icon?.dll", "0"}, 1, false},
};

TEST(VemoExe, ExitsAndWritesAsEachCommandLineAsks) {
  // The usage as the exe writes it, in text mode: the same bytes the Visual Studio build must give.
  const std::string usage = ReadFileBytes(Here() + "usage.txt");
  ASSERT_EQ(usage.size(), 164u);
  for (const ExeCase& c : kExeCases) {
    for (bool pipe : {false, true}) {
      std::string line;
      for (const std::string& a : c.args) line += " [" + a + "]";
      SCOPED_TRACE(std::string(pipe ? "into a pipe:" : "into a file:") + line);
      Outcome o = RunVemo(c.args, pipe, Here(), CREATE_NO_WINDOW);
      EXPECT_TRUE(o.started && o.finished);
      EXPECT_EQ(o.status, c.status);
      EXPECT_EQ(o.out, c.usage ? usage : "");
      EXPECT_EQ(o.err, "");
    }
  }
}

}  // namespace
