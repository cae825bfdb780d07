// vemo.exe in classic console windows, watched from outside as a user sees them: a helper (this
// program with --helper) holds each console and, on order, sets its title and runs vemo there;
// once vemo has exited, this process reads the window's small icon, takes pictures of its title bar
// and counts the keepers vemo left, and at a console's last step lets it close and sees the window
// and its keeper go. Only a real window manager has such windows: under Wine the window and keeper
// checks are skipped, and elsewhere a window of another class (a terminal that took the console
// over) fails the test. Each step's line goes to the report, to standard output and to the
// debugger's output, where scripts/reactos-check reads it from a ReactOS guest.
//   real_console_test [VEMO_EXE [REPORT_FOLDER [HOLD_MS]]]
// By default the vemo.exe and the folder beside it; HOLD_MS holds the screen still after each
// step's last picture and after each failed step, for a camera outside the system.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run_vemo.h"

namespace {

constexpr COLORREF kRed = RGB(0xFF, 0, 0), kGreen = RGB(0, 0xFF, 0), kBlue = RGB(0, 0, 0xFF),
                   kMagenta = RGB(0xFF, 0, 0xFF);
// The small icon a step leaves, where it is no colour: values no RGB() makes. kBurst: the colour of
// one of a burst's commands.
constexpr COLORREF kUnchanged = 0x01000000, kNoIcon = 0x02000000, kBurst = 0x03000000;
// The status of a file name that only a UTF-8 ANSI code page carries: 0 where vemo's manifest
// makes it so (Windows 10 1903 and later, Wine), else 1 and nothing changes (older Windows,
// NT 5.2).
constexpr DWORD kByCodePage = 0xFFFF;

struct RealStep {
  int console;                     // each console opens at its first step
  const wchar_t* title;            // set before the command; null keeps the console's
  std::vector<std::wstring> args;  // as typed: vemo gets them in its ANSI code page; none: the
                                   // console closes; "#": the number of the copy, 0 to 2
  DWORD status;
  COLORREF icon;        // the window's small icon once vemo has exited
  std::size_t keepers;  // vemo.exe processes after the step, where the windows are classic
  std::size_t kept;     // of those that ran before it
  int front = -1;       // a console brought in front of all others before the command
  int copies = 1;       // of vemo, started at once
};
const wchar_t kCyrillicIco[] = L"\u041F\u0440\u0438\u0432.ico";
const RealStep kSteps[] = {
    {0, L"vemo real console", {L"/?"}, 0, kUnchanged, 0, 0},
    {0, nullptr, {L"/ico", L"missing.ico"}, 1, kUnchanged, 0, 0},
    {0, nullptr, {L"/ico", L"red.ico"}, 0, kRed, 1, 0},
    // A second icon command in the same console hands its icon to the first one's keeper.
    {0, nullptr, {L"/res", L"icons.dll", L"1"}, 0, kGreen, 1, 1},
    // The image drawn for the title bar, 16x16 in magenta, not the 32x32 cyan one before it.
    {0, nullptr, {L"/ico", L"sizes.ico"}, 0, kMagenta, 1, 1},
    {0, nullptr, {L"/res", L"icons.dll", L"4"}, 0, kMagenta, 1, 1},
    {0, nullptr, {L"/ico", L"missing.ico"}, 1, kUnchanged, 1, 1},
    // Twelve at once, in red, green and blue.
    {0, nullptr, {L"/res", L"icons.dll", L"#"}, 0, kBurst, 1, 1, -1, 12},
    {0, nullptr, {L"/res", L"icons.dll", L"99"}, 0, kNoIcon, 0, 0},
    {0, nullptr, {}, 0, kUnchanged, 0, 0},
    // Titles in other scripts; two consoles with icons, each closing with its own keeper.
    {1, L"S\u00EDmbolo del sistema", {L"/ico", L"red.ico"}, 0, kRed, 1, 0},
    {2,
     L"\u041A\u043E\u043C\u0430\u043D\u0434\u043D\u0430\u044F \u0441\u0442\u0440\u043E\u043A\u0430",
     {L"/res", L"icons.dll", L"2"},
     0,
     kBlue,
     2,
     1},
    {2, L"\u547D\u4EE4\u63D0\u793A\u7B26", {L"/ico", kCyrillicIco}, kByCodePage, kRed, 2, 1},
    // Two consoles bear the same title, the other one in front: vemo changes its own console.
    {1, L"\u547D\u4EE4\u63D0\u793A\u7B26", {L"/res", L"icons.dll", L"1"}, 0, kGreen, 2, 2, 2},
    // Under a pseudo console, as in Windows Terminal, vemo touches no window and starts no keeper.
    {3, L"\u547D\u4EE4\u63D0\u793A\u7B26", {L"/ico", L"red.ico"}, 0, kUnchanged, 2, 2},
    {3, nullptr, {}, 0, kUnchanged, 2, 2},
    {2, nullptr, {}, 0, kUnchanged, 1, 1},
    {1, nullptr, {}, 0, kUnchanged, 0, 0},
};
constexpr int kConsoles = 4, kPseudo = 3;
std::string vemo, report;  // from the command line
DWORD holdMs = 0;

// `text` in the code page `page`. With CP_ACP, as a console hands what is typed to a program that
// reads its arguments in the ANSI code page: a character that page lacks arrives as '?'.
std::string Narrow(const std::wstring& text, UINT page = CP_UTF8) {
  char bytes[512] = {};
  WideCharToMultiByte(page, 0, text.c_str(), -1, bytes, sizeof bytes - 1, nullptr, nullptr);
  return bytes;
}

std::wstring Wide(const std::string& ansi) {
  wchar_t text[MAX_PATH] = {};
  MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, text, MAX_PATH - 1);
  return text;
}

// The start of the names of console `id`'s order and result files.
std::string Orders(const std::string& id) { return Here() + "real-console-" + id; }

// Auto-reset: each SetEvent lets one wait through.
HANDLE Event(const std::string& name) {
  return CreateEventA(nullptr, FALSE, FALSE, ("vemo-real-console-" + name).c_str());
}

// Waits up to 5 s for `done`.
template <typename Done>
bool Within5s(Done done) {
  for (int i = 0; i < 50 && !done(); ++i) Sleep(100);
  return done();
}

HICON SmallIcon(HWND w) {
  DWORD_PTR icon = 0;
  SendMessageTimeoutW(w, WM_GETICON, ICON_SMALL, 0, SMTO_ABORTIFHUNG, 5000, &icon);
  return reinterpret_cast<HICON>(icon);
}

// A line of the report, also on standard output and in the debugger's output.
void Report(const std::string& line) {
  static std::string lines;
  lines += line + "\n";
  WriteFileBytes(report + "report.txt", lines);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  OutputDebugStringA(("vemo-check: " + line + "\n").c_str());
}

// The console's helper: on each order it runs a step, then writes "window icon-before status",
// a newline and vemo's output to a file; an order of -1 ends it, and the console with it.
int Helper(const std::string& id) {
  HANDLE go = Event(id + "-go"), ran = Event(id + "-ran");
  const std::string orders = Orders(id);
  for (;;) {
    WaitForSingleObject(go, INFINITE);
    int step = std::atoi(ReadFileBytes(orders + "-order.txt").c_str());
    if (step < 0) return 0;
    const RealStep& s = kSteps[step];
    if (s.title) SetConsoleTitleW(s.title);
    HWND w = GetConsoleWindow();
    HICON before = SmallIcon(w);
    std::vector<std::vector<std::string>> commands(s.copies);
    for (int i = 0; i < s.copies; ++i) {
      for (const std::wstring& a : s.args) {
        commands[i].push_back(a == L"#" ? std::to_string(i % 3) : Narrow(a, CP_ACP));
      }
    }
    // The first status that is not 0, and all that was written.
    DWORD status = 0;
    std::string out;
    for (const Outcome& o : RunVemos(commands, Here(), 20000, vemo)) {
      if (status == 0) status = o.finished ? o.status : 0xDEADul;
      out += o.out;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%llu %llu %lu\n", 0ull + reinterpret_cast<std::uintptr_t>(w),
                  0ull + reinterpret_cast<std::uintptr_t>(before), status);
    WriteFileBytes(orders + "-result.txt", text + out);
    SetEvent(ran);
  }
}

// Brings `w` to the front of the screen and gives it a moment to be drawn there.
void Front(HWND w) {
  SetWindowPos(w, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  SetForegroundWindow(w);
  Sleep(500);
}

// The title bar as the screen shows it, the window brought to the front, saved as a BMP: the
// count of its pixels near `colour`, or "no desktop visible".
std::string Picture(HWND w, COLORREF colour, const std::string& path) {
  HDESK desk = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
  if (!desk) return "no desktop visible";
  CloseDesktop(desk);
  Front(w);
  RECT r;
  GetWindowRect(w, &r);
  LONG width = r.right - r.left, height = std::min<LONG>(r.bottom - r.top, 60);
  HDC screen = GetDC(nullptr), dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(dc, bitmap);
  BITMAPINFOHEADER info = {sizeof info, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  std::string pixels(static_cast<std::size_t>(width * height * 4), '\0');
  bool copied = BitBlt(dc, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) &&
                GetDIBits(dc, bitmap, 0, height, &pixels[0], reinterpret_cast<BITMAPINFO*>(&info),
                          DIB_RGB_COLORS) == height;
  DeleteObject(SelectObject(dc, old));
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  if (!copied) return "no desktop visible";
  BITMAPFILEHEADER file = {0x4D42, static_cast<DWORD>(sizeof file + sizeof info + pixels.size()), 0,
                           0, sizeof file + sizeof info};
  WriteFileBytes(path, std::string(reinterpret_cast<char*>(&file), sizeof file) +
                           std::string(reinterpret_cast<char*>(&info), sizeof info) + pixels);
  long count = 0;
  for (std::size_t p = 0; p < pixels.size(); p += 4) {
    count += std::abs(static_cast<BYTE>(pixels[p + 2]) - GetRValue(colour)) < 48 &&
             std::abs(static_cast<BYTE>(pixels[p + 1]) - GetGValue(colour)) < 48 &&
             std::abs(static_cast<BYTE>(pixels[p]) - GetBValue(colour)) < 48;
  }
  return std::to_string(count);
}

// True where a count of icon-coloured pixels shows some; a screen that could not be seen shows
// nothing.
bool Shows(const std::string& pixels) { return std::atol(pixels.c_str()) > 0; }

std::string ColourName(COLORREF c) {
  return c == kRed          ? "red"
         : c == kGreen      ? "green"
         : c == kBlue       ? "blue"
         : c == kMagenta    ? "magenta"
         : c == kNoIcon     ? "none"
         : c == kBurst      ? "red, green or blue"
         : c == CLR_INVALID ? "no live icon"
                            : "other";
}

bool Wine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

// A kernel32 call that only later Windows has (pseudo consoles: 10 1809, and Wine), or null.
template <typename Call = void (*)()>
Call Kernel32(const char* name) {
  return reinterpret_cast<Call>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

struct Console {
  PROCESS_INFORMATION helper;
  void* pty;  // the pseudo console that hosts it, or null, and its pipes' ends
  HANDLE ptyIn, ptyOut;
  std::string id;
  HANDLE go, ran;
  HWND window;
  bool classic;
  HICON held;  // the icon the console's keeper put on its window at its last icon
};

// Starts the helper of console `index`, in a classic console window: through conhost.exe where
// there is one, so that no other terminal takes the console over; else (Windows before 7, ReactOS)
// as a new console, which is classic there. Wine has a conhost.exe that takes no command line.
bool Open(Console& c, int index) {
  c.id = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(index);
  c.go = Event(c.id + "-go");
  c.ran = Event(c.id + "-ran");
  char conhost[MAX_PATH];
  ExpandEnvironmentStringsA("%SystemRoot%\\System32\\conhost.exe", conhost, MAX_PATH);
  bool host = !Wine() && GetFileAttributesA(conhost) != INVALID_FILE_ATTRIBUTES;
  std::string helper =
      "\"" + Here() + "real_console_test.exe\" --helper " + c.id + " \"" + vemo + "\"";
  std::string line = host ? "\"" + std::string(conhost) + "\" " + helper : helper;
  STARTUPINFOEXA si = {};
  si.StartupInfo.cb = sizeof si;
  DWORD flags = host ? 0 : CREATE_NEW_CONSOLE;
  std::uint64_t attributes[32];
  if (index == kPseudo) {
    // As a terminal hosts a console; its output, a few screens, stays in the pipe till it closes.
    HANDLE inRead = nullptr, outWrite = nullptr;
    SIZE_T size = sizeof attributes;
    si.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes);
    bool made = CreatePipe(&inRead, &c.ptyIn, nullptr, 0) &&
                CreatePipe(&c.ptyOut, &outWrite, nullptr, 1 << 20) &&
                SUCCEEDED(Kernel32<HRESULT(WINAPI*)(COORD, HANDLE, HANDLE, DWORD, void**)>(
                    "CreatePseudoConsole")({80, 25}, inRead, outWrite, 0, &c.pty)) &&
                Kernel32<BOOL(WINAPI*)(void*, DWORD, DWORD, SIZE_T*)>(
                    "InitializeProcThreadAttributeList")(attributes, 1, 0, &size) &&
                Kernel32<BOOL(WINAPI*)(void*, DWORD, DWORD_PTR, void*, SIZE_T, void*, SIZE_T*)>(
                    "UpdateProcThreadAttribute")(attributes, 0, 0x20016 /* PSEUDOCONSOLE */, c.pty,
                                                 sizeof c.pty, nullptr, nullptr);
    for (HANDLE h : {inRead, outWrite}) CloseHandle(h);
    if (!made) return false;
    line = helper;
    flags = EXTENDED_STARTUPINFO_PRESENT;
  }
  return CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr, Here().c_str(),
                        &si.StartupInfo, &c.helper) != FALSE;
}

TEST(RealConsole, VemoSetsAndKeepsTheSmallIconOfClassicConsoleWindows) {
  ASSERT_TRUE(CopyFileW(Wide(Here() + "red.ico").c_str(), Wide(Here()).append(kCyrillicIco).c_str(),
                        FALSE));
  const std::string usage = ReadFileBytes(Here() + "usage.txt");
  const bool utf8 = GetACP() == CP_UTF8;
  const testing::TestResult& result =
      *testing::UnitTest::GetInstance()->current_test_info()->result();
  Console consoles[kConsoles] = {};
  std::string otherClass;
  int step = 0;
  for (const RealStep& s : kSteps) {
    Console& c = consoles[s.console];
    std::string command;
    for (const std::wstring& a : s.args) command += (command.empty() ? "" : " ") + Narrow(a);
    SCOPED_TRACE("step " + std::to_string(step) + ": " + command);
    const int failures = result.total_part_count();
    std::string line = "step " + std::to_string(step) + " | console " + std::to_string(s.console) +
                       (s.title ? " \"" + Narrow(s.title) + "\"" : "") + " | " +
                       (s.args.empty() ? "closed" : command);
    if (s.console == kPseudo && !Kernel32("CreatePseudoConsole")) {
      Report("skip " + line + " | no pseudo console here");
      ++step;
      continue;
    }
    if (!c.helper.hProcess) {
      EXPECT_TRUE(Open(c, s.console)) << "the helper did not start";
    }
    const std::vector<DWORD> before = ProcessIds(L"vemo.exe");
    // A file name outside the ANSI code page counts as missing where that page is not UTF-8.
    const bool found = s.status != kByCodePage || utf8;
    const DWORD status = s.status == kByCodePage ? (utf8 ? 0 : 1) : s.status;
    const COLORREF icon = found ? s.icon : kUnchanged;
    const std::size_t kept = found ? s.kept : before.size();
    const std::string orders = Orders(c.id);
    // The icons of the other consoles, which no step of this one may change.
    HICON others[kConsoles] = {};
    for (int i = 0; i < kConsoles; ++i) {
      if (i != s.console && consoles[i].classic) others[i] = SmallIcon(consoles[i].window);
    }
    if (s.front >= 0 && consoles[s.front].classic) {
      Front(consoles[s.front].window);
      line += " | console " + std::to_string(s.front) + " in front";
    }
    WriteFileBytes(orders + "-order.txt", s.args.empty() ? "-1" : std::to_string(step));
    SetEvent(c.go);
    if (s.args.empty()) {
      // The helper ends, the console with it, and the keeper with the console.
      if (WaitForSingleObject(c.helper.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(c.helper.hProcess, 1);
      }
      if (c.classic) {
        EXPECT_TRUE(Within5s([&] { return !IsWindow(c.window); })) << "the console window stayed";
      }
      // Its output unread, the pseudo console must not wait to write more as it closes.
      for (HANDLE h : {c.ptyOut, c.ptyIn}) CloseHandle(h);
      if (c.pty) Kernel32<void(WINAPI*)(void*)>("ClosePseudoConsole")(c.pty);
      for (HANDLE h : {c.helper.hProcess, c.helper.hThread, c.go, c.ran}) CloseHandle(h);
    } else {
      EXPECT_EQ(WaitForSingleObject(c.ran, 60000), WAIT_OBJECT_0) << "the helper did not run vemo";
      std::string text = ReadFileBytes(orders + "-result.txt");
      unsigned long long window = 0, was = 0;
      DWORD exit = 0xFFFFFFFF;
      std::sscanf(text.c_str(), "%llu %llu %lu", &window, &was, &exit);
      std::string out = text.substr(std::min(text.size(), text.find('\n') + 1));
      EXPECT_EQ(exit, status);
      EXPECT_EQ(out, s.args[0] == L"/?" ? usage : "") << "what vemo wrote";
      line += " | exit " + std::to_string(exit);
      c.window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
      wchar_t name[64] = L"(no window)";
      if (c.window) GetClassNameW(c.window, name, 64);
      c.classic = std::wstring(name) == L"ConsoleWindowClass";
      if (!c.classic) {
        if (!c.pty) otherClass = Narrow(name);
        line += " | window of class " + Narrow(name) + ": not looked at";
      } else {
        // vemo has exited: the icon on the window is its keeper's copy, alive and of its colour.
        HICON after = SmallIcon(c.window);
        COLORREF colour = CentreColour(after);
        line += " | icon " + (after == reinterpret_cast<HICON>(was) ? std::string("unchanged")
                              : after                               ? ColourName(colour)
                                                                    : "none");
        if (icon != kUnchanged && c.held) {
          // The keeper destroys the icon it held once the window has another.
          EXPECT_EQ(CentreColour(c.held), CLR_INVALID) << "the icon before is still alive";
          c.held = nullptr;
        }
        const bool burst = colour == kRed || colour == kGreen || colour == kBlue;
        const COLORREF wanted = icon == kBurst && burst ? colour : icon;
        if (icon == kUnchanged) {
          EXPECT_EQ(after, reinterpret_cast<HICON>(was)) << "the icon changed";
        } else if (icon == kNoIcon) {
          EXPECT_EQ(after, nullptr) << "a small icon is left";
        } else {
          EXPECT_EQ(ColourName(colour), ColourName(wanted)) << "no live icon of vemo's colour";
          c.held = after;
          std::string picture = report + "step" + std::to_string(step);
          std::string exited = Picture(c.window, wanted, picture + "-exited.bmp");
          RedrawWindow(c.window, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
          std::string redrawn = Picture(c.window, wanted, picture + "-redrawn.bmp");
          ShowWindow(c.window, SW_MINIMIZE);
          Sleep(500);
          ShowWindow(c.window, SW_RESTORE);
          std::string restored = Picture(c.window, wanted, picture + "-restored.bmp");
          line += " | icon-coloured pixels: " + exited + " after exit, " + redrawn + " redrawn, " +
                  restored + " restored";
          EXPECT_TRUE(Shows(redrawn))
              << "the redrawn title bar shows no icon-coloured pixel (" << redrawn << ")";
          EXPECT_TRUE(Shows(restored))
              << "the restored title bar shows no icon-coloured pixel (" << restored << ")";
        }
        if (holdMs) {
          Front(c.window);
          RECT r;
          GetWindowRect(c.window, &r);
          Report("picture step" + std::to_string(step) + " " + std::to_string(r.left) + " " +
                 std::to_string(r.top) + " " + std::to_string(r.right) + " " +
                 std::to_string(r.bottom));
          Sleep(holdMs);
        }
      }
    }
    for (int i = 0; i < kConsoles; ++i) {
      if (i != s.console && consoles[i].classic && IsWindow(consoles[i].window)) {
        EXPECT_EQ(SmallIcon(consoles[i].window), others[i]) << "console " << i << "'s icon changed";
      }
    }
    if (!Wine()) {
      std::vector<DWORD> after;
      EXPECT_TRUE(Within5s([&] {
        after = ProcessIds(L"vemo.exe");
        return after.size() == s.keepers && Kept(before, after) == kept;
      })) << after.size()
          << " keepers, " << Kept(before, after) << " of them from before";
      line += " | keepers: " + ProcessMemory(L"vemo.exe");
    } else {
      EXPECT_TRUE(Within5s([] { return ProcessIds(L"vemo.exe").empty(); })) << "a vemo.exe stayed";
    }
    std::string verdict = result.total_part_count() > failures ? "FAIL " : "ok ";
    // Each failure on the step's line, its lines run together and without the trace.
    for (int i = failures; i < result.total_part_count(); ++i) {
      std::string message = result.GetTestPartResult(i).message();
      message = message.substr(0, message.find("\nGoogle Test trace:"));
      std::replace(message.begin(), message.end(), '\n', ' ');
      line += " |" + message;
    }
    Report(verdict + line);
    // A camera outside takes the whole screen of a failed step.
    if (holdMs && result.total_part_count() > failures) Sleep(holdMs);
    ++step;
  }
  for (Console& c : consoles) {
    DeleteFileA((Orders(c.id) + "-order.txt").c_str());
    DeleteFileA((Orders(c.id) + "-result.txt").c_str());
  }
  if (!otherClass.empty()) {
    if (Wine()) {
      GTEST_SKIP() << "the console window is of class " << otherClass;
    }
    FAIL() << "the console window is of class " << otherClass << ", not a classic console window";
  }
}

}  // namespace

int main(int argc, char** argv) {
  vemo = Here() + "vemo.exe";
  if (argc == 4 && std::string(argv[1]) == "--helper") {
    vemo = argv[3];
    return Helper(argv[2]);
  }
  testing::InitGoogleTest(&argc, argv);
  // The helper runs in this program's folder, so a relative path would point elsewhere there.
  char full[MAX_PATH];
  if (argc > 1 && GetFullPathNameA(argv[1], MAX_PATH, full, nullptr)) vemo = full;
  report = argc > 2 ? std::string(argv[2]) + "\\" : Here();
  holdMs = argc > 3 ? static_cast<DWORD>(std::atol(argv[3])) : 0;
  CreateDirectoryA(report.c_str(), nullptr);
  Report("start");
  int status = RUN_ALL_TESTS();
  Report("done, exit status " + std::to_string(status));
  return status;
}
