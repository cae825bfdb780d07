// What leaving a keeper costs an icon command: vemo.exe VEMO_ARGS run RUNS times in this console
// while a window of the console class, held by another process, bears the console's title (each run
// starts a keeper, which takes over from the last one), and RUNS times under a title that no window
// bears, the two in turn. Prints the medians, from process start to exit, the median of the pairs'
// ratios, and the memory of the keeper left at the end.
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

double RunMs(const std::string& line) {
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

  std::vector<double> kept, none, ratios;
  RunMs(line);  // warm-up
  // Each pair runs in the other order from the last, so that neither side always goes first.
  for (int i = 0; i < runs; ++i) {
    for (int side = 0; side < 2; ++side) {
      bool keeper = (side == 0) == (i % 2 == 0);
      SetConsoleTitleW(keeper ? kTitle : L"vemo keeper bench, no window");
      (keeper ? kept : none).push_back(RunMs(line));
    }
    ratios.push_back(kept.back() / none.back());
  }
  std::string memory = ProcessMemory(L"vemo.exe");
  // The last keeper ends with the window's process.
  TerminateProcess(window, 0);
  std::printf("%-28s %10s %10s %7s\n", "command line", "keeper ms", "none ms", "ratio");
  std::string args = line.substr(line.find("\" ") + 2);
  std::printf("%-28s %10.1f %10.1f %7.3f\n", args.c_str(), Median(kept), Median(none),
              Median(ratios));
  std::printf("keeper: %s\n", memory.c_str());
  return 0;
}
