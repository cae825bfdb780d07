// The keeper's life, seen from outside: windows of the console class held by other processes (this
// program with --window TITLE) bear the titles this console takes in turn, vemo.exe runs in this
// console with its output on a pipe, and the vemo.exe processes left afterwards are counted. Then
// this program plays a keeper of another release, and vemo's part, handing a keeper orders that it
// must refuse; and it holds a window as a keeper does. Wine does not carry WM_SETICON between
// processes, so no icon is looked at here.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "console_icon/icon_image.h"
#include "console_icon/keeper.h"
#include "run_vemo.h"

namespace {

const wchar_t* const kTitles[] = {L"vemo keeper A", L"vemo keeper B", L"vemo keeper, no window"};
enum { kA, kB, kNoWindow, kKeepers };

struct Step {
  int title;                      // the title this console bears: window A's, B's, or no window's
  std::vector<std::string> args;  // vemo's, in a folder of its own; none: end that window's
                                  // process, or with kKeepers, kill the keepers
  DWORD status;
  std::size_t keepers;  // vemo.exe processes afterwards
  std::size_t kept;     // of those that ran before the step
  int copies = 1;       // of vemo, started at once; an argument "#" is each one's number, 0 to 3
};

// The vemo.exe processes once `keepers` of them run, `kept` of those among `before`, or after 5 s:
// a keeper that steps down ends a moment after it has let the window go.
std::vector<DWORD> Keepers(std::size_t keepers, const std::vector<DWORD>& before = {},
                           std::size_t kept = 0) {
  std::vector<DWORD> after = ProcessIds(L"vemo.exe");
  for (int i = 0; i < 500 && (after.size() != keepers || Kept(before, after) != kept); ++i) {
    Sleep(10);
    after = ProcessIds(L"vemo.exe");
  }
  return after;
}

const Step kSteps[] = {
    {kA, {"/ico", "red.ico"}, 0, 1, 0},
    // A later icon command hands its icon to the window's keeper.
    {kA, {"/res", "icons.dll", "1"}, 0, 1, 1},
    {kA, {"/ico", "missing.ico"}, 1, 1, 1},
    {kA, {"/?"}, 0, 1, 1},
    {kA, {"/icon", "red.ico"}, 0, 1, 1},
    {kA, {"/ico", "red.ico", "green.ico"}, 0, 1, 1},
    // The null icon: an index past the last, a file that holds no icon.
    {kA, {"/res", "icons.dll", "99"}, 0, 0, 0},
    // Icon commands in a burst, at a window without a keeper and then with one: one keeper.
    {kA, {"/res", "icons.dll", "#"}, 0, 1, 0, 12},
    {kA, {"/res", "icons.dll", "#"}, 0, 1, 1, 12},
    // A keeper that was killed leaves the window to the next one all the same.
    {kKeepers, {}, 0, 0, 0},
    {kA, {"/ico", "red.ico"}, 0, 1, 0},
    {kA, {"/ico", "not-an-icon.txt"}, 0, 0, 0},
    {kNoWindow, {"/ico", "red.ico"}, 0, 0, 0},
    // Two windows, two keepers, each ending with its window's process.
    {kA, {"/ico", "green.ico"}, 0, 1, 0},
    {kB, {"/res", "icons.dll", "2"}, 0, 2, 1},
    {kA, {}, 0, 1, 1},
    {kB, {}, 0, 0, 0},
};

TEST(Keeper, OneKeeperPerWindowForAsLongAsTheWindowLives) {
  ASSERT_EQ(ProcessIds(L"vemo.exe").size(), 0u) << "vemo.exe already running";
  const std::string usage = ReadFileBytes(Here() + "usage.txt");
  HANDLE holders[2] = {StartWindowHolder(kTitles[kA]), StartWindowHolder(kTitles[kB])};
  ASSERT_TRUE(holders[0] && holders[1]);
  std::vector<DWORD> before;
  int n = 0;
  for (const Step& s : kSteps) {
    std::string line;
    for (const std::string& a : s.args) line += " [" + a + "]";
    SCOPED_TRACE("step " + std::to_string(++n) + ":" + (s.args.empty() ? " end a process" : line));
    if (s.args.empty() && s.title == kKeepers) {
      EndProcesses(L"vemo.exe");
    } else if (s.args.empty()) {
      TerminateProcess(holders[s.title], 0);
    } else {
      ASSERT_TRUE(SetConsoleTitleW(kTitles[s.title])) << "the test needs a console";
      // The files vemo named, and the folder it ran in, can go the moment it returns.
      std::string folder = Here() + "keeper-run\\";
      RemoveTree(folder);
      ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
      for (const char* name : {"red.ico", "green.ico", "icons.dll"}) {
        ASSERT_TRUE(CopyFileA((Here() + name).c_str(), (folder + name).c_str(), FALSE));
      }
      ASSERT_TRUE(WriteFileBytes(folder + "not-an-icon.txt", "plain text\r\n"));
      std::vector<std::vector<std::string>> commands(s.copies, s.args);
      for (int i = 0; i < s.copies; ++i) {
        std::replace(commands[i].begin(), commands[i].end(), std::string("#"),
                     std::to_string(i % 4));
      }
      for (const Outcome& o : RunVemos(commands, folder, 20000)) {
        EXPECT_TRUE(o.started && o.finished) << o.startError;
        EXPECT_EQ(o.status, s.status);
        EXPECT_EQ(o.out, s.args[0] == "/?" ? usage : "");
        EXPECT_TRUE(o.pipeClosed) << "a process kept vemo's output pipe open";
      }
      RemoveTree(folder);
      EXPECT_EQ(GetFileAttributesA(folder.c_str()), INVALID_FILE_ATTRIBUTES)
          << "the folder vemo ran in could not be removed";
    }
    std::vector<DWORD> after = Keepers(s.keepers, before, s.kept);
    EXPECT_EQ(after.size(), s.keepers);
    EXPECT_EQ(Kept(before, after), s.kept);
    // A keeper reads its order once, and lets its memory go.
    for (DWORD id : after) {
      wchar_t name[64];
      KeeperOrderName(name, id);
      HANDLE order = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
      EXPECT_EQ(order, nullptr) << "keeper " << id << " holds its order";
      if (order) CloseHandle(order);
    }
    before = after;
  }
  for (HANDLE h : holders) {
    TerminateProcess(h, 0);
    CloseHandle(h);
  }
  EndProcesses(L"vemo.exe");
}

// What a keeper of another release saw while it held a window.
struct OtherKeeper {
  bool held = false;     // it had the window's slot
  bool posted = false;   // a run of vemo posted it an order
  bool stepped = false;  // it was asked to step down
};

// Plays a keeper of another release at `window`: claims it under its lock as every release does,
// makes the hand-over's events of `protocol` (none, for the releases before the hand-over), sets
// `ready`, and holds the window until it is asked to step down, for at most 20 s.
void PlayOtherKeeper(HWND window, DWORD protocol, HANDLE ready, OtherKeeper& seen) {
  wchar_t name[64];
  WindowClaim claim = OpenClaim(window);
  HANDLE post = nullptr, done = nullptr;
  if (Acquire(claim.lock, 5000)) {
    seen.held = ClaimWindow(window, nullptr, true, claim);
    ReleaseMutex(claim.lock);
  }
  if (protocol) {
    WindowObjectName(name, window, L"post", protocol);
    post = CreateEventW(nullptr, FALSE, FALSE, name);
    WindowObjectName(name, window, L"done", protocol);
    done = CreateEventW(nullptr, FALSE, FALSE, name);
  }
  SetEvent(ready);
  HANDLE handles[2] = {claim.stop, post};
  for (DWORD since = GetTickCount();
       seen.held && !seen.stepped && GetTickCount() - since < 20000;) {
    DWORD result = WaitForMultipleObjects(post ? 2 : 1, handles, FALSE, 1000);
    seen.posted = seen.posted || result == WAIT_OBJECT_0 + 1;
    seen.stepped = result == WAIT_OBJECT_0;
  }
  if (seen.held) ReleaseMutex(claim.slot);
  CloseHandles({claim.lock, claim.slot, claim.stop, post, done});
}

// A run of vemo at a window that a keeper of another release holds never hands that keeper an
// order it may not read: it starts a keeper of its own, to which the other steps down.
TEST(Keeper, ReplacesAKeeperOfAnotherReleaseInsteadOfHandingItTheIcon) {
  EndProcesses(L"vemo.exe");
  const wchar_t title[] = L"vemo keeper C";
  HANDLE holder = StartWindowHolder(title);
  HWND window = FindWindowW(L"ConsoleWindowClass", title);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(SetConsoleTitleW(title)) << "the test needs a console";
  struct {
    const char* what;
    DWORD protocol;      // of the other keeper's hand-over, 0 for none
    bool endNewKeepers;  // the keeper vemo starts is ended before it confirms (an antivirus, say)
    std::size_t keepers;
  } cases[] = {
      {"a release before the hand-over", 0, false, 1},
      {"a later hand-over protocol", kHandOverProtocol + 1, false, 1},
      // vemo then ends the other keeper all the same: it holds no icon the window still shows.
      {"a later protocol, and the new keeper ended", kHandOverProtocol + 1, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OtherKeeper seen;
    std::thread other(PlayOtherKeeper, window, c.protocol, ready, std::ref(seen));
    ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
    std::atomic<DWORD> vemoId{0};
    JobWatch watch;
    // The keeper is ended a moment after it was made, by which time vemo has started it.
    WatchJob(watch, [&](DWORD id) {
      HANDLE h =
          c.endNewKeepers && id != vemoId ? OpenProcess(PROCESS_TERMINATE, FALSE, id) : nullptr;
      if (!h) return;
      Sleep(50);
      TerminateProcess(h, 1);
      CloseHandle(h);
    });
    Running run = StartVemo({"/ico", Here() + "red.ico"}, true, Here(), CREATE_SUSPENDED);
    vemoId = run.process.dwProcessId;
    EXPECT_TRUE(AssignProcessToJobObject(watch.job, run.process.hProcess));
    ResumeThread(run.process.hThread);
    Outcome o = FinishVemo(run, 20000);
    other.join();
    EndWatch(watch);
    EXPECT_TRUE(o.finished && o.status == 0);
    EXPECT_TRUE(seen.held && seen.stepped) << "the other keeper was not asked to step down";
    EXPECT_FALSE(seen.posted) << "the other keeper was handed an order";
    EXPECT_EQ(Keepers(c.keepers).size(), c.keepers);
    EndProcesses(L"vemo.exe");
    CloseHandle(ready);
  }
  TerminateProcess(holder, 0);
  CloseHandle(holder);
}

// A keeper whose hook on destroyed windows could not be set sees its window go all the same, though
// the window's owner (here this program) lives on.
TEST(Keeper, SeesItsWindowGoWithoutItsHook) {
  HWND window = CreateConsoleClassWindow(L"vemo keeper, no hook");
  ASSERT_NE(window, nullptr);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread keeper([&] {
    HoldWindow(window, nullptr, stop, nullptr, nullptr, nullptr);
    SetEvent(ended);
  });
  Sleep(100);
  DestroyWindow(window);
  EXPECT_EQ(WaitForSingleObject(ended, 5000), WAIT_OBJECT_0) << "the wait outlived its window";
  SetEvent(stop);
  keeper.join();
  CloseHandle(stop);
  CloseHandle(ended);
}

// Starts vemo.exe as vemo starts its keeper, with `window` and `image` as its order, in a mapping
// that holds `size` bytes of the image: STILL_ACTIVE once it confirms that it holds the window (it
// is then ended), else its exit status.
DWORD RunKeeper(HWND window, const std::vector<BYTE>& image, std::size_t size) {
  std::string here = Here();
  std::wstring exe = std::wstring(here.begin(), here.end()) + L"vemo.exe";
  wchar_t line[] = L"vemo";
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessW(exe.c_str(), line, nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | DETACHED_PROCESS, nullptr, nullptr, &si, &pi)) {
    ADD_FAILURE() << "cannot start vemo.exe: CreateProcess failed: " << GetLastError();
    return 0xDEAD;
  }
  wchar_t name[64];
  KeeperOrderName(name, pi.dwProcessId);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(sizeof(KeeperOrder) + size), name);
  HANDLE confirmed = CreateEventW(nullptr, TRUE, FALSE, nullptr), remote = nullptr;
  DuplicateHandle(GetCurrentProcess(), confirmed, pi.hProcess, &remote, EVENT_MODIFY_STATE, FALSE,
                  0);
  auto* view = static_cast<BYTE*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  KeeperOrder order = {reinterpret_cast<std::uintptr_t>(window),
                       reinterpret_cast<std::uintptr_t>(remote)};
  std::memcpy(view, &order, sizeof order);
  std::memcpy(view + sizeof order, image.data(), std::min(size, image.size()));
  UnmapViewOfFile(view);
  ResumeThread(pi.hThread);
  HANDLE either[2] = {confirmed, pi.hProcess};
  DWORD status = 0xDEAD;
  DWORD result = WaitForMultipleObjects(2, either, FALSE, 20000);
  if (result == WAIT_OBJECT_0) status = STILL_ACTIVE;
  if (result == WAIT_OBJECT_0 + 1) GetExitCodeProcess(pi.hProcess, &status);
  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, INFINITE);
  for (HANDLE h : {mapping, confirmed, pi.hProcess, pi.hThread}) CloseHandle(h);
  return status;
}

// What a keeper receives is checked: anything amiss and it ends at once, in good order. The image's
// own checks are console_icon_test's; here are the window and the mapping's size.
TEST(Keeper, EndsAtOnceOnAnOrderItCannotServe) {
  HANDLE holder = StartWindowHolder(kTitles[kA]);
  HWND console = FindWindowW(L"ConsoleWindowClass", kTitles[kA]);
  ASSERT_NE(console, nullptr);
  HWND other = CreateConsoleClassWindow(kTitles[kA], L"vemo other class");
  HWND gone = CreateConsoleClassWindow(L"gone");
  DestroyWindow(gone);
  std::vector<BYTE> red(kMaxIconImageSize);
  ASSERT_TRUE(WriteIconImage(static_cast<HICON>(LoadImageA(nullptr, (Here() + "red.ico").c_str(),
                                                           IMAGE_ICON, 0, 0, LR_LOADFROMFILE)),
                             red.data(), red.size()));
  IconImageHeader h;
  std::memcpy(&h, red.data(), sizeof h);
  struct {
    const char* what;
    HWND window;
    std::size_t size;  // of the image's bytes in the mapping
    DWORD status;      // STILL_ACTIVE: it holds the window
  } cases[] = {
      {"a console window and an icon", console, kMaxIconImageSize, STILL_ACTIVE},
      {"a window of another class", other, kMaxIconImageSize, 0},
      {"a window that is gone", gone, kMaxIconImageSize, 0},
      {"a mapping that holds half the image", console, h.bytes / 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RunKeeper(c.window, red, c.size), c.status);
  }
  DestroyWindow(other);
  TerminateProcess(holder, 0);
  CloseHandle(holder);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--window") return HoldConsoleWindow(argv[2]);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
