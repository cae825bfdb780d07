// How vemo hands an icon to the keeper it starts: a mapping named after the keeper's process id,
// made before the keeper runs, that holds a KeeperOrder followed by the icon's image.
#ifndef VEMO_CONSOLE_ICON_KEEPER_H_
#define VEMO_CONSOLE_ICON_KEEPER_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "console_icon/icon_image.h"

struct KeeperOrder {
  std::uint64_t window;   // a window of the console class
  std::uint64_t confirm;  // the keeper's handle of the event it sets once it holds the window
};
constexpr std::size_t kKeeperOrderSize = sizeof(KeeperOrder) + kMaxIconImageSize;

// The name of the order for the keeper whose process id is `id`: "Local\vemo-keeper-<id in hex>".
void KeeperOrderName(wchar_t (&name)[64], DWORD id);

// True when `window` is of the classic console window's class, the only one whose icon vemo sets
// or keeps.
bool IsConsoleWindow(HWND window);

#endif  // VEMO_CONSOLE_ICON_KEEPER_H_
