#include "cli/command.h"
#include "console_icon/console_icon.h"

int main(int argc, char** argv) {
  // The copy of vemo that keeps an icon alive does only that, whatever its arguments.
  if (ServeAsIconKeeper()) return 0;
  return RunTool(argc, argv);
}
