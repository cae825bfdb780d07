// The front end against the recording fake: how command lines are read, how index texts convert,
// and which platform calls each run makes, in which order, with which result.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/command.h"
#include "fake_console_icon.h"

namespace {

// argv as the start-up gives it: the program's name first, then `args`.
std::vector<const char*> Argv(const std::vector<const char*>& args) {
  std::vector<const char*> argv{"vemo.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

using K = IconCommandKind;

struct ParseCase {
  std::vector<const char*> args;
  K kind;
  int pathArg;   // index into argv of the expected path, or 0 for ""
  int indexArg;  // index into argv of the expected index text, or 0 for ""
};

const ParseCase kParseCases[] = {
    {{}, K::None, 0, 0},
    {{"/?"}, K::Usage, 0, 0},
    {{"/?", "x"}, K::Usage, 0, 0},
    {{"/?", "/ico", "a.ico"}, K::Usage, 0, 0},
    {{"/?", "/res", "m.dll", "1", "2", "3"}, K::Usage, 0, 0},
    {{"/ico", "a.ico"}, K::IconFromFile, 2, 0},
    {{"/ico", ""}, K::IconFromFile, 2, 0},
    {{"/ico", "C:\\my icons\\a b.ico"}, K::IconFromFile, 2, 0},
    {{"/ico", "..\\rel\\a.ico"}, K::IconFromFile, 2, 0},
    {{"/ico"}, K::None, 0, 0},
    {{"/ico", "a.ico", "b.ico"}, K::None, 0, 0},
    {{"/ico", "a.ico", "1"}, K::None, 0, 0},
    {{"/res", "m.dll", "3"}, K::IconFromModule, 2, 3},
    {{"/res", "m.dll", ""}, K::IconFromModule, 2, 3},
    {{"/res", "", "x"}, K::IconFromModule, 2, 3},
    {{"/res"}, K::None, 0, 0},
    {{"/res", "m.dll"}, K::None, 0, 0},
    {{"/res", "m.dll", "3", "x"}, K::None, 0, 0},
    // Whole-string, case-sensitive matching: no other spelling is a switch.
    {{"/ICO", "a.ico"}, K::None, 0, 0},
    {{"/Ico", "a.ico"}, K::None, 0, 0},
    {{"-ico", "a.ico"}, K::None, 0, 0},
    {{"/ico:", "a.ico"}, K::None, 0, 0},
    {{"/icon", "a.ico"}, K::None, 0, 0},
    {{"/ic", "a.ico"}, K::None, 0, 0},
    {{" /ico", "a.ico"}, K::None, 0, 0},
    {{"/ico ", "a.ico"}, K::None, 0, 0},
    {{"/RES", "m.dll", "1"}, K::None, 0, 0},
    {{"-res", "m.dll", "1"}, K::None, 0, 0},
    {{"/resource", "m.dll", "1"}, K::None, 0, 0},
    {{"/", "a.ico"}, K::None, 0, 0},
    {{"", "a.ico"}, K::None, 0, 0},
    {{""}, K::None, 0, 0},
    {{"/??"}, K::None, 0, 0},
    {{"?"}, K::None, 0, 0},
    {{"-?"}, K::None, 0, 0},
    {{"/h"}, K::None, 0, 0},
    {{"a.ico"}, K::None, 0, 0},
};

TEST(ParseCommandLine, GivesTheCommandOfEachLine) {
  for (const ParseCase& c : kParseCases) {
    std::vector<const char*> argv = Argv(c.args);
    std::string line;
    for (const char* a : c.args) line += std::string(" [") + a + "]";
    SCOPED_TRACE("command line:" + line);
    IconCommand command = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(command.kind, c.kind);
    // The path and index text are the vector's own strings, not copies.
    if (c.pathArg) EXPECT_EQ(command.path, argv[c.pathArg]);
    else EXPECT_STREQ(command.path, "");
    if (c.indexArg) EXPECT_EQ(command.indexText, argv[c.indexArg]);
    else EXPECT_STREQ(command.indexText, "");
  }
}

TEST(ParseCommandLine, CallsNoPlatformOperationAndWritesNothing) {
  Fake() = FakePlatform{};  // nothing set up: any call shows
  for (const ParseCase& c : kParseCases) {
    std::vector<const char*> argv = Argv(c.args);
    testing::internal::CaptureStdout();
    ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
  EXPECT_TRUE(Fake().calls.empty());
}

struct IndexCase {
  const char* text;
  std::int32_t index;
};

const IndexCase kIndexCases[] = {
    {"0", 0},
    {"3", 3},
    {"00012", 12},
    {"+5", 5},
    {"-2", -2},
    {"-0", 0},
    {"", 0},
    {"abc", 0},
    {"7x", 7},
    {"1.5", 1},
    {"1e3", 1},
    {"0x10", 0},
    {"5 6", 5},
    {"--1", 0},
    {"+-1", 0},
    {"-+1", 0},
    {"++1", 0},
    {"- 5", 0},
    {"-", 0},
    {"   3", 3},
    {"\t\n\v\f\r 9", 9},
    {" \t-4", -4},
    // Only 0x09-0x0D and the blank are white space; bytes from 0x80 up are neither blanks nor
    // digits, whatever a locale may say of them.
    {"\x08" "5", 0},
    {"\x0E" "5", 0},
    {"\x1C" "5", 0},
    {"\xA0" "5", 0},
    {"\x85" "5", 0},
    {"\xB2", 0},
    {"\xD9\xA3", 0},
    {"1\xB2", 1},
    // The accumulation wraps modulo 2^32 and the low 32 bits are read as a signed number.
    {"2147483647", 2147483647},
    {"2147483648", INT32_MIN},
    {"-2147483647", -2147483647},
    {"-2147483648", INT32_MIN},
    {"-2147483649", 2147483647},
    {"4294967295", -1},
    {"4294967296", 0},
    {"4294967297", 1},
    {"-4294967297", -1},
    {"6442450944", INT32_MIN},
    {"12345678901", -539222987},
    {"100000000000000000000", 1661992960},
};

TEST(ConvertIconIndex, ReadsEachTextAsAtoiDoesWithoutOverflow) {
  for (const IndexCase& c : kIndexCases) {
    EXPECT_EQ(ConvertIconIndex(c.text), c.index) << "text [" << c.text << "]";
  }
}

TEST(PrintUsage, WritesTheBannerAndTheArgumentList) {
  testing::internal::CaptureStdout();
  PrintUsage();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, kUsage);
  EXPECT_EQ(out.size(), 157u);
}

void* const kWindow = reinterpret_cast<void*>(0x1010);
void* const kFileIcon = reinterpret_cast<void*>(0x2020);
void* const kModuleIcon = reinterpret_cast<void*>(0x3030);

struct RunCase {
  std::vector<const char*> args;
  FakePlatform platform;  // what the operations return
  int status;
  std::vector<FakeCall> calls;
  bool usage;
};

std::vector<RunCase> RunCases() {
  FakePlatform present{kWindow, true, kFileIcon, kModuleIcon, {}};
  FakePlatform missing{kWindow, false, kFileIcon, kModuleIcon, {}};
  FakePlatform nothing{nullptr, true, nullptr, nullptr, {}};
  return {
      {{}, present, 0, {FindCall()}, false},
      {{}, missing, 0, {FindCall()}, false},
      {{"/?"}, present, 0, {FindCall()}, true},
      {{"/?", "/ico", "a.ico"}, missing, 0, {FindCall()}, true},
      {{"/ico"}, missing, 0, {FindCall()}, false},
      {{"/ico", "a.ico", "b.ico"}, missing, 0, {FindCall()}, false},
      {{"/res", "m.dll"}, missing, 0, {FindCall()}, false},
      {{"/res", "m.dll", "1", "2"}, missing, 0, {FindCall()}, false},
      {{"/ICO", "a.ico"}, missing, 0, {FindCall()}, false},
      {{"-ico", "a.ico"}, missing, 0, {FindCall()}, false},
      {{"", "a.ico"}, missing, 0, {FindCall()}, false},
      {{"/ico", "a.ico"}, missing, 1, {FindCall(), ExistsCall("a.ico")}, false},
      {{"/res", "m.dll", "2"}, missing, 1, {FindCall(), ExistsCall("m.dll")}, false},
      {{"/ico", "a.ico"},
       present,
       0,
       {FindCall(), ExistsCall("a.ico"), LoadCall("a.ico", kWindow), SetCall(kWindow, kFileIcon),
        KeepCall(kWindow, kFileIcon)},
       false},
      {{"/ico", "no icon.txt"},
       nothing,
       0,
       {FindCall(), ExistsCall("no icon.txt"), LoadCall("no icon.txt", nullptr),
        SetCall(nullptr, nullptr), KeepCall(nullptr, nullptr)},
       false},
      {{"/res", "m.dll", "7x"},
       present,
       0,
       {FindCall(), ExistsCall("m.dll"), ExtractCall("m.dll", 7, kWindow),
        SetCall(kWindow, kModuleIcon), KeepCall(kWindow, kModuleIcon)},
       false},
      {{"/res", "m.dll", "-2"},
       present,
       0,
       {FindCall(), ExistsCall("m.dll"), ExtractCall("m.dll", -2, kWindow),
        SetCall(kWindow, kModuleIcon), KeepCall(kWindow, kModuleIcon)},
       false},
      {{"/res", "m.dll", "4294967297"},
       present,
       0,
       {FindCall(), ExistsCall("m.dll"), ExtractCall("m.dll", 1, kWindow),
        SetCall(kWindow, kModuleIcon), KeepCall(kWindow, kModuleIcon)},
       false},
      {{"/res", "m.dll", "abc"},
       nothing,
       0,
       {FindCall(), ExistsCall("m.dll"), ExtractCall("m.dll", 0, nullptr),
        SetCall(nullptr, nullptr), KeepCall(nullptr, nullptr)},
       false},
  };
}

TEST(RunTool, CallsThePlatformInOrderAndReturnsTheStatus) {
  for (const RunCase& c : RunCases()) {
    std::vector<const char*> argv = Argv(c.args);
    std::string line;
    for (const char* a : c.args) line += std::string(" [") + a + "]";
    SCOPED_TRACE("command line:" + line);
    Fake() = c.platform;
    testing::internal::CaptureStdout();
    int status = RunTool(static_cast<int>(argv.size()), argv.data());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(Fake().calls, c.calls);
    EXPECT_EQ(out, c.usage ? kUsage : "");
  }
}

}  // namespace
