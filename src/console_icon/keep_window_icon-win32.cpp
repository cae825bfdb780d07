// vemo's side of the keeper: the icon vemo set goes to the keeper that holds the window already,
// or else to a new one that vemo starts, in the order of the window's lock.
#include "console_icon/console_icon.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "console_icon/icon_image.h"
#include "console_icon/keeper.h"

namespace {

// How long vemo waits for the runs of vemo ahead of it at the same window (a burst of them started
// at once, say); how long for a keeper's answer, to a hand-over or at its start.
constexpr DWORD kLockMs = 5000, kConfirmMs = 2000;

// A new mapping of `size` bytes named `name`, in `mapping`, mapped for writing, with the image of
// `icon` after the order's first `header` bytes. Null where the name was taken already (by a run
// that gave up, or by another program: what is there is not used) or the icon has no image.
unsigned char* WriteOrder(const wchar_t* name, std::size_t size, std::size_t header, HICON icon,
                          HANDLE& mapping) {
  // Wine leaves the last error as it was when it makes a new object, so an earlier call's
  // ERROR_ALREADY_EXISTS must not stand for this one's.
  SetLastError(ERROR_SUCCESS);
  mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                               static_cast<DWORD>(size), name);
  bool fresh = mapping && GetLastError() != ERROR_ALREADY_EXISTS;
  auto* view = static_cast<unsigned char*>(fresh ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)
                                                 : nullptr);
  if (view && !WriteIconImage(icon, view + header, kMaxIconImageSize)) {
    UnmapViewOfFile(view);
    view = nullptr;
  }
  return view;
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
  HANDLE mapping = nullptr;
  unsigned char* view =
      done ? WriteOrder(name, kHandOverSize, sizeof(HandOverOrder), icon, mapping) : nullptr;
  std::uint32_t answer = 0;
  if (view) {
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
  HANDLE mapping = nullptr;
  unsigned char* view = WriteOrder(name, kKeeperOrderSize, sizeof(KeeperOrder), icon, mapping);
  HANDLE confirmed = CreateEventW(nullptr, TRUE, FALSE, nullptr), remote = nullptr;
  bool ready = view && confirmed &&
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
