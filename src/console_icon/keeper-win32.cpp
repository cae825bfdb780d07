// The keeper: a copy of vemo.exe that holds the icon vemo set for as long as the window shows it.
// An icon belongs to the process that made it, and Windows destroys it when that process ends, so
// the window would keep a dead handle a moment after vemo returns. The keeper runs detached from
// everything the caller has (no console, no inherited handle, the system folder as its current
// folder), builds its own icon from the image vemo hands over, puts it on the window and waits,
// with no timer, until the window is gone or a keeper of another release takes the window over.
// Meanwhile each later run of vemo at that window hands it the next icon, so that a repeated icon
// command starts no process.
#include "console_icon/console_icon.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "console_icon/icon_image.h"
#include "console_icon/keeper.h"

namespace {

// How long vemo waits for the runs of vemo ahead of it at the same window (a burst of them started
// at once, say); how long for a keeper's answer, to a hand-over or at its start; how long a claim
// waits for the window's keeper to step down; how long a send may take; how often a keeper without
// its hook looks at its window.
constexpr DWORD kLockMs = 5000, kConfirmMs = 2000, kStepDownMs = 1500, kPollMs = 1000;
constexpr UINT kSendMs = 500;

// Appends `number` in `base`, with at least `width` digits, to `name`, which holds `n` characters,
// as far as its 63 go.
void AppendNumber(wchar_t (&name)[64], std::size_t& n, DWORD number, DWORD base, int width) {
  wchar_t digits[16];
  int count = 0;
  do {
    digits[count++] = L"0123456789abcdef"[number % base];
    number /= base;
  } while (number || count < width);
  while (count > 0 && n < 63) name[n++] = digits[--count];
  name[n] = L'\0';
}

void Append(wchar_t (&name)[64], std::size_t& n, const wchar_t* text) {
  for (; *text && n < 63; ++text) name[n++] = *text;
  name[n] = L'\0';
}

// The objects through which runs of vemo and keepers of every release, 32- or 64-bit, agree on who
// keeps a window's icon, named after the window (whose handle is the same number in both): the
// lock orders the runs of vemo, the window's keeper owns the slot for as long as it lives, and the
// stop event asks it to step down.
struct WindowClaim {
  HANDLE lock, slot, stop;
};

WindowClaim OpenClaim(HWND window) {
  wchar_t name[64];
  WindowClaim claim;
  WindowObjectName(name, window, L"lock");
  claim.lock = CreateMutexW(nullptr, FALSE, name);
  WindowObjectName(name, window, L"slot");
  claim.slot = CreateMutexW(nullptr, FALSE, name);
  WindowObjectName(name, window, L"stop");
  claim.stop = CreateEventW(nullptr, TRUE, FALSE, name);
  return claim;
}

void CloseHandles(std::initializer_list<HANDLE> handles) {
  for (HANDLE h : handles) {
    if (h) CloseHandle(h);
  }
}

bool Acquire(HANDLE mutex, DWORD ms) {
  DWORD result = WaitForSingleObject(mutex, ms);
  // Abandoned: its owner was killed, and the mutex is ours all the same.
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

bool SendSmallIcon(HWND window, HICON icon) {
  DWORD_PTR previous;
  SetLastError(ERROR_SUCCESS);
  if (SendMessageTimeoutW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon),
                          SMTO_ABORTIFHUNG, kSendMs, &previous)) {
    return true;
  }
  // Windows gives every failed send a reason: a timeout or a hung window, a window of a higher
  // integrity level (access denied), a window that is gone. Wine refuses WM_SETICON between
  // processes without one; there the keeper carries on as it would on Windows.
  return GetLastError() == ERROR_SUCCESS;
}

// Asks the window's keeper, if it has one, to step down, then sends `icon` to `window`. The run of
// vemo that started the caller holds the window's lock, so the sends and the keepers follow each
// other in its order. With `keep` the caller becomes the window's keeper and owns the slot, else it
// leaves the window without one. False when the slot could not be had in time, or the send failed.
bool ClaimWindow(HWND window, HICON icon, bool keep, const WindowClaim& claim) {
  if (!claim.slot || !claim.stop) return false;
  SetEvent(claim.stop);
  if (!Acquire(claim.slot, kStepDownMs)) return false;
  ResetEvent(claim.stop);
  bool sent = SendSmallIcon(window, icon);
  if (!keep || !sent) ReleaseMutex(claim.slot);
  return sent;
}

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
    SetEvent(done);
  }
  CloseHandles({mapping});
  return icon;
}

// Hands `icon` to the keeper of this hand-over protocol that holds `window`, and waits for its
// answer for at most kConfirmMs. The caller holds the window's lock. False when the window has no
// such keeper (none, one of another release, or one whose objects this process may not open), or
// it did not take the icon in time.
bool HandOver(HWND window, HICON icon) {
  wchar_t name[64];
  WindowObjectName(name, window, L"post", kHandOverProtocol);
  HANDLE post = icon ? OpenEventW(EVENT_MODIFY_STATE, FALSE, name) : nullptr;
  if (!post) return false;
  WindowObjectName(name, window, L"done", kHandOverProtocol);
  HANDLE done = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name);
  WindowObjectName(name, window, L"order", kHandOverProtocol);
  // A new order of its own: one left by a run that gave up, or made by another program, is not
  // used. Wine leaves the last error as it was when it makes a new object.
  SetLastError(ERROR_SUCCESS);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(kHandOverSize), name);
  bool fresh = mapping && GetLastError() != ERROR_ALREADY_EXISTS;
  auto* view = static_cast<unsigned char*>(fresh ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)
                                                 : nullptr);
  std::uint32_t answer = 0;
  if (view && done && WriteIconImage(icon, view + sizeof(HandOverOrder), kMaxIconImageSize)) {
    HandOverOrder order = {reinterpret_cast<std::uintptr_t>(window), 0, 0};
    std::memcpy(view, &order, sizeof order);
    // A signal left over from an order that was answered too late is not this one's answer.
    ResetEvent(done);
    SetEvent(post);
    const volatile std::uint32_t* reply =
        reinterpret_cast<std::uint32_t*>(view + offsetof(HandOverOrder, answer));
    for (DWORD since = GetTickCount(), waited = 0; answer == 0 && waited < kConfirmMs;
         waited = GetTickCount() - since) {
      WaitForSingleObject(done, kConfirmMs - waited);
      answer = *reply;
    }
  }
  if (view) UnmapViewOfFile(view);
  CloseHandles({post, done, mapping});
  return answer == kHeld;
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

// Hands `icon` to a new keeper of `window` and waits until it holds the window, for at most
// kConfirmMs. The caller holds the window's lock. False when no keeper holds the window: this
// program is not vemo.exe, the icon is unusable, the job the caller runs in forbids child
// processes, or the keeper did not confirm in time, and was then ended.
bool StartKeeper(HWND window, HICON icon) {
  // Only vemo.exe, which carries this resource, serves as a keeper when started as one; any other
  // program that links this layer would start a copy of itself doing something else.
  if (!icon || !FindResourceW(nullptr, L"VEMO_KEEPER", MAKEINTRESOURCEW(10))) return false;
  wchar_t exe[32768], folder[MAX_PATH];
  DWORD exeLength = GetModuleFileNameW(nullptr, exe, 32768);
  UINT folderLength = GetSystemDirectoryW(folder, MAX_PATH);
  if (exeLength == 0 || exeLength >= 32768 || folderLength == 0 || folderLength >= MAX_PATH) {
    return false;
  }
  // Null standard handles, set so explicitly: a caller that reads vemo's output through a pipe sees
  // it close when vemo exits. No busy cursor while the keeper starts.
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_FORCEOFFFEEDBACK;
  wchar_t commandLine[] = L"vemo";
  PROCESS_INFORMATION keeper;
  // Suspended, so that its order is in place under its process id before it looks for one.
  if (!CreateProcessW(exe, commandLine, nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | DETACHED_PROCESS, nullptr, folder, &startup, &keeper)) {
    return false;
  }
  wchar_t name[64];
  KeeperOrderName(name, keeper.dwProcessId);
  // Any program of the user could have made an object of that name first: only vemo's own is
  // handed over.
  SetLastError(ERROR_SUCCESS);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(kKeeperOrderSize), name);
  bool fresh = mapping && GetLastError() != ERROR_ALREADY_EXISTS;
  auto* view = static_cast<unsigned char*>(fresh ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)
                                                 : nullptr);
  HANDLE confirmed = CreateEventW(nullptr, TRUE, FALSE, nullptr), remote = nullptr;
  bool ready = view && confirmed &&
               WriteIconImage(icon, view + sizeof(KeeperOrder), kMaxIconImageSize) &&
               DuplicateHandle(GetCurrentProcess(), confirmed, keeper.hProcess, &remote,
                               EVENT_MODIFY_STATE, FALSE, 0);
  if (ready) {
    KeeperOrder order = {reinterpret_cast<std::uintptr_t>(window),
                         reinterpret_cast<std::uintptr_t>(remote)};
    std::memcpy(view, &order, sizeof order);
  }
  if (view) UnmapViewOfFile(view);
  bool held = false;
  if (ready) {
    ResumeThread(keeper.hThread);
    // A keeper that cannot take the window ends at once, and the wait with it.
    HANDLE either[2] = {confirmed, keeper.hProcess};
    held = WaitForMultipleObjects(2, either, FALSE, kConfirmMs) == WAIT_OBJECT_0;
  }
  // One that has not confirmed by now must not take the window later, out of the lock's order.
  if (!held) TerminateProcess(keeper.hProcess, 1);
  CloseHandles({mapping, confirmed, keeper.hProcess, keeper.hThread});
  return held;
}

}  // namespace

void KeeperOrderName(wchar_t (&name)[64], DWORD id) {
  std::size_t n = 0;
  Append(name, n, L"Local\\vemo-keeper-");
  AppendNumber(name, n, id, 16, 8);
}

// Local names are per logon session, as windows are.
void WindowObjectName(wchar_t (&name)[64], HWND window, const wchar_t* what, DWORD protocol) {
  std::size_t n = 0;
  Append(name, n, L"Local\\vemo-window-");
  AppendNumber(name, n, static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(window)), 16, 8);
  Append(name, n, L"-");
  Append(name, n, what);
  if (protocol) {
    Append(name, n, L"-v");
    AppendNumber(name, n, protocol, 10, 1);
  }
}

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

void KeepWindowIcon(ConsoleWindowHandle window, IconHandle icon) {
  if (!window) return;
  HWND w = static_cast<HWND>(window);
  HICON i = static_cast<HICON>(icon);
  WindowClaim claim = OpenClaim(w);
  // The runs of vemo at a window follow each other in the order of its lock. One that cannot have
  // it in time leaves the window with the icon it sent.
  if (claim.lock && Acquire(claim.lock, kLockMs)) {
    // Where no keeper holds this icon, the window's keeper, which holds an older one, ends.
    if (!HandOver(w, i) && !StartKeeper(w, i)) ClaimWindow(w, i, false, claim);
    ReleaseMutex(claim.lock);
  }
  CloseHandles({claim.lock, claim.slot, claim.stop});
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
