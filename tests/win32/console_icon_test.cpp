// RunTool over the real platform layer, in the process that owns the console window: the test
// gives its console a title, makes a top-level window of the console window class bearing it, and
// reads back the icons the run left on that window.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/command.h"
#include "console_icon/console_icon.h"
#include "run_vemo.h"

namespace {

const COLORREF kRed = RGB(0xFF, 0, 0), kGreen = RGB(0, 0xFF, 0), kBlue = RGB(0, 0, 0xFF),
               kYellow = RGB(0xFF, 0xFF, 0);

// The colour at the centre of an icon's image, or CLR_INVALID when `icon` is no icon.
COLORREF CentreColour(HICON icon) {
  ICONINFO info;
  if (!icon || !GetIconInfo(icon, &info)) return CLR_INVALID;
  BITMAP bm;
  GetObjectA(info.hbmColor, sizeof bm, &bm);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = bm.bmWidth;
  bi.bmiHeader.biHeight = -bm.bmHeight;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(bm.bmWidth) * bm.bmHeight);
  HDC dc = GetDC(nullptr);
  int rows = GetDIBits(dc, info.hbmColor, 0, bm.bmHeight, pixels.data(), &bi, DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  if (rows != bm.bmHeight) return CLR_INVALID;
  std::uint32_t bgra = pixels[static_cast<std::size_t>(bm.bmHeight / 2) * bm.bmWidth + bm.bmWidth / 2];
  return RGB((bgra >> 16) & 0xFF, (bgra >> 8) & 0xFF, bgra & 0xFF);
}

HICON Icon(HWND window, WPARAM which) {
  return reinterpret_cast<HICON>(SendMessageA(window, WM_GETICON, which, 0));
}

HICON LoadFixture(const char* name) {
  return static_cast<HICON>(
      LoadImageA(nullptr, (Here() + name).c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE));
}

// A stand-in for the console window: a top-level window of the console window class, bearing
// `title`, that holds a grey small and large icon to begin with.
HWND MakeConsoleWindow(const std::string& title) {
  static ATOM registered = [] {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "ConsoleWindowClass";
    return RegisterClassA(&wc);
  }();
  EXPECT_NE(registered, 0);
  HWND window = CreateWindowA("ConsoleWindowClass", title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0,
                              200, 100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
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
      // Past the last icon, or a file that holds none: the null handle is sent, so no icon.
      {{"/res", "@icons.dll", "4"}, 0, CLR_INVALID},
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

void ExpectRun(const RunCase& c, const std::string& title) {
  ASSERT_TRUE(SetConsoleTitleA(title.c_str())) << "the test needs a console";
  HWND window = MakeConsoleWindow(title);
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
  for (const RunCase& c : RunCases()) {
    std::string line;
    for (const std::string& a : c.args) line += " [" + a + "]";
    SCOPED_TRACE("command line:" + line);
    ExpectRun(c, "vemo test console");
  }
}

TEST_F(ConsoleIcon, FindsItsWindowUnderALongTitle) {
  // cmd.exe shows the running command line in the title, so a long path makes a long title.
  for (std::size_t length : {254, 255, 256, 300, 4000, 32000}) {
    SCOPED_TRACE("title length " + std::to_string(length));
    ExpectRun({{"/ico", "@green.ico"}, 0, kGreen}, std::string(length, 'T'));
  }
}

TEST_F(ConsoleIcon, TakesRelativePathsFromTheCurrentFolder) {
  char before[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, before);
  ASSERT_TRUE(SetCurrentDirectoryA(Here().c_str()));
  ExpectRun({{"/ico", "yellow.ico"}, 0, kYellow}, "vemo relative");
  ExpectRun({{"/res", "icons.dll", "1"}, 0, kGreen}, "vemo relative");
  ExpectRun({{"/ico", "missing.ico"}, 1, kUnchanged}, "vemo relative");
  SetCurrentDirectoryA(before);
}

TEST_F(ConsoleIcon, LeavesAnotherConsoleWindowAlone) {
  ASSERT_TRUE(SetConsoleTitleA("vemo own title"));
  HWND other = MakeConsoleWindow("vemo other title");
  HICON before = Icon(other, ICON_SMALL);
  EXPECT_EQ(FindConsoleWindow(), nullptr);
  EXPECT_EQ(RunWith({"/ico", Here() + "red.ico"}), 0);
  EXPECT_EQ(Icon(other, ICON_SMALL), before);
  DestroyWindow(other);
}

// Run without a console: the lookup stops at the unreadable title, so not even a console window
// with an empty title is touched.
TEST(NoConsole, TouchesNoWindow) {
  FreeConsole();
  char title[16];
  ASSERT_EQ(GetConsoleTitleA(title, sizeof title), 0u);
  HWND untitled = MakeConsoleWindow("");
  HICON before = Icon(untitled, ICON_SMALL);
  EXPECT_EQ(FindConsoleWindow(), nullptr);
  EXPECT_EQ(RunWith({"/ico", Here() + "red.ico"}), 0);
  EXPECT_EQ(RunWith({"/res", Here() + "icons.dll", "1"}), 0);
  EXPECT_EQ(Icon(untitled, ICON_SMALL), before);
  DestroyWindow(untitled);
}

}  // namespace
