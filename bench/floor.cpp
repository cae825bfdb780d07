// The floor for vemo's run time: the platform layer's calls that each command line needs, with
// none of the front end around them.
#include <cstdio>
#include <cstdlib>

#include "console_icon/console_icon.h"

int main(int argc, char** argv) {
  ConsoleWindowHandle window = FindConsoleWindow();
  if (argc < 2) return 0;
  IconHandle icon;
  switch (argv[1][1]) {
    case '?':
      std::fputs("\nVemo Tool\nVer 1.0 (VC++) By Tarvesin\n\nArguments:\n"
                 "/ico FileName       Load Icon from FileName\n"
                 "/res FileName i     Load Icon from Resource FileName , Index i\n",
                 stdout);
      return 0;
    case 'i':
      if (!IconFileExists(argv[2])) return 1;
      icon = LoadIconFromFile(argv[2], window);
      break;
    default:
      if (!IconFileExists(argv[2])) return 1;
      icon = ExtractIconFromModule(argv[2], std::atoi(argv[3]), window);
      break;
  }
  SetWindowSmallIcon(window, icon);
  KeepWindowIcon(window, icon);
  return 0;
}
