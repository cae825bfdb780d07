// What keeping an icon costs an icon command: vemo.exe VEMO_ARGS run in this console while a window
// of the console class, held by another process, bears the console's title. Each of RUNS rounds
// ends the keeper first (untimed), then times a first command, which starts a keeper; a repeated
// one right after it, which hands its icon to that keeper; and, after an untimed pause that lets
// the keeper settle, a repeated one as users meet it. In the same round, first or last in turn, it
// times what the first command cannot avoid: the command under a title that no window bears, and
// a start of vemo.exe as vemo starts a keeper (detached, suspended, then resumed) with no order, so
// that it exits at once. Prints the medians, from process start to exit, and the medians of the
// rounds' ratios: the first command's to those two together, the repeated ones' to the command
// where no window is found. Then the keeper's memory after one command, and after a hundred in one
// console.
//   keeper.exe VEMO_EXE RUNS VEMO_ARGS...     (run on a console: scripts/wine PREFIX console)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run_vemo.h"

namespace {

const wchar_t kTitle[] = L"vemo keeper bench";
const DWORD kSettleMs = 500;

// Runs `command`, or where `exe` is given, starts `exe` with `command` as a keeper is started, and
// waits for its end: the milliseconds from the start.
double RunMs(std::string command, const char* exe = nullptr) {
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  char folder[MAX_PATH] = {};
  DWORD flags = 0;
  if (exe) {
    // No standard handles, no busy cursor, the system folder; resumed once its id is known.
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_FORCEOFFFEEDBACK;
    GetSystemDirectoryA(folder, MAX_PATH);
    flags = CREATE_SUSPENDED | DETACHED_PROCESS;
  }
  PROCESS_INFORMATION pi;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessA(exe, &command[0], nullptr, nullptr, FALSE, flags, nullptr,
                      exe ? folder : nullptr, &si, &pi)) {
    std::fprintf(stderr, "cannot run %s: CreateProcess failed: %lu\n", command.c_str(),
                 GetLastError());
    std::exit(1);
  }
  if (exe) ResumeThread(pi.hThread);
  WaitForSingleObject(pi.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
}

// `line` in this console, at the window or under a title that no window bears.
double IconMs(const std::string& line, bool window) {
  SetConsoleTitleW(window ? kTitle : L"vemo keeper bench, no window");
  return RunMs(line);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Row {
  const char* what;
  const char* against;  // what the ratio is to, where there is one
  std::vector<double> ms = {}, ratios = {};
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--window") return HoldConsoleWindow(argv[2]);
  if (argc < 4) {
    std::fprintf(stderr, "usage: keeper.exe VEMO_EXE RUNS VEMO_ARGS...\n");
    return 2;
  }
  char exe[MAX_PATH];
  GetFullPathNameA(argv[1], MAX_PATH, exe, nullptr);
  std::string line = "\"" + std::string(exe) + "\"", args;
  for (int i = 3; i < argc; ++i) args += std::string(" ") + argv[i];
  line += args;
  int runs = std::atoi(argv[2]);
  HANDLE window = StartWindowHolder(kTitle);
  if (!window) return 1;

  Row none{"no window found", ""}, detached{"a detached start that exits at once", ""},
      first{"first, which starts a keeper", "the two above"},
      backToBack{"repeated, right after the first", "no window found"},
      settled{"repeated, the keeper settled", "no window found"};
  IconMs(line, true);  // warm-up
  for (int i = 0; i < runs; ++i) {
    EndProcesses(L"vemo.exe");
    for (bool floor : {i % 2 == 0, i % 2 != 0}) {
      if (floor) {
        none.ms.push_back(IconMs(line, false));
        detached.ms.push_back(RunMs("vemo", exe));
      } else {
        first.ms.push_back(IconMs(line, true));
        backToBack.ms.push_back(IconMs(line, true));
        Sleep(kSettleMs);
        settled.ms.push_back(IconMs(line, true));
      }
    }
    first.ratios.push_back(first.ms.back() / (none.ms.back() + detached.ms.back()));
    for (Row* r : {&backToBack, &settled}) r->ratios.push_back(r->ms.back() / none.ms.back());
  }
  std::printf("vemo%s, medians of %d rounds\n  %-42s %8s %7s  %s\n", args.c_str(), runs, "", "ms",
              "ratio", "to");
  for (const Row* r : {&none, &detached, &first, &backToBack, &settled}) {
    std::printf("  %-42s %8.1f", r->what, Median(r->ms));
    if (r->ratios.empty()) {
      std::printf("\n");
    } else {
      std::printf(" %7.3f  %s\n", Median(r->ratios), r->against);
    }
  }

  // The keeper's memory must not grow with the icons it is handed.
  EndProcesses(L"vemo.exe");
  IconMs(line, true);
  std::printf("keeper after 1 command:    %s\n", ProcessMemory(L"vemo.exe").c_str());
  for (int i = 1; i < 100; ++i) IconMs(line, true);
  std::printf("keeper after 100 commands: %s\n", ProcessMemory(L"vemo.exe").c_str());
  // The last keeper ends with the window's process.
  TerminateProcess(window, 0);
  return 0;
}
