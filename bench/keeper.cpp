// What leaving a keeper costs an icon command: vemo.exe VEMO_ARGS run RUNS times in this console
// while a window of the console class, held by another process, bears the console's title (each run
// starts a keeper, which takes over from the last one), and RUNS times under a title that no window
// bears. Prints the medians, from process start to exit, and their ratio, and the memory of the
// keeper left at the end.
//   keeper.exe VEMO_EXE RUNS VEMO_ARGS...     (run on a console: scripts/wine PREFIX console)
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// "working set W KiB, private P KiB" of the running vemo.exe, the keeper.
std::string KeeperMemory() {
  std::string text = "no keeper running";
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof e;
  for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e)) {
    if (_wcsicmp(e.szExeFile, L"vemo.exe") != 0) continue;
    HANDLE h =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, e.th32ProcessID);
    PROCESS_MEMORY_COUNTERS_EX m = {};
    m.cb = sizeof m;
    if (h && GetProcessMemoryInfo(h, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m)) {
      text = "working set " + std::to_string(m.WorkingSetSize / 1024) + " KiB, private " +
             std::to_string(m.PrivateUsage / 1024) + " KiB";
    }
    if (h) CloseHandle(h);
  }
  CloseHandle(snapshot);
  return text;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--window") {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"ConsoleWindowClass";
    RegisterClassW(&wc);
    CreateWindowW(wc.lpszClassName, kTitle, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                  nullptr, nullptr);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0)) DispatchMessageW(&m);
    return 0;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: keeper.exe VEMO_EXE RUNS VEMO_ARGS...\n");
    return 2;
  }
  std::string line = "\"" + std::string(argv[1]) + "\"";
  for (int i = 3; i < argc; ++i) line += std::string(" ") + argv[i];
  int runs = std::atoi(argv[2]);

  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string holder = "\"" + std::string(self) + "\" --window";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION window;
  if (!CreateProcessA(nullptr, &holder[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &window)) {
    return 1;
  }
  for (int i = 0; i < 1000 && !FindWindowW(L"ConsoleWindowClass", kTitle); ++i) Sleep(10);

  std::vector<double> kept, none;
  RunMs(line);  // warm-up
  for (int i = 0; i < runs; ++i) {
    SetConsoleTitleW(kTitle);
    kept.push_back(RunMs(line));
    SetConsoleTitleW(L"vemo keeper bench, no window");
    none.push_back(RunMs(line));
  }
  std::string memory = KeeperMemory();
  // The last keeper ends with the window's process.
  TerminateProcess(window.hProcess, 0);
  std::printf("%-28s %10s %10s %7s\n", "command line", "keeper ms", "none ms", "ratio");
  std::string args = line.substr(line.find("\" ") + 2);
  std::printf("%-28s %10.1f %10.1f %7.3f\n", args.c_str(), Median(kept), Median(none),
              Median(kept) / Median(none));
  std::printf("keeper: %s\n", memory.c_str());
  return 0;
}
