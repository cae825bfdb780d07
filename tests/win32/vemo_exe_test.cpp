// The real vemo.exe, run as a child process with its standard streams on files or pipes: its exit
// status and every byte it writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
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
      EXPECT_TRUE(o.started && o.finished) << o.startError;
      EXPECT_EQ(o.status, c.status);
      EXPECT_EQ(o.out, c.usage ? usage : "");
      EXPECT_EQ(o.err, "");
    }
  }
}

// The fenced batch block of docs/recipes.md that holds `line`, as a user pastes it.
std::string RecipeBlock(const std::string& line) {
  const std::string doc = ReadFileBytes(Here() + "recipes.md");
  std::size_t at = doc.find(line), begin = doc.rfind("```bat\n", at) + 7;
  return at == std::string::npos ? "" : doc.substr(begin, doc.find("```", at) - begin);
}

// Runs `bat` as a batch file with the argument `arg`, by cmd, in this program's folder.
Outcome RunBatch(const std::string& bat, const std::string& arg) {
  char comspec[MAX_PATH] = {};
  GetEnvironmentVariableA("ComSpec", comspec, MAX_PATH);
  WriteFileBytes(Here() + "recipe.cmd", std::regex_replace(bat, std::regex("\n"), "\r\n"));
  return RunVemo({"/c", "recipe.cmd", arg}, true, Here(), CREATE_NO_WINDOW, 30000, comspec);
}

// Each recipe's icons are red.ico here but for the command of the icon `shown`, which becomes /?
// so that the usage in the output tells that it was chosen; the build exits with `arg`.
struct RecipeCase {
  const char* line;
  const char* shown;
  const char* arg;
  DWORD status;
  bool usage;
};

const RecipeCase kRecipes[] = {
    {"cmake --build build %*", "failed", "0", 0, false},
    {"cmake --build build %*", "failed", "3", 3, true},
    // A crash ends with a negative status, which "if errorlevel 1" misses.
    {"cmake --build build %*", "failed", "-1073741819", 0xC0000005, true},
    {"cmake --build build %*", "passed", "0", 0, true},
    // Wine's whoami lists no groups, so its console is not an elevated one.
    {"S-1-16-12288", "admin", "", 0, false},
};

TEST(VemoExe, RecipesChooseTheirIconsAndKeepTheBuildsStatus) {
  for (const RecipeCase& c : kRecipes) {
    SCOPED_TRACE(std::string(c.line) + ", shown " + c.shown + ", build " + c.arg);
    std::string bat = RecipeBlock(c.line);
    ASSERT_NE(bat, "");
    bat = std::regex_replace(
        bat, std::regex(R"(/ico C:\\icons\\)" + std::string(c.shown) + R"(\.ico)"), "/?");
    bat = std::regex_replace(bat, std::regex(R"(C:\\icons\\\w+\.ico)"), "red.ico");
    Outcome o =
        RunBatch(std::regex_replace(bat, std::regex("cmake --build build"), "cmd /c exit"), c.arg);
    EXPECT_TRUE(o.started && o.finished) << o.startError;
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.out, c.usage ? ReadFileBytes(Here() + "usage.txt") : "");
    EXPECT_EQ(o.err, "");
  }
}

TEST(VemoExe, AutoRunRecipeStoresTheBatchFilesPathInQuotes) {
  // Unquoted, a profile folder with a space in its name would cut the AutoRun command there.
  char profile[MAX_PATH];
  GetEnvironmentVariableA("USERPROFILE", profile, MAX_PATH);
  SetEnvironmentVariableA("USERPROFILE", "C:\\users\\Jo Smith");
  Outcome o = RunBatch(RecipeBlock("reg add "), "");
  SetEnvironmentVariableA("USERPROFILE", profile);
  EXPECT_EQ(o.status, 0u);
  char value[MAX_PATH] = {};
  DWORD size = sizeof value;
  const char* key = "Software\\Microsoft\\Command Processor";
  RegGetValueA(HKEY_CURRENT_USER, key, "AutoRun", RRF_RT_REG_SZ, nullptr, value, &size);
  RegDeleteKeyValueA(HKEY_CURRENT_USER, key, "AutoRun");
  EXPECT_STREQ(value, "\"C:\\users\\Jo Smith\\vemo-autorun.cmd\"");
}

}  // namespace
