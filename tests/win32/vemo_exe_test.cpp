// The real vemo.exe, run as a child process with its standard streams on files or pipes: its exit
// status and every byte it writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "\r\nVemo Tool\r\nVer 1.0 (VC++) By Tarvesin\r\n\r\n"
    "Arguments:\r\n"
    "/ico FileName       Load Icon from FileName\r\n"
    "/res FileName i     Load Icon from Resource FileName , Index i\r\n";

// The folder of this program, where the build puts vemo.exe and the fixtures.
std::string Here() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string here(path, n);
  return here.substr(0, here.find_last_of('\\') + 1);
}

std::string ReadAll(HANDLE h) {
  std::string text;
  char buffer[4096];
  DWORD n;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  return text;
}

struct Outcome {
  DWORD status = 0xFFFFFFFF;
  std::string out, err;
};

HANDLE InheritableFile(const std::string& path) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &sa,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
}

// Runs vemo.exe with `args`, quoted one by one, in this program's folder; standard output goes
// into a pipe or a file, standard error into a file.
Outcome RunVemo(const std::vector<std::string>& args, bool outToPipe) {
  std::string line = "\"" + Here() + "vemo.exe\"";
  for (const std::string& a : args) line += " \"" + a + "\"";
  Outcome o;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr;
  if (outToPipe) {
    EXPECT_TRUE(CreatePipe(&outRead, &outWrite, &sa, 0));
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  } else {
    outWrite = InheritableFile(Here() + "vemo-stdout.tmp");
  }
  HANDLE errFile = InheritableFile(Here() + "vemo-stderr.tmp");
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = outWrite;
  si.hStdError = errFile;
  PROCESS_INFORMATION pi;
  std::vector<char> cmd(line.begin(), line.end());
  cmd.push_back('\0');
  BOOL started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                nullptr, Here().c_str(), &si, &pi);
  EXPECT_TRUE(started) << line;
  if (outToPipe) {
    CloseHandle(outWrite);
    if (started) o.out = ReadAll(outRead);
    CloseHandle(outRead);
  }
  if (started) {
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0) << line;
    GetExitCodeProcess(pi.hProcess, &o.status);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
  if (!outToPipe) {
    SetFilePointer(outWrite, 0, nullptr, FILE_BEGIN);
    o.out = ReadAll(outWrite);
    CloseHandle(outWrite);
  }
  SetFilePointer(errFile, 0, nullptr, FILE_BEGIN);
  o.err = ReadAll(errFile);
  CloseHandle(errFile);
  return o;
}

struct ExeCase {
  std::vector<std::string> args;
  DWORD status;
  bool usage;
};

const ExeCase kExeCases[] = {
    {{}, 0, false},
    {{"/?"}, 0, true},
    {{"/?", "/ico", "missing.ico"}, 0, true},
    {{"/ico", "red.ico"}, 0, false},
    {{"/ico", "missing.ico"}, 1, false},
    {{"/ico", "missing folder\\with spaces.ico"}, 1, false},
    {{"/res", "icons.dll", "2"}, 0, false},
    {{"/res", "icons.dll", "99"}, 0, false},
    {{"/res", "missing.dll", "2"}, 1, false},
    {{"/ico", "vemo.exe"}, 0, false},
    {{"/ico"}, 0, false},
    {{"/ico", "missing.ico", "red.ico"}, 0, false},
    {{"/res", "missing.dll"}, 0, false},
    {{"/res", "missing.dll", "1", "2"}, 0, false},
    {{"/ICO", "missing.ico"}, 0, false},
    {{"-ico", "missing.ico"}, 0, false},
    {{"", "missing.ico"}, 0, false},
    {{"/x"}, 0, false},
    // The start-up expands no wildcards: "*.ico" is one argument, and no file has that name.
    {{"/ico", "*.ico"}, 1, false},
    {{"/res", "icon?.dll", "0"}, 1, false},
};

TEST(VemoExe, ExitsAndWritesAsEachCommandLineAsks) {
  for (const ExeCase& c : kExeCases) {
    for (bool pipe : {false, true}) {
      std::string line;
      for (const std::string& a : c.args) line += " [" + a + "]";
      SCOPED_TRACE(std::string(pipe ? "into a pipe:" : "into a file:") + line);
      Outcome o = RunVemo(c.args, pipe);
      EXPECT_EQ(o.status, c.status);
      EXPECT_EQ(o.out, c.usage ? kUsage : "");
      if (c.usage) {
        EXPECT_EQ(o.out.size(), 164u);
      }
      EXPECT_EQ(o.err, "");
    }
  }
}

}  // namespace
