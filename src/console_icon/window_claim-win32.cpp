// The claim on a window's icon that every release of vemo shares, and the names of the objects
// through which runs of vemo and keepers find each other.
#include "console_icon/keeper.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace {

// How long a claim waits for the window's keeper to step down; how long a send may take.
constexpr DWORD kStepDownMs = 1500;
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

// Appends `text` likewise.
void Append(wchar_t (&name)[64], std::size_t& n, const wchar_t* text) {
  for (; *text && n < 63; ++text) name[n++] = *text;
  name[n] = L'\0';
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

bool ClaimWindow(HWND window, HICON icon, bool keep, const WindowClaim& claim) {
  if (!claim.slot || !claim.stop) return false;
  SetEvent(claim.stop);
  if (!Acquire(claim.slot, kStepDownMs)) return false;
  ResetEvent(claim.stop);
  bool sent = SendSmallIcon(window, icon);
  if (!keep || !sent) ReleaseMutex(claim.slot);
  return sent;
}
