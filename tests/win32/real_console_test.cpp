// vemo.exe in a classic console window, watched from outside as a user sees it: a helper (this
// program with --helper) sets the console's title and runs vemo in that console; once vemo has
// exited, this process reads the window's small icon, takes pictures of its title bar and weighs
// the keeper vemo left, then lets the console close and sees the window and the keeper go. Only
// real Windows has such a window: under Wine the window checks are skipped, and on Windows a
// window of another class (a terminal that took the console over) fails the test.
//   real_console_test [VEMO_EXE [REPORT_FOLDER]]   (by default the vemo.exe and folder beside it)
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

struct RealCase {
  const wchar_t* title;
  std::vector<std::string> args;  // in the folder of this program
  DWORD status;
  COLORREF colour;  // of the icon named
};
const std::string kCyrillicIco = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2.ico";  // UTF-8, as vemo's ANSI
const RealCase kCases[] = {
    {L"vemo real console", {"/ico", "red.ico"}, 0, RGB(0xFF, 0, 0)},
    {L"\u041A\u043E\u043D\u0441\u043E\u043B\u044C", {"/res", "icons.dll", "1"}, 0, RGB(0, 0xFF, 0)},
    {L"\u547D\u4EE4\u63D0\u793A\u7B26", {"/ico", kCyrillicIco}, 0, RGB(0xFF, 0, 0)},
    {L"vemo missing icon", {"/ico", "missing.ico"}, 1, RGB(0xFF, 0, 0)},
};
std::string vemo, report;  // from the command line

HANDLE Event(const std::string& name) {
  return CreateEventA(nullptr, TRUE, FALSE, ("vemo-real-console-" + name).c_str());
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

// In the console: "window icon-before status" goes to a file, then the helper waits until the
// window has been looked at, since the console ends with it.
int Helper(int i, const std::string& id) {
  SetConsoleTitleW(kCases[i].title);
  HWND w = GetConsoleWindow();
  HICON before = SmallIcon(w);
  Outcome o = RunVemo(kCases[i].args, true, Here(), 0, 20000, vemo);
  char text[64];
  std::snprintf(text, sizeof text, "%llu %llu %lu", 0ull + reinterpret_cast<std::uintptr_t>(w),
                0ull + reinterpret_cast<std::uintptr_t>(before), o.finished ? o.status : 0xDEADul);
  WriteFileBytes(Here() + "real-console-" + id + ".txt", text);
  SetEvent(Event(id + "-ran"));
  WaitForSingleObject(Event(id + "-seen"), 60000);
  return 0;
}

// The title bar as the screen shows it, the window brought to the front, saved as a BMP: the
// count of its pixels near `colour`, or "no desktop visible".
std::string Picture(HWND w, COLORREF colour, const std::string& path) {
  HDESK desk = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
  if (!desk) return "no desktop visible";
  CloseDesktop(desk);
  SetWindowPos(w, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  SetForegroundWindow(w);
  Sleep(500);
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

TEST(RealConsole, VemoSetsTheSmallIconOfAClassicConsoleWindow) {
  ASSERT_TRUE(CopyFileA((Here() + "red.ico").c_str(), (Here() + kCyrillicIco).c_str(), FALSE));
  char conhost[MAX_PATH];
  ExpandEnvironmentStringsA("%SystemRoot%\\System32\\conhost.exe", conhost, MAX_PATH);
  // Wine's conhost.exe serves only the consoles Wine asks it for and takes no command line: there
  // the helper gets a new console of Wine's own, which the class check below tells apart.
  bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  std::string lines, otherClass;
  for (int i = 0; i < 4; ++i) {
    const RealCase& c = kCases[i];
    std::string command;
    for (const std::string& a : c.args) command += (command.empty() ? "" : " ") + a;
    SCOPED_TRACE(command);
    std::string id = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i);
    HANDLE ran = Event(id + "-ran"), seen = Event(id + "-seen");
    std::string helper = "\"" + Here() + "real_console_test.exe\" --helper " + std::to_string(i) +
                         " " + id + " \"" + vemo + "\"";
    std::string line = wine ? helper : "\"" + std::string(conhost) + "\" " + helper;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE,
                               wine ? CREATE_NEW_CONSOLE : 0, nullptr, Here().c_str(), &si, &pi));
    EXPECT_EQ(WaitForSingleObject(ran, 60000), WAIT_OBJECT_0) << "the helper did not run vemo";
    std::string file = Here() + "real-console-" + id + ".txt";
    unsigned long long window = 0, before = 0;
    DWORD status = 0xFFFFFFFF;
    std::sscanf(ReadFileBytes(file).c_str(), "%llu %llu %lu", &window, &before, &status);
    EXPECT_EQ(status, c.status);
    HWND w = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
    HICON was = reinterpret_cast<HICON>(static_cast<std::uintptr_t>(before));
    wchar_t name[64] = L"(no window)";
    if (w) GetClassNameW(w, name, 64);
    char title[256];
    WideCharToMultiByte(CP_UTF8, 0, c.title, -1, title, sizeof title, nullptr, nullptr);
    lines += std::string(title) + " | " + command + " | exit " + std::to_string(status) + " | ";
    bool classic = std::wstring(name) == L"ConsoleWindowClass";
    if (!classic) {
      otherClass.assign(name, name + wcslen(name));
      lines += "window of class " + otherClass + ": not looked at\n";
    } else {
      // vemo has exited: the icon on the window is its keeper's copy, alive and of the same colour.
      HICON after = SmallIcon(w);
      COLORREF colour = CentreColour(after);
      std::string picture = report + "case" + std::to_string(i);
      lines += std::string("icon changed: ") + (after != was ? "yes" : "no") +
               " | still valid: " + (colour != CLR_INVALID ? "yes" : "no") + " | " +
               "keepers: " + ProcessMemory(L"vemo.exe") + " | icon-coloured pixels after exit: " +
               Picture(w, c.colour, picture + "-exited.bmp");
      RedrawWindow(w, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
      std::string redrawn = Picture(w, c.colour, picture + "-redrawn.bmp");
      lines += ", after redraw: " + redrawn + "\n";
      EXPECT_EQ(after != was, c.status == 0) << "whether the icon changed";
      if (c.status == 0) {
        EXPECT_EQ(colour, c.colour) << "the small icon is no live icon of the colour vemo set";
        if (redrawn != "no desktop visible") {
          EXPECT_GT(std::atol(redrawn.c_str()), 0) << "the redrawn title bar shows no such pixel";
        }
      }
    }
    // The helper ends, the console with it, and the keeper with the console.
    SetEvent(seen);
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    if (classic) {
      EXPECT_TRUE(Within5s([&] { return !IsWindow(w); })) << "the console window stayed";
    }
    EXPECT_TRUE(Within5s([] { return ProcessIds(L"vemo.exe").empty(); })) << "a vemo.exe stayed";
    for (HANDLE h : {pi.hProcess, pi.hThread, ran, seen}) CloseHandle(h);
    DeleteFileA(file.c_str());
  }
  WriteFileBytes(report + "report.txt", lines);
  std::printf("%s", lines.c_str());
  if (!otherClass.empty()) {
    if (wine) GTEST_SKIP() << "the console window is of class " << otherClass;
    FAIL() << "the console window is of class " << otherClass << ", not a classic console window";
  }
}

}  // namespace

int main(int argc, char** argv) {
  vemo = Here() + "vemo.exe";
  if (argc == 5 && std::string(argv[1]) == "--helper") {
    vemo = argv[4];
    return Helper(std::atoi(argv[2]), argv[3]);
  }
  testing::InitGoogleTest(&argc, argv);
  // The helper runs in this program's folder, so a relative path would point elsewhere there.
  char full[MAX_PATH];
  if (argc > 1 && GetFullPathNameA(argv[1], MAX_PATH, full, nullptr)) vemo = full;
  report = argc > 2 ? std::string(argv[2]) + "\\" : Here();
  CreateDirectoryA(report.c_str(), nullptr);
  return RUN_ALL_TESTS();
}
