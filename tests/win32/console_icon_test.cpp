// RunTool over the real platform layer, in the process that owns the console window: the test
// gives its console a title, makes a top-level window of the console window class bearing it, and
// reads back the icons the run left on that window.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command.h"
#include "console_icon/console_icon.h"
#include "console_icon/icon_image.h"
#include "run_vemo.h"

namespace {

const COLORREF kRed = RGB(0xFF, 0, 0), kGreen = RGB(0, 0xFF, 0), kBlue = RGB(0, 0, 0xFF),
               kYellow = RGB(0xFF, 0xFF, 0), kMagenta = RGB(0xFF, 0, 0xFF);

HICON Icon(HWND window, WPARAM which) {
  return reinterpret_cast<HICON>(SendMessageA(window, WM_GETICON, which, 0));
}

HICON LoadFixture(const char* name) {
  return static_cast<HICON>(
      LoadImageA(nullptr, (Here() + name).c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE));
}

// A stand-in for the console window: a top-level window of the console window class (or of
// `className`), bearing `title`, that holds a grey small and large icon to begin with.
HWND MakeConsoleWindow(const std::wstring& title,
                       const wchar_t* className = L"ConsoleWindowClass") {
  HWND window = CreateConsoleClassWindow(title, className);
  EXPECT_NE(window, nullptr);
  HICON grey = LoadFixture("grey.ico");
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(grey));
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(grey));
  return window;
}

int RunWith(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"vemo.exe"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  return RunTool(static_cast<int>(argv.size()), argv.data());
}

// A run against a fresh window that bears the console title. `iconWanted` is the colour the small
// icon must show afterwards; CLR_INVALID when it must hold no icon, and kUnchanged when the run
// must leave it as it was.
const COLORREF kUnchanged = 0xFEFEFEFE;

struct RunCase {
  std::vector<std::string> args;  // "@" stands for this program's folder
  int status;
  COLORREF small;
};

std::vector<RunCase> RunCases() {
  return {
      {{"/ico", "@red.ico"}, 0, kRed},
      {{"/ico", "@blue.ico"}, 0, kBlue},
      {{"/res", "@icons.dll", "0"}, 0, kRed},
      {{"/res", "@icons.dll", "1"}, 0, kGreen},
      {{"/res", "@icons.dll", "2"}, 0, kBlue},
      {{"/res", "@icons.dll", "3"}, 0, kYellow},
      {{"/res", "@icons.dll", " +3"}, 0, kYellow},
      {{"/res", "@icons.dll", "2junk"}, 0, kBlue},
      {{"/res", "@icons.dll", "4294967297"}, 0, kGreen},
      // A negative index selects by resource ID.
      {{"/res", "@icons.dll", "-10"}, 0, kRed},
      {{"/res", "@icons.dll", "-30"}, 0, kBlue},
      {{"/res", "@icons.dll", "-40"}, 0, kYellow},
      // The 16x16 image, not the 32x32 one before it.
      {{"/ico", "@sizes.ico"}, 0, kMagenta},
      {{"/res", "@icons.dll", "4"}, 0, kMagenta},
      // Past the last icon, -1 (though marker.dll has resource ID 1), or a file that holds none:
      // the null handle is sent, so no icon.
      {{"/res", "@icons.dll", "5"}, 0, CLR_INVALID},
      {{"/res", "@marker.dll", "-1"}, 0, CLR_INVALID},
      {{"/ico", "@not-an-icon.txt"}, 0, CLR_INVALID},
      {{"/res", "@not-an-icon.txt", "0"}, 0, CLR_INVALID},
      // A missing file, or no command: the window is left as it was.
      {{"/ico", "@missing.ico"}, 1, kUnchanged},
      {{"/res", "@missing.dll", "0"}, 1, kUnchanged},
      {{"/ICO", "@red.ico"}, 0, kUnchanged},
      {{"/ico", "@red.ico", "@blue.ico"}, 0, kUnchanged},
      {{"/?"}, 0, kUnchanged},
      {{}, 0, kUnchanged},
  };
}

class ConsoleIcon : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    HANDLE f = CreateFileA((Here() + "not-an-icon.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written;
    WriteFile(f, "plain text\r\n", 12, &written, nullptr);
    CloseHandle(f);
  }
};

// The window bears the console title, or its first `windowTitleLength` characters.
void ExpectRun(const RunCase& c, const std::wstring& title,
               std::size_t windowTitleLength = std::wstring::npos) {
  ASSERT_TRUE(SetConsoleTitleW(title.c_str())) << "the test needs a console";
  HWND window = MakeConsoleWindow(title.substr(0, windowTitleLength));
  HICON smallBefore = Icon(window, ICON_SMALL), bigBefore = Icon(window, ICON_BIG);
  std::vector<std::string> args;
  for (std::string a : c.args) args.push_back(a[0] == '@' ? Here() + a.substr(1) : a);

  EXPECT_EQ(RunWith(args), c.status);
  if (c.small == kUnchanged) {
    EXPECT_EQ(Icon(window, ICON_SMALL), smallBefore);
  } else {
    EXPECT_EQ(CentreColour(Icon(window, ICON_SMALL)), c.small);
  }
  EXPECT_EQ(Icon(window, ICON_BIG), bigBefore) << "the large icon must stay as it was";
  DestroyWindow(window);
}

TEST_F(ConsoleIcon, SetsTheRequestedSmallIcon) {
  // Only vemo.exe keeps its icons through a copy of itself: this program must start none, which a
  // job around it sees. Wine starts processes of its own there too (its desktop's explorer.exe),
  // which are no copies.
  const std::wstring self = ImageOf(GetCurrentProcessId());
  ASSERT_FALSE(self.empty());
  int copies = 0;
  JobWatch watch;
  WatchJob(watch, [&](DWORD id) { copies += id != GetCurrentProcessId() && ImageOf(id) == self; });
  ASSERT_TRUE(AssignProcessToJobObject(watch.job, GetCurrentProcess()));
  for (const RunCase& c : RunCases()) {
    std::string line;
    for (const std::string& a : c.args) line += " [" + a + "]";
    SCOPED_TRACE("command line:" + line);
    ExpectRun(c, L"vemo test console");
  }
  EndWatch(watch);
  EXPECT_EQ(copies, 0) << "a copy of this program was started";
}

// The image vemo hands its keeper, and the icon the keeper builds from it: the same mask and
// pixels as the icon vemo loaded, in a handle of its own.
TEST(IconImage, RebuildsTheIconVemoLoaded) {
  BYTE andBits[32 * 4] = {}, xorBits[32 * 4];
  std::memset(xorBits, 0xF0, sizeof xorBits);
  struct {
    const char* what;
    HICON icon;
    COLORREF centre;  // CLR_INVALID: a monochrome icon, which has no colour bitmap
  } cases[] = {
      {"red.ico", static_cast<HICON>(LoadIconFromFile((Here() + "red.ico").c_str(), nullptr)),
       kRed},
      {"icons.dll 1",
       static_cast<HICON>(ExtractIconFromModule((Here() + "icons.dll").c_str(), 1, nullptr)),
       kGreen},
      {"monochrome", CreateIcon(nullptr, 32, 32, 1, 1, andBits, xorBits), CLR_INVALID},
  };
  std::vector<BYTE> image(kMaxIconImageSize), again(kMaxIconImageSize);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteIconImage(c.icon, image.data(), image.size()));
    HICON copy = MakeIconFromImage(image.data(), image.size());
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, c.icon);
    if (c.centre != CLR_INVALID) {
      EXPECT_EQ(CentreColour(copy), c.centre);
    }
    ASSERT_TRUE(WriteIconImage(copy, again.data(), again.size()));
    IconImageHeader h;
    std::memcpy(&h, image.data(), sizeof h);
    EXPECT_EQ(h.colour, c.centre != CLR_INVALID);
    EXPECT_EQ(std::memcmp(image.data(), again.data(), h.bytes), 0) << "mask or pixels differ";
    DestroyIcon(copy);
  }
}

// The bytes a colour image of `width` x `height` takes, as the header announces them.
std::uint32_t ImageBytes(std::uint32_t width, std::uint32_t height) {
  return sizeof(IconImageHeader) + (width + 31) / 32 * 4 * height + width * height * 4;
}

// What a keeper is handed is checked before it becomes an icon.
TEST(IconImage, BuildsNothingFromWhatIsNoImage) {
  const IconImageHeader red = {ImageBytes(32, 32), 32, 32, 1};
  struct {
    const char* what;
    IconImageHeader header;
    std::size_t size;  // of the bytes that may be read
    bool icon;
  } cases[] = {
      {"32x32", red, red.bytes, true},
      {"1x1", {ImageBytes(1, 1), 1, 1, 1}, ImageBytes(1, 1), true},
      {"256x256", {ImageBytes(256, 256), 256, 256, 1}, kMaxIconImageSize, true},
      {"fewer bytes than announced", red, red.bytes - 1, false},
      {"fewer bytes than a header", red, sizeof red - 1, false},
      {"a length one more than the size", {red.bytes + 1, 32, 32, 1}, kMaxIconImageSize, false},
      {"a length one less than the size", {red.bytes - 1, 32, 32, 1}, kMaxIconImageSize, false},
      {"monochrome with a colour length", {red.bytes, 32, 32, 0}, kMaxIconImageSize, false},
      {"an unknown kind", {red.bytes, 32, 32, 2}, kMaxIconImageSize, false},
      {"width 0", {ImageBytes(0, 32), 0, 32, 1}, kMaxIconImageSize, false},
      {"height 0", {ImageBytes(32, 0), 32, 0, 1}, kMaxIconImageSize, false},
      {"257x256", {ImageBytes(257, 256), 257, 256, 1}, 2 * kMaxIconImageSize, false},
      {"256x257", {ImageBytes(256, 257), 256, 257, 1}, 2 * kMaxIconImageSize, false},
      {"a width that wraps the length", {ImageBytes(32, 32), 0x80000020u, 32, 1}, kMaxIconImageSize,
       false},
  };
  std::vector<BYTE> image(2 * kMaxIconImageSize, 0x5A);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::memcpy(image.data(), &c.header, sizeof c.header);
    HICON icon = MakeIconFromImage(image.data(), c.size);
    EXPECT_EQ(icon != nullptr, c.icon);
    if (icon) DestroyIcon(icon);
  }
}

TEST_F(ConsoleIcon, FindsItsWindowUnderATitleThatArrivesWhole) {
  // Localized default titles, characters that the console's code page lacks, and cmd.exe's title
  // while it runs a command on a non-ASCII path or a long one. From 16383 characters on a title may
  // arrive cut short, and a window bearing that part is left alone.
  std::vector<std::wstring> titles = {L"vemo M\u00FCller",
                                      L"S\u00EDmbolo del sistema",
                                      L"\u547D\u4EE4\u63D0\u793A\u7B26",
                                      L"\u041A\u043E\u043C\u0430\u043D\u0434\u043D\u0430\u044F",
                                      L"vemo \u20AC \u03A9",
                                      L"C:\\Users\\J\u00F6rg\\icons - vemo  /ico red.ico"};
  for (std::size_t length : {254, 255, 256, 300, 4000, 16382, 16383, 16384, 20000}) {
    titles.push_back(std::wstring(length, L'T'));
  }
  for (const std::wstring& title : titles) {
    SCOPED_TRACE("title length " + std::to_string(title.size()));
    ExpectRun({{"/ico", "@green.ico"}, 0, title.size() < 16383 ? kGreen : kUnchanged}, title,
              16383);
  }
}

TEST_F(ConsoleIcon, TakesRelativePathsFromTheCurrentFolder) {
  char before[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, before);
  ASSERT_TRUE(SetCurrentDirectoryA(Here().c_str()));
  ExpectRun({{"/ico", "yellow.ico"}, 0, kYellow}, L"vemo relative");
  ExpectRun({{"/res", "icons.dll", "1"}, 0, kGreen}, L"vemo relative");
  ExpectRun({{"/ico", "missing.ico"}, 1, kUnchanged}, L"vemo relative");
  SetCurrentDirectoryA(before);
}

TEST_F(ConsoleIcon, LeavesAnotherConsoleWindowAlone) {
  // Wine's own console window is of another class, so it is not taken either.
  ASSERT_TRUE(SetConsoleTitleW(L"vemo own title"));
  HWND other = MakeConsoleWindow(L"vemo other title");
  HICON before = Icon(other, ICON_SMALL);
  EXPECT_EQ(FindConsoleWindow(), nullptr);
  EXPECT_EQ(RunWith({"/ico", Here() + "red.ico"}), 0);
  EXPECT_EQ(Icon(other, ICON_SMALL), before);
  DestroyWindow(other);
}

// Wine's console window is of Wine's own class, so this program's import of GetConsoleWindow,
// which the platform layer linked in here calls, is pointed at a stand-in returning `ownWindow`.
HWND ownWindow;
HWND WINAPI OwnWindow() { return ownWindow; }

void RedirectImport(std::uintptr_t from, std::uintptr_t to) {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& iat = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
  auto* first = reinterpret_cast<std::uintptr_t*>(base + iat.VirtualAddress);
  std::uintptr_t* slot = std::find(first, first + iat.Size / sizeof *first, from);
  DWORD protection;
  ASSERT_NE(slot, first + iat.Size / sizeof *first) << "no such import";
  ASSERT_TRUE(VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection));
  *slot = to;
  VirtualProtect(slot, sizeof *slot, protection, &protection);
}

TEST_F(ConsoleIcon, TakesTheConsolesOwnWindowBeforeAnyWindowThatBearsItsTitle) {
  const auto real = reinterpret_cast<std::uintptr_t>(&GetConsoleWindow);
  const auto standIn = reinterpret_cast<std::uintptr_t>(&OwnWindow);
  ASSERT_NO_FATAL_FAILURE(RedirectImport(real, standIn));
  ASSERT_TRUE(SetConsoleTitleW(L"vemo own title"));
  enum Found { kOwn, kTitled, kNone };
  struct {
    const char* what;
    const wchar_t* ownClass;
    const wchar_t* ownTitle;
    bool titled;  // another console window bears the console's title
    Found found;  // the window that gets the icon
  } cases[] = {
      // Another console run from the same batch file or shortcut bears the same title.
      {"own window and another of the same title", L"ConsoleWindowClass", L"vemo own title", true,
       kOwn},
      // While the user selects, the caption reads "Select " and the title.
      {"own window while selecting", L"ConsoleWindowClass", L"Select vemo own title", false, kOwn},
      {"own window selecting, another bears the title", L"ConsoleWindowClass",
       L"Select vemo own title", true, kOwn},
      // A pseudo console has no classic window: one bearing its title is another console's.
      {"pseudo console, a window bears the title", L"PseudoConsoleWindow", L"", true, kNone},
      {"pseudo console alone", L"PseudoConsoleWindow", L"", false, kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ownWindow = MakeConsoleWindow(c.ownTitle, c.ownClass);
    HWND titled = c.titled ? MakeConsoleWindow(L"vemo own title") : nullptr;
    HWND found = c.found == kOwn ? ownWindow : c.found == kTitled ? titled : nullptr;
    EXPECT_EQ(FindConsoleWindow(), found);
    std::vector<HWND> windows = {ownWindow, titled};
    std::vector<HICON> before;
    for (HWND w : windows) before.push_back(w ? Icon(w, ICON_SMALL) : nullptr);
    EXPECT_EQ(RunWith({"/ico", Here() + "red.ico"}), 0);
    for (std::size_t i = 0; i < windows.size(); ++i) {
      if (!windows[i]) continue;
      if (windows[i] == found) {
        EXPECT_EQ(CentreColour(Icon(windows[i], ICON_SMALL)), kRed) << "window " << i;
      } else {
        EXPECT_EQ(Icon(windows[i], ICON_SMALL), before[i]) << "window " << i << " changed";
      }
      DestroyWindow(windows[i]);
    }
  }
  RedirectImport(standIn, real);
}

// Run without a console: the lookup stops at the unreadable title, so not even a console window
// with an empty title is touched.
TEST(NoConsole, TouchesNoWindow) {
  FreeConsole();
  char title[16];
  ASSERT_EQ(GetConsoleTitleA(title, sizeof title), 0u);
  HWND untitled = MakeConsoleWindow(L"");
  HICON before = Icon(untitled, ICON_SMALL);
  EXPECT_EQ(FindConsoleWindow(), nullptr);
  EXPECT_EQ(RunWith({"/ico", Here() + "red.ico"}), 0);
  EXPECT_EQ(RunWith({"/res", Here() + "icons.dll", "1"}), 0);
  EXPECT_EQ(Icon(untitled, ICON_SMALL), before);
  DestroyWindow(untitled);
}

}  // namespace
