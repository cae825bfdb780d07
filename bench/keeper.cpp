// What keeping an icon costs an icon command: vemo.exe VEMO_ARGS run in this console while a window
// of the console class, held by another process, bears the console's title, against the same
// command under a title that no window bears. Each of RUNS rounds ends the keeper first (untimed),
// then times a first command, which starts a keeper, a repeated one, which hands its icon to that
// keeper, and one where no window is found, that one first or last in turn. Prints the medians,
// from process start to exit, and the median of the rounds' ratios against the command where no
// window is found. Then the keeper's memory after one command, and after a hundred in one console.
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

double RunMs(const std::string& line, bool window) {
  SetConsoleTitleW(window ? kTitle : L"vemo keeper bench, no window");
  std::string command = line;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    std::fprintf(stderr, "cannot run %s\n", line.c_str());
    std::exit(1);
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--window") return HoldConsoleWindow(argv[2]);
  if (argc < 4) {
    std::fprintf(stderr, "usage: keeper.exe VEMO_EXE RUNS VEMO_ARGS...\n");
    return 2;
  }
  std::string line = "\"" + std::string(argv[1]) + "\"";
  for (int i = 3; i < argc; ++i) line += std::string(" ") + argv[i];
  int runs = std::atoi(argv[2]);
  HANDLE window = StartWindowHolder(kTitle);
  if (!window) return 1;

  std::vector<double> first, repeated, none, firstRatios, repeatedRatios;
  RunMs(line, true);  // warm-up
  for (int i = 0; i < runs; ++i) {
    EndProcesses(L"vemo.exe");
    bool noneFirst = i % 2 == 0;
    if (noneFirst) none.push_back(RunMs(line, false));
    first.push_back(RunMs(line, true));
    repeated.push_back(RunMs(line, true));
    if (!noneFirst) none.push_back(RunMs(line, false));
    firstRatios.push_back(first.back() / none.back());
    repeatedRatios.push_back(repeated.back() / none.back());
  }
  std::string args = line.substr(line.find("\" ") + 2);
  std::printf("%-36s %10s %10s %7s\n", "command line", "ms", "none ms", "ratio");
  struct {
    const char* what;
    const std::vector<double>& times;
    const std::vector<double>& ratios;
    double goal;
  } rows[] = {{", first (starts a keeper)", first, firstRatios, 2.2},
              {", repeated (the keeper)", repeated, repeatedRatios, 1.10}};
  for (const auto& r : rows) {
    double ratio = Median(r.ratios);
    std::printf("%-36s %10.1f %10.1f %7.3f  goal <= %.2f: %s\n", (args + r.what).c_str(),
                Median(r.times), Median(none), ratio, r.goal, ratio <= r.goal ? "met" : "NOT met");
  }

  // The keeper's memory must not grow with the icons it is handed.
  EndProcesses(L"vemo.exe");
  RunMs(line, true);
  std::printf("keeper after 1 command:    %s\n", ProcessMemory(L"vemo.exe").c_str());
  for (int i = 1; i < 100; ++i) RunMs(line, true);
  std::printf("keeper after 100 commands: %s\n", ProcessMemory(L"vemo.exe").c_str());
  // The last keeper ends with the window's process.
  TerminateProcess(window, 0);
  return 0;
}
