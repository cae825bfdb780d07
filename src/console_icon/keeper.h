// What vemo and the keepers share. vemo hands a new keeper its first icon through a mapping named
// after the keeper's process id, made before the keeper runs: a KeeperOrder followed by the icon's
// image. Once a keeper holds a window, each later run of vemo at that window hands it the next icon
// through objects named after the window: a mapping that holds a HandOverOrder followed by the
// image, and two events. Fixed-width fields only, so that 32- and 64-bit builds read each other's.
#ifndef VEMO_CONSOLE_ICON_KEEPER_H_
#define VEMO_CONSOLE_ICON_KEEPER_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "console_icon/icon_image.h"

struct KeeperOrder {
  std::uint64_t window;   // a window of the console class
  std::uint64_t confirm;  // the keeper's handle of the event it sets once it holds the window
};
constexpr std::size_t kKeeperOrderSize = sizeof(KeeperOrder) + kMaxIconImageSize;

// The hand-over's layout and meaning. Its names carry this number, so that a run of vemo never
// hands an order to a keeper of a release that reads another; such a keeper is replaced instead.
constexpr DWORD kHandOverProtocol = 1;

struct HandOverOrder {
  std::uint64_t window;  // the window the icon is for; its low 32 bits are the handle
  std::uint32_t answer;  // the keeper's: 0 until it has served the order, then kHeld or kRefused
  std::uint32_t reserved;
};
constexpr std::uint32_t kHeld = 1, kRefused = 2;
constexpr std::size_t kHandOverSize = sizeof(HandOverOrder) + kMaxIconImageSize;

// The name of the order for the keeper whose process id is `id`: "Local\vemo-keeper-<id in hex>".
void KeeperOrderName(wchar_t (&name)[64], DWORD id);

// The name of `window`'s object `what`: "Local\vemo-window-<handle in hex>-<what>", and with a
// nonzero `protocol`, "-v<protocol>" after it. The claim's objects, which every release shares,
// are "lock", "slot" and "stop"; the hand-over's, "order", "post" and "done".
void WindowObjectName(wchar_t (&name)[64], HWND window, const wchar_t* what, DWORD protocol = 0);

// The objects through which runs of vemo and keepers of every release, 32- or 64-bit, agree on who
// keeps a window's icon, named after the window (whose handle is the same number in both): the
// lock orders the runs of vemo, the window's keeper owns the slot for as long as it lives, and the
// stop event asks it to step down.
struct WindowClaim {
  HANDLE lock, slot, stop;
};

// `window`'s claim, its objects made where they do not exist yet; a handle is null where its
// object cannot be had (one of a higher integrity level, say).
WindowClaim OpenClaim(HWND window);

// Asks the window's keeper, if it has one, to step down, then sends `icon` to `window`. The run of
// vemo that started the caller holds the window's lock, so the sends and the keepers follow each
// other in its order. With `keep` the caller becomes the window's keeper and owns the slot, else it
// leaves the window without one. False when the slot could not be had in time, or the send failed.
bool ClaimWindow(HWND window, HICON icon, bool keep, const WindowClaim& claim);

// Sends `icon` to `window` as its small icon; false where Windows refused the send (a hung window,
// one of a higher integrity level, one that is gone).
bool SendSmallIcon(HWND window, HICON icon);

// True once `mutex` is this thread's, within `ms`; an abandoned one is this thread's all the same.
bool Acquire(HANDLE mutex, DWORD ms);

// Closes each handle that is not null.
void CloseHandles(std::initializer_list<HANDLE> handles);

// True when `window` is of the classic console window's class, the only one whose icon vemo sets
// or keeps.
bool IsConsoleWindow(HWND window);

// The keeper's wait: holds `icon` on `window` until the window is gone or `stop` is set, and serves
// each order vemo posts meanwhile (`post`), answering through `done`. `hook` is the keeper's hook
// on destroyed windows, or null where it could not be set: the window is then looked at every
// second. Returns the icon held at the end, which the caller destroys.
HICON HoldWindow(HWND window, HICON icon, HANDLE stop, HANDLE post, HANDLE done,
                 HWINEVENTHOOK hook);

#endif  // VEMO_CONSOLE_ICON_KEEPER_H_
