// Helpers of the Windows tests (and of the keeper bench): where the build put the fixtures,
// stand-in console windows and the processes that hold them, processes and icons seen from outside,
// and a run of the real vemo.exe as a child process.
#ifndef VEMO_TESTS_WIN32_RUN_VEMO_H_
#define VEMO_TESTS_WIN32_RUN_VEMO_H_

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// The folder of this program, where the build puts vemo.exe and the fixtures, with a trailing
// backslash.
inline std::string Here() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string here(path, n);
  return here.substr(0, here.find_last_of('\\') + 1);
}

// A top-level window of the console window class (or of `className`) bearing `title`, in this
// process; null if it cannot be made.
inline HWND CreateConsoleClassWindow(const std::wstring& title,
                                     const wchar_t* className = L"ConsoleWindowClass") {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = className;
  RegisterClassW(&wc);  // fails harmlessly once the class exists
  return CreateWindowW(className, title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                       nullptr, wc.hInstance, nullptr);
}

// What this program does when started with --window TITLE (ASCII): hold a console-class window
// bearing TITLE until it is ended.
inline int HoldConsoleWindow(const char* title) {
  CreateConsoleClassWindow(std::wstring(title, title + strlen(title)));
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0)) DispatchMessageW(&m);
  return 0;
}

// Starts this program with --window `title` (ASCII) and waits for its window; the process, or null.
inline HANDLE StartWindowHolder(const std::wstring& title) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string line =
      "\"" + std::string(self) + "\" --window \"" + std::string(title.begin(), title.end()) + "\"";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return nullptr;
  }
  CloseHandle(pi.hThread);
  for (int i = 0; i < 1000 && !FindWindowW(L"ConsoleWindowClass", title.c_str()); ++i) Sleep(10);
  return pi.hProcess;
}

// The ids of the running processes whose exe is named `exe`, this one included.
inline std::vector<DWORD> ProcessIds(const wchar_t* exe) {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof e;
  for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e)) {
    if (_wcsicmp(e.szExeFile, exe) == 0) ids.push_back(e.th32ProcessID);
  }
  CloseHandle(snapshot);
  return ids;
}

// How many of the processes `before` are among those `after`.
inline std::size_t Kept(const std::vector<DWORD>& before, const std::vector<DWORD>& after) {
  std::size_t kept = 0;
  for (DWORD id : before) kept += std::find(after.begin(), after.end(), id) != after.end();
  return kept;
}

// Ends every running process whose exe is named `exe`, and waits until each is gone, with the
// objects it held.
inline void EndProcesses(const wchar_t* exe) {
  for (DWORD id : ProcessIds(exe)) {
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    TerminateProcess(h, 0);
    WaitForSingleObject(h, 5000);
    CloseHandle(h);
  }
}

// The path of the program that process `id` runs; empty when it cannot be read.
inline std::wstring ImageOf(DWORD id) {
  wchar_t path[MAX_PATH] = {};
  DWORD n = MAX_PATH;
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (h && !QueryFullProcessImageNameW(h, 0, path, &n)) path[0] = L'\0';
  if (h) CloseHandle(h);
  return path;
}

// A job whose processes a thread of this program sees join it: `joined` is called there with each
// one's id as it joins, made inside the job (suspended or not) or assigned to it.
struct JobWatch {
  HANDLE job = nullptr, port = nullptr;
  std::thread thread;
};

inline void WatchJob(JobWatch& w, std::function<void(DWORD)> joined) {
  w.job = CreateJobObjectW(nullptr, nullptr);
  w.port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  // The job's messages come with the key 1; the one that ends the watch with 0.
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT link = {reinterpret_cast<void*>(1), w.port};
  SetInformationJobObject(w.job, JobObjectAssociateCompletionPortInformation, &link, sizeof link);
  w.thread = std::thread([port = w.port, joined] {
    DWORD message;
    ULONG_PTR key;
    LPOVERLAPPED data;
    while (GetQueuedCompletionStatus(port, &message, &key, &data, INFINITE) && key == 1) {
      if (message == JOB_OBJECT_MSG_NEW_PROCESS) {
        joined(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(data)));
      }
    }
  });
}

// Ends the watch once the messages so far are seen; the job stays as it is until it is closed.
inline void EndWatch(JobWatch& w) {
  PostQueuedCompletionStatus(w.port, 0, 0, nullptr);
  w.thread.join();
  CloseHandle(w.port);
  CloseHandle(w.job);
}

// "N running, working set W KiB, private P KiB, H handles, G GDI and U USER objects, ..." for the
// processes whose exe is named `exe`.
inline std::string ProcessMemory(const wchar_t* exe) {
  std::vector<DWORD> ids = ProcessIds(exe);
  std::string text = std::to_string(ids.size()) + " running";
  for (DWORD id : ids) {
    // Not PROCESS_QUERY_LIMITED_INFORMATION, which NT 5.2 does not know.
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
    PROCESS_MEMORY_COUNTERS_EX m = {};
    m.cb = sizeof m;
    if (h && GetProcessMemoryInfo(h, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m)) {
      text += ", working set " + std::to_string(m.WorkingSetSize / 1024) + " KiB, private " +
              std::to_string(m.PrivateUsage / 1024) + " KiB";
    }
    DWORD handles = 0;
    if (h && GetProcessHandleCount(h, &handles)) {
      text += ", " + std::to_string(handles) + " handles, " +
              std::to_string(GetGuiResources(h, GR_GDIOBJECTS)) + " GDI and " +
              std::to_string(GetGuiResources(h, GR_USEROBJECTS)) + " USER objects";
    }
    if (h) CloseHandle(h);
  }
  return text;
}

// The colour at the centre of an icon's image, or CLR_INVALID when `icon` is no colour icon. Icons
// are shared in a session: on Windows this reads another process's icon as well as its own.
inline COLORREF CentreColour(HICON icon) {
  ICONINFO info;
  if (!icon || !GetIconInfo(icon, &info)) return CLR_INVALID;
  BITMAP bm = {};
  if (!info.hbmColor) {
    DeleteObject(info.hbmMask);
    return CLR_INVALID;
  }
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
  std::uint32_t bgra =
      pixels[static_cast<std::size_t>(bm.bmHeight / 2) * bm.bmWidth + bm.bmWidth / 2];
  return RGB((bgra >> 16) & 0xFF, (bgra >> 8) & 0xFF, bgra & 0xFF);
}

inline std::string ReadAll(HANDLE h) {
  std::string text;
  char buffer[4096];
  DWORD n;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  return text;
}

// The whole file at `path`; empty when it cannot be read.
inline std::string ReadFileBytes(const std::string& path) {
  HANDLE f =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return std::string();
  std::string bytes = ReadAll(f);
  CloseHandle(f);
  return bytes;
}

// Replaces the file at `path` with `bytes`; false when it cannot be written.
inline bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  HANDLE f =
      CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);
  return written == bytes.size();
}

// Removes the folder `dir` (ending in a backslash) with everything in it.
inline void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "*").c_str(), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string name = d.cFileName;
      if (name == "." || name == "..") continue;
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(dir + name + "\\");
      else
        DeleteFileA((dir + name).c_str());
    } while (FindNextFileA(h, &d));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

struct Outcome {
  bool started = false;
  std::string startError;  // where it did not start: "CreateProcess failed: <Win32 error>"
  bool finished = false;   // within the time allowed
  DWORD status = 0xFFFFFFFF;
  std::string out, err;
  bool pipeClosed = false;  // standard output went into a pipe that no process held after the exit
};

// Reads what `pipe` holds without waiting for more; true when no process holds its writing end.
inline bool DrainPipe(HANDLE pipe, std::string& text) {
  char buffer[4096];
  DWORD available, n;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
    if (available == 0) return false;
    if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &n,
                  nullptr)) {
      break;
    }
    text.append(buffer, n);
  }
  return GetLastError() == ERROR_BROKEN_PIPE;
}

// A new file that child processes can inherit, gone once closed; its name is this process's own.
inline HANDLE InheritableTempFile(const std::string& what) {
  static int made = 0;
  std::string path = Here() + "vemo-" + what + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                     std::to_string(++made) + ".tmp";
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &sa,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

// A run of vemo under way: its process, and this program's ends of its output.
struct Running {
  bool started = false;
  std::string startError;
  PROCESS_INFORMATION process = {};
  HANDLE out = nullptr;  // the pipe's reading end, or the file
  HANDLE err = nullptr;  // the file
  bool outToPipe = false;
};

// Starts `exe` (by default the vemo.exe beside this program) with `args`, each quoted, in the
// folder `cwd`; standard output goes into a pipe or a file, standard error into a file.
inline Running StartVemo(const std::vector<std::string>& args, bool outToPipe,
                         const std::string& cwd, DWORD creationFlags,
                         const std::string& exe = Here() + "vemo.exe") {
  std::string line = "\"" + exe + "\"";
  for (const std::string& a : args) line += " \"" + a + "\"";
  Running r;
  r.outToPipe = outToPipe;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE outWrite = nullptr;
  if (outToPipe) {
    CreatePipe(&r.out, &outWrite, &sa, 0);
    SetHandleInformation(r.out, HANDLE_FLAG_INHERIT, 0);
  } else {
    r.out = outWrite = InheritableTempFile("stdout");
  }
  r.err = InheritableTempFile("stderr");
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = outWrite;
  si.hStdError = r.err;
  std::vector<char> cmd(line.begin(), line.end());
  cmd.push_back('\0');
  r.started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, creationFlags, nullptr,
                             cwd.c_str(), &si, &r.process) != FALSE;
  if (!r.started) r.startError = "CreateProcess failed: " + std::to_string(GetLastError());
  // The usage is far smaller than the pipe's buffer, so reading after the exit cannot block the
  // child; the pipe is read without waiting, so that a process that kept it open cannot block the
  // test.
  if (outToPipe) CloseHandle(outWrite);
  return r;
}

// Waits for the run to end, for at most `timeoutMs` from now, and collects its outcome. A run that
// outlives it is ended and reported as unfinished.
inline Outcome FinishVemo(Running& r, DWORD timeoutMs) {
  Outcome o;
  o.started = r.started;
  o.startError = r.startError;
  if (r.started) {
    o.finished = WaitForSingleObject(r.process.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!o.finished) TerminateProcess(r.process.hProcess, 0xDEAD);
    WaitForSingleObject(r.process.hProcess, INFINITE);
    GetExitCodeProcess(r.process.hProcess, &o.status);
    CloseHandle(r.process.hProcess);
    CloseHandle(r.process.hThread);
  }
  if (r.outToPipe) {
    if (r.started) o.pipeClosed = DrainPipe(r.out, o.out);
  } else {
    SetFilePointer(r.out, 0, nullptr, FILE_BEGIN);
    o.out = ReadAll(r.out);
  }
  CloseHandle(r.out);
  SetFilePointer(r.err, 0, nullptr, FILE_BEGIN);
  o.err = ReadAll(r.err);
  CloseHandle(r.err);
  return o;
}

inline Outcome RunVemo(const std::vector<std::string>& args, bool outToPipe, const std::string& cwd,
                       DWORD creationFlags, DWORD timeoutMs = 30000,
                       const std::string& exe = Here() + "vemo.exe") {
  Running r = StartVemo(args, outToPipe, cwd, creationFlags, exe);
  return FinishVemo(r, timeoutMs);
}

// Starts the commands all at once, then collects their outcomes, each within `timeoutMs`.
inline std::vector<Outcome> RunVemos(const std::vector<std::vector<std::string>>& commands,
                                     const std::string& cwd, DWORD timeoutMs,
                                     const std::string& exe = Here() + "vemo.exe") {
  std::vector<Running> running;
  for (const auto& args : commands) running.push_back(StartVemo(args, true, cwd, 0, exe));
  std::vector<Outcome> outcomes;
  for (Running& r : running) outcomes.push_back(FinishVemo(r, timeoutMs));
  return outcomes;
}

#endif  // VEMO_TESTS_WIN32_RUN_VEMO_H_
