// Any argument vector through RunTool against the recording fake. The input is split at NUL bytes
// into 1 to 8 strings (empty ones included); the first byte, if any, says what the existence test
// answers.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command.h"
#include "host/fake_console_icon.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "violated: %s\n", what);
    std::abort();
  }
}

// What RunTool writes to standard output, caught in a temporary file.
std::string Captured(std::FILE* file) {
  std::fflush(stdout);
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool exists = size > 0 && (data[0] & 1);
  std::vector<std::string> strings{"vemo.exe"};
  std::string current;
  for (std::size_t i = size > 0 ? 1 : 0; i < size && strings.size() < 8; ++i) {
    if (data[i] == 0) {
      strings.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (strings.size() < 8 && size > 1) strings.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& s : strings) argv.push_back(s.c_str());

  void* const window = reinterpret_cast<void*>(0x77);
  void* const fileIcon = reinterpret_cast<void*>(0x88);
  void* const moduleIcon = reinterpret_cast<void*>(0x99);
  Fake() = FakePlatform{window, exists, fileIcon, moduleIcon, {}};

  std::FILE* out = std::tmpfile();
  int saved = dup(fileno(stdout));
  std::fflush(stdout);
  dup2(fileno(out), fileno(stdout));
  int status = RunTool(static_cast<int>(argv.size()), argv.data());
  std::string written = Captured(out);
  dup2(saved, fileno(stdout));
  close(saved);
  std::fclose(out);

  const std::vector<FakeCall>& calls = Fake().calls;
  Check(!calls.empty() && calls[0] == FindCall(), "FindConsoleWindow first");
  std::size_t finds = 0;
  for (const FakeCall& c : calls) finds += c.op == "FindConsoleWindow";
  Check(finds == 1, "FindConsoleWindow exactly once");
  bool tested = calls.size() > 1 && calls[1].op == "IconFileExists";
  Check(status == ((tested && !exists) ? 1 : 0), "status 1 only for a missing file");
  if (tested && !exists) Check(calls.size() == 2, "nothing after a failed existence test");
  if (calls.size() > 2) {
    Check(calls.size() == 5 && calls[3].op == "SetWindowSmallIcon" &&
              calls[4].op == "KeepWindowIcon",
          "the load is followed by the set and the keep");
    void* loaded = calls[2].op == "LoadIconFromFile" ? fileIcon : moduleIcon;
    Check(calls[3].icon == loaded && calls[3].window == window, "the loaded icon reaches the window");
    Check(calls[4] == KeepCall(window, loaded), "the same icon is kept on the same window");
  }
  bool usage = argv.size() > 1 && std::strcmp(argv[1], "/?") == 0;
  Check(written == (usage ? kUsage : ""), "only the usage is written, and only for /?");
  return 0;
}
