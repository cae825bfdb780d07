// How often a start of a Windows program fails under Wine: starts PROGRAM, which must exit at once
// with status 0, RUNS times one after the other, and prints how many starts failed, by their error.
//   starts.exe RUNS PROGRAM
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: starts.exe RUNS PROGRAM\n");
    return 2;
  }
  int runs = std::atoi(argv[1]), failed = 0;
  std::map<std::string, int> errors;
  const std::string line = "\"" + std::string(argv[2]) + "\"";
  for (int i = 0; i < runs; ++i) {
    std::string command = line;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    DWORD status = 0;
    std::string error;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
      error = "CreateProcess failed: " + std::to_string(GetLastError());
    } else {
      WaitForSingleObject(pi.hProcess, INFINITE);
      GetExitCodeProcess(pi.hProcess, &status);
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
      if (status != 0) error = "exit status " + std::to_string(status);
    }
    if (!error.empty()) ++failed, ++errors[error];
  }
  std::printf("%d starts of %s, %d failed\n", runs, argv[2], failed);
  for (const auto& e : errors) std::printf("  %s: %d\n", e.first.c_str(), e.second);
  return failed ? 1 : 0;
}
