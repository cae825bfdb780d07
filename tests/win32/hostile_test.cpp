// The real vemo.exe on hostile files and paths, in a folder of the test's own: each run must end in
// time with the status the command line calls for, and leave every file in the folder as it was.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "run_vemo.h"

namespace {

// Every file and folder below `dir`, with its size, time of last change and bytes.
void Snapshot(const std::string& dir, std::map<std::string, std::string>& tree) {
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "*").c_str(), &d);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = d.cFileName;
    if (name == "." || name == "..") continue;
    std::string path = dir + name;
    std::string entry = std::to_string(d.nFileSizeLow) + ":" +
                        std::to_string(d.ftLastWriteTime.dwLowDateTime) + ":" +
                        std::to_string(d.ftLastWriteTime.dwHighDateTime);
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      tree[path + "\\"] = entry;
      Snapshot(path + "\\", tree);
    } else {
      tree[path] = entry + ":" + ReadFileBytes(path);
    }
  } while (FindNextFileA(h, &d));
  FindClose(h);
}

// The test's folder, made afresh with the hostile files in it.
std::string Folder() { return Here() + "hostile\\"; }

// A folder path padded with nested folders, so that `Folder() + Padded(n) + "x.ico"` can be made
// just `n` characters long.
std::string Padding(std::size_t total, const std::string& name) {
  std::size_t fixed = Folder().size() + name.size();
  std::string pad;
  while (fixed + pad.size() + 101 < total) pad += std::string(100, 'p') + "\\";
  std::size_t rest = total - fixed - pad.size();
  if (rest > 1) pad += std::string(rest - 1, 'q') + "\\";
  return pad;
}

// Names in UTF-8, this program's ANSI code page as it is vemo's: accented Latin, which the ANSI
// code pages of Western Windows hold, and Cyrillic and CJK, which reach a program that lacks UTF-8
// as "?" characters.
const std::string kAccented = "r\xC3\xA9" "d", kCyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2",
                  kCjk = "\xE5\x9B\xBE\xE6\xA0\x87";

void MakeFolder() {
  ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8)) << "vemo's manifest sets UTF-8";
  RemoveTree(Folder());
  ASSERT_TRUE(CreateDirectoryA(Folder().c_str(), nullptr));
  std::string red = ReadFileBytes(Here() + "red.ico");
  ASSERT_EQ(red.size(), 1150u);
  ASSERT_TRUE(WriteFileBytes(Folder() + "red.ico", red));
  ASSERT_TRUE(WriteFileBytes(Folder() + "truncated.ico", red.substr(0, 100)));
  ASSERT_TRUE(WriteFileBytes(Folder() + "header-only.ico", red.substr(0, 22)));
  // The directory claims 200 images of 256x256, with more bytes at offsets past the file's end.
  std::string liar = red;
  liar[4] = static_cast<char>(200);
  liar[6] = liar[7] = 0;
  liar[14] = liar[15] = liar[16] = liar[17] = '\x7F';
  ASSERT_TRUE(WriteFileBytes(Folder() + "claims-more.ico", liar));
  std::string pastEnd = red;
  pastEnd[18] = pastEnd[19] = pastEnd[20] = '\xFF';
  ASSERT_TRUE(WriteFileBytes(Folder() + "offset-past-end.ico", pastEnd));
  ASSERT_TRUE(WriteFileBytes(Folder() + "zero.ico", ""));
  ASSERT_TRUE(CreateDirectoryA((Folder() + "folder.ico").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(Folder() + "no-icons.dll", ReadFileBytes(Here() + "vemo.exe")));
  ASSERT_TRUE(WriteFileBytes(Folder() + "marker.dll", ReadFileBytes(Here() + "marker.dll")));
  ASSERT_TRUE(CreateDirectoryA((Folder() + "with spaces").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(Folder() + "with spaces\\red icon.ico", red));
  ASSERT_TRUE(WriteFileBytes(Folder() + kAccented + ".ico", red));
  ASSERT_TRUE(WriteFileBytes(Folder() + kCyrillic + ".ico", red));
  ASSERT_TRUE(WriteFileBytes(Folder() + kCjk + ".dll", ReadFileBytes(Here() + "icons.dll")));
  std::string pad = Padding(259, "x.ico");
  std::string dir = Folder();
  for (std::size_t i = 0; i < pad.size(); i = pad.find('\\', i) + 1) {
    dir += pad.substr(i, pad.find('\\', i) + 1 - i);
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr)) << dir.size();
  }
  ASSERT_TRUE(WriteFileBytes(Folder() + pad + "x.ico", red));
}

struct HostileCase {
  std::vector<std::string> args;  // "@" stands for the test's folder
  DWORD status;
};

std::vector<HostileCase> Cases() {
  std::string pad259 = Padding(259, "x.ico");
  return {
      {{"/ico", "@truncated.ico"}, 0},
      {{"/ico", "@header-only.ico"}, 0},
      {{"/ico", "@claims-more.ico"}, 0},
      {{"/ico", "@offset-past-end.ico"}, 0},
      {{"/ico", "@zero.ico"}, 0},
      {{"/ico", "@folder.ico"}, 0},
      {{"/res", "@truncated.ico", "0"}, 0},
      {{"/res", "@claims-more.ico", "0"}, 0},
      {{"/res", "@zero.ico", "0"}, 0},
      {{"/res", "@folder.ico", "0"}, 0},
      {{"/res", "@no-icons.dll", "0"}, 0},
      {{"/res", "@no-icons.dll", "-1"}, 0},
      {{"/res", "@marker.dll", "0"}, 0},
      {{"/res", "@marker.dll", "-1"}, 0},
      {{"/res", "@marker.dll", "2147483647"}, 0},
      {{"/res", "@marker.dll", "-2147483648"}, 0},
      {{"/res", "@marker.dll", "99999999999"}, 0},
      {{"/ico", "@marker.dll"}, 0},
      {{"/ico", "@with spaces\\red icon.ico"}, 0},
      {{"/ico", "@with spaces\\missing icon.ico"}, 1},
      {{"/ico", "@" + kAccented + ".ico"}, 0},
      {{"/ico", "@" + kAccented + "x.ico"}, 1},
      {{"/ico", "@" + kCyrillic + ".ico"}, 0},
      {{"/ico", "@" + kCyrillic + "x.ico"}, 1},
      {{"/res", "@" + kCjk + ".dll", "1"}, 0},
      {{"/res", "@" + kCjk + "x.dll", "1"}, 1},
      {{"/ico", "@" + pad259 + "x.ico"}, 0},
      {{"/ico", "@" + Padding(260, "x.ico") + "x.ico"}, 1},
      {{"/ico", "@" + Padding(261, "x.ico") + "x.ico"}, 1},
      {{"/res", "@" + Padding(1200, "x.dll") + "x.dll", "0"}, 1},
      {{"/ico", "@" + std::string(1200, 'n') + ".ico"}, 1},
  };
}

TEST(Hostile, TheMarkerModuleWouldShowARunEntryPoint) {
  // The check below means something only if loading the module as code does leave the marker.
  std::string dir = Here() + "marker-check\\";
  RemoveTree(dir);
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
  char before[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, before);
  SetCurrentDirectoryA(dir.c_str());
  HMODULE m = LoadLibraryA((Here() + "marker.dll").c_str());
  SetCurrentDirectoryA(before);
  ASSERT_NE(m, nullptr);
  FreeLibrary(m);
  EXPECT_NE(GetFileAttributesA((dir + "marker.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  RemoveTree(dir);
}

TEST(Hostile, EndsInTimeWithTheRightStatusAndChangesNoFile) {
  MakeFolder();
  for (const HostileCase& c : Cases()) {
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(a[0] == '@' ? Folder() + a.substr(1) : a);
    std::string line;
    for (const std::string& a : args) line += " [" + a + "]";
    SCOPED_TRACE("command line:" + line);
    std::map<std::string, std::string> before, after;
    Snapshot(Folder(), before);
    // Run in the test's folder, on this console, so a marker or any other file would land there.
    Outcome o = RunVemo(args, true, Folder(), 0, 20000);
    Snapshot(Folder(), after);
    ASSERT_TRUE(o.started) << o.startError;
    EXPECT_TRUE(o.finished) << "hung";
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(before == after) << "files changed";
  }
}

// A window cannot bear a title this long (CreateWindowA refuses it), so this shows only that the
// longest console title is read without harm.
TEST(Hostile, LongestConsoleTitle) {
  ASSERT_TRUE(SetConsoleTitleA(std::string(65535, 'L').c_str())) << "the test needs a console";
  Outcome o = RunVemo({"/ico", Here() + "red.ico"}, true, Here(), 0, 20000);
  EXPECT_TRUE(o.finished);
  EXPECT_EQ(o.status, 0u);
  o = RunVemo({"/ico", Here() + "missing.ico"}, true, Here(), 0, 20000);
  EXPECT_EQ(o.status, 1u);
}

}  // namespace
