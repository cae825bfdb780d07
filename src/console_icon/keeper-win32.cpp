// The keeper: a copy of vemo.exe that holds the icon vemo set for as long as the window shows it.
// An icon belongs to the process that made it, and Windows destroys it when that process ends, so
// the window would keep a dead handle a moment after vemo returns. The keeper runs detached from
// everything the caller has (no console, no inherited handle, the system folder as its current
// folder), builds its own icon from the image vemo hands over, puts it on the window and waits,
// with no timer, until the window is gone or a keeper of another release takes the window over.
// Meanwhile it takes each later run of vemo's icon at that window, so that a repeated icon command
// starts no process.
#include "console_icon/console_icon.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "console_icon/icon_image.h"
#include "console_icon/keeper.h"

namespace {

// How often a keeper without its hook on destroyed windows looks at its window.
constexpr DWORD kPollMs = 1000;

// Each destroyed window goes to the keeper's own queue, where the wait compares it with its window.
void CALLBACK OnDestroy(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD, DWORD) {
  if (object == OBJID_WINDOW && child == CHILDID_SELF) {
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, reinterpret_cast<LPARAM>(window));
  }
}

// Serves the order that vemo has left for `window`: a new icon of the keeper's own from its image,
// sent to the window, and only then `icon`, the one held before, destroyed. Answers through the
// order and `done`. Returns the icon held now; an order it cannot serve changes nothing.
HICON Serve(HWND window, HICON icon, HANDLE done) {
  wchar_t name[64];
  WindowObjectName(name, window, L"order", kHandOverProtocol);
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
  // A view of the whole order's size, which fails on a smaller mapping, bounds every read below.
  auto* view = static_cast<unsigned char*>(
      mapping ? MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kHandOverSize)
              : nullptr);
  if (view) {
    HandOverOrder order;
    std::memcpy(&order, view, sizeof order);
    bool mine = static_cast<std::uint32_t>(order.window) ==
                static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(window));
    HICON next = mine ? MakeIconFromImage(view + sizeof order, kMaxIconImageSize) : nullptr;
    std::uint32_t answer = kRefused;
    if (next && SendSmallIcon(window, next)) {
      DestroyIcon(icon);
      icon = next;
      answer = kHeld;
    } else if (next) {
      DestroyIcon(next);
    }
    std::memcpy(view + offsetof(HandOverOrder, answer), &answer, sizeof answer);
    UnmapViewOfFile(view);
  }
  CloseHandles({mapping});
  // The answer goes only once the order is let go: the next run of vemo makes a new one under the
  // same name, and would find this one still there.
  if (view) SetEvent(done);
  return icon;
}

// The keeper's run, once it holds the window through `claim`: makes the objects through which the
// next runs of vemo find it, confirms to the run that started it, and holds the window. `icon` is
// destroyed at the end.
void Keep(HWND window, HICON icon, const WindowClaim& claim, HANDLE confirm) {
  wchar_t name[64];
  WindowObjectName(name, window, L"post", kHandOverProtocol);
  HANDLE post = CreateEventW(nullptr, FALSE, FALSE, name);
  WindowObjectName(name, window, L"done", kHandOverProtocol);
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, name);
  SetEvent(confirm);
  CloseHandle(confirm);
  HWINEVENTHOOK hook =
      SetWinEventHook(EVENT_OBJECT_DESTROY, EVENT_OBJECT_DESTROY, nullptr, OnDestroy, 0, 0,
                      WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
  icon = HoldWindow(window, icon, claim.stop, post, done, hook);
  if (hook) UnhookWinEvent(hook);
  // The next run of vemo must not find a keeper that has stepped down: its objects go first.
  CloseHandles({post, done});
  ReleaseMutex(claim.slot);
  DestroyIcon(icon);
}

}  // namespace

// The console host registers the console's first client (cmd.exe, say) as the window's owner and
// moves it on when that client exits, so the wait is for the window itself: the hook on destroyed
// windows, and the owner's end as a second signal, which is the one that works under Wine.
// Attaching to the console would keep it open.
HICON HoldWindow(HWND window, HICON icon, HANDLE stop, HANDLE post, HANDLE done,
                 HWINEVENTHOOK hook) {
  DWORD ownerId = 0;
  HANDLE owner = nullptr;
  for (bool gone = false; !gone && IsWindow(window);) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    // An owner that has ended but is still named is not waited on again: the hook, or without it
    // the next look, sees the rest.
    if (id != ownerId) {
      CloseHandles({owner});
      ownerId = id;
      owner = OpenProcess(SYNCHRONIZE, FALSE, id);
    }
    HANDLE handles[3] = {stop};
    DWORD count = 1;
    if (post) handles[count++] = post;
    if (owner) handles[count++] = owner;
    DWORD result =
        MsgWaitForMultipleObjects(count, handles, FALSE, hook ? INFINITE : kPollMs, QS_ALLINPUT);
    if (result == WAIT_OBJECT_0 || result == WAIT_FAILED) break;
    HANDLE woke = result < WAIT_OBJECT_0 + count ? handles[result - WAIT_OBJECT_0] : nullptr;
    if (woke && woke == post) icon = Serve(window, icon, done);
    if (woke && woke == owner) {
      CloseHandle(owner);
      owner = nullptr;
    }
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      gone =
          gone || (message.message == WM_APP && message.lParam == reinterpret_cast<LPARAM>(window));
    }
  }
  CloseHandles({owner});
  return icon;
}

bool ServeAsIconKeeper() {
  wchar_t name[64];
  KeeperOrderName(name, GetCurrentProcessId());
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
  if (!mapping) return false;
  // The order is read once, and its memory let go before the long wait. A view of the whole
  // order's size, which fails on a smaller mapping, bounds every read.
  KeeperOrder order = {};
  HICON icon = nullptr;
  if (const auto* view = static_cast<const unsigned char*>(
          MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kKeeperOrderSize))) {
    std::memcpy(&order, view, sizeof order);
    icon = MakeIconFromImage(view + sizeof order, kMaxIconImageSize);
    UnmapViewOfFile(view);
  }
  CloseHandle(mapping);
  HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(order.window));
  HANDLE confirm = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(order.confirm));
  // Anything amiss in the order, and the keeper ends before it has touched anything.
  if (icon && IsConsoleWindow(window)) {
    WindowClaim claim = OpenClaim(window);
    if (ClaimWindow(window, icon, true, claim)) {
      Keep(window, icon, claim, confirm);
      icon = nullptr;
    }
    CloseHandles({claim.lock, claim.slot, claim.stop});
  }
  if (icon) DestroyIcon(icon);
  return true;
}
