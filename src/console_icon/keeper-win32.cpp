// The keeper: a copy of vemo.exe that holds the icon vemo set for as long as the window shows it.
// An icon belongs to the process that made it, and Windows destroys it when that process ends, so
// the window would keep a dead handle a moment after vemo returns. The keeper runs detached from
// everything the caller has (no console, no inherited handle, the system folder as its current
// folder), builds its own icon from the image vemo hands over, puts it on the window and waits,
// with no timer, until the window is gone or a later run of vemo takes the window over.
#include "console_icon/console_icon.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "console_icon/icon_image.h"
#include "console_icon/keeper.h"

namespace {

// How long vemo waits for its keeper; how long a claim waits for a window's lock and for its keeper
// to step down, together; how long the send may take. A claim ends within kConfirmMs.
constexpr DWORD kConfirmMs = 2000, kClaimMs = 1500;
constexpr UINT kSendMs = 500;

// "Local\vemo-<what><number in hex><suffix>". Local names are per logon session, as windows are.
void Name(wchar_t (&name)[64], const wchar_t* what, DWORD number, const wchar_t* suffix) {
  std::size_t n = 0;
  for (const wchar_t* c = L"Local\\vemo-"; *c; ++c) name[n++] = *c;
  for (; *what && n < 40; ++what) name[n++] = *what;
  for (int shift = 28; shift >= 0; shift -= 4)
    name[n++] = L"0123456789abcdef"[(number >> shift) & 15];
  for (; *suffix && n < 63; ++suffix) name[n++] = *suffix;
  name[n] = L'\0';
}

// The objects through which runs of vemo, 32- or 64-bit, agree on who keeps a window's icon, named
// after the window (whose handle is the same number in both): the lock orders the changes, the
// window's keeper owns the slot for as long as it lives, and the stop event asks it to end.
struct WindowClaim {
  HANDLE lock, slot, stop;
};

WindowClaim OpenClaim(HWND window) {
  DWORD id = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(window));
  wchar_t name[64];
  WindowClaim claim;
  Name(name, L"window-", id, L"-lock");
  claim.lock = CreateMutexW(nullptr, FALSE, name);
  Name(name, L"window-", id, L"-slot");
  claim.slot = CreateMutexW(nullptr, FALSE, name);
  Name(name, L"window-", id, L"-stop");
  claim.stop = CreateEventW(nullptr, TRUE, FALSE, name);
  return claim;
}

void CloseClaim(const WindowClaim& claim) {
  for (HANDLE h : {claim.lock, claim.slot, claim.stop}) {
    if (h) CloseHandle(h);
  }
}

bool Acquire(HANDLE mutex, DWORD since) {
  DWORD waited = GetTickCount() - since;
  DWORD result = WaitForSingleObject(mutex, waited < kClaimMs ? kClaimMs - waited : 0);
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

// Sends `icon` to `window` once the window's keeper, if it has one, has stepped down, so that the
// sends and the keepers follow each other in the same order. With `keep` the caller becomes the
// window's keeper and owns the slot, else it leaves the window without one. False when the lock or
// the slot could not be had in time, or the send failed.
bool ClaimWindow(HWND window, HICON icon, bool keep, const WindowClaim& claim) {
  DWORD since = GetTickCount();
  if (!claim.lock || !claim.slot || !claim.stop || !Acquire(claim.lock, since)) return false;
  SetEvent(claim.stop);
  bool held = Acquire(claim.slot, since), sent = false;
  if (held) {
    ResetEvent(claim.stop);
    sent = SendSmallIcon(window, icon);
    if (!keep || !sent) ReleaseMutex(claim.slot);
  }
  ReleaseMutex(claim.lock);
  return held && sent;
}

// Each destroyed window goes to the keeper's own queue, where the wait compares it with its window.
void CALLBACK OnDestroy(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD, DWORD) {
  if (object == OBJID_WINDOW && child == CHILDID_SELF) {
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, reinterpret_cast<LPARAM>(window));
  }
}

// Returns when `window` is gone or `stop` is set. The console host registers the console's first
// client (cmd.exe, say) as the window's owner and moves it on when that client exits, so the wait
// is for the window itself: a hook on destroyed windows, and the owner's end as a second signal,
// which is the one that works under Wine. Attaching to the console would keep it open.
void WaitForWindowEnd(HWND window, HANDLE stop) {
  HWINEVENTHOOK hook =
      SetWinEventHook(EVENT_OBJECT_DESTROY, EVENT_OBJECT_DESTROY, nullptr, OnDestroy, 0, 0,
                      WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
  DWORD ownerId = 0;
  HANDLE owner = nullptr;
  for (bool gone = false; !gone && IsWindow(window);) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    // An owner that has ended but is still named is not waited on again: the hook sees the rest.
    if (id != ownerId) {
      if (owner) CloseHandle(owner);
      ownerId = id;
      owner = OpenProcess(SYNCHRONIZE, FALSE, id);
    }
    HANDLE handles[2] = {stop, owner};
    DWORD count = owner ? 2 : 1;
    DWORD result = MsgWaitForMultipleObjects(count, handles, FALSE, INFINITE, QS_ALLINPUT);
    if (result == WAIT_OBJECT_0 || result == WAIT_FAILED) break;
    if (result == WAIT_OBJECT_0 + 1 && owner) {
      CloseHandle(owner);
      owner = nullptr;
    }
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      gone =
          gone || (message.message == WM_APP && message.lParam == reinterpret_cast<LPARAM>(window));
    }
  }
  if (owner) CloseHandle(owner);
  if (hook) UnhookWinEvent(hook);
}

// The keeper's run, from the order vemo left in `mapping`. Anything amiss in it, and the keeper
// ends before it has touched anything.
void Keep(HANDLE mapping) {
  // A view of the whole order's size, which fails on a smaller mapping, bounds every read below.
  const auto* view = static_cast<const unsigned char*>(
      MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kKeeperOrderSize));
  if (!view) return;
  KeeperOrder order;
  std::memcpy(&order, view, sizeof order);
  HICON icon = MakeIconFromImage(view + sizeof order, kKeeperOrderSize - sizeof order);
  UnmapViewOfFile(view);
  HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(order.window));
  if (!icon || !IsConsoleWindow(window)) return;
  WindowClaim claim = OpenClaim(window);
  if (ClaimWindow(window, icon, true, claim)) {
    HANDLE confirm = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(order.confirm));
    SetEvent(confirm);
    CloseHandle(confirm);
    WaitForWindowEnd(window, claim.stop);
    ReleaseMutex(claim.slot);
  }
  CloseClaim(claim);
  DestroyIcon(icon);
}

// Hands `icon` to a new keeper of `window` and waits until it holds the window, for at most
// kConfirmMs. False when no keeper could be started: this program is not vemo.exe, the icon is
// unusable, or the job the caller runs in forbids child processes.
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
  // handed over. Wine leaves the last error as it was when it makes a new object, so an earlier
  // call's ERROR_ALREADY_EXISTS must not stand for this one's.
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
  if (ready) {
    ResumeThread(keeper.hThread);
    // A keeper that cannot take the window ends at once, and vemo with it.
    HANDLE either[2] = {confirmed, keeper.hProcess};
    WaitForMultipleObjects(2, either, FALSE, kConfirmMs);
  } else {
    TerminateProcess(keeper.hProcess, 1);
  }
  for (HANDLE h : {mapping, confirmed, keeper.hProcess, keeper.hThread}) {
    if (h) CloseHandle(h);
  }
  return ready;
}

}  // namespace

void KeeperOrderName(wchar_t (&name)[64], DWORD id) { Name(name, L"keeper-", id, L""); }

void KeepWindowIcon(ConsoleWindowHandle window, IconHandle icon) {
  if (!window) return;
  HWND w = static_cast<HWND>(window);
  HICON i = static_cast<HICON>(icon);
  if (StartKeeper(w, i)) return;
  // No keeper holds this icon: the window's keeper, which holds an older one, ends.
  WindowClaim claim = OpenClaim(w);
  ClaimWindow(w, i, false, claim);
  CloseClaim(claim);
}

bool ServeAsIconKeeper() {
  wchar_t name[64];
  KeeperOrderName(name, GetCurrentProcessId());
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
  if (!mapping) return false;
  Keep(mapping);
  CloseHandle(mapping);
  return true;
}
