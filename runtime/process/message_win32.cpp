// Message requester on Windows: MessageBoxA, made modal for every window of
// the calling thread.
#include "runtime/process/message.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "runtime/process/message_win32.h"

namespace brindax {

ListNode* suspended_windows = nullptr;

namespace {

SuspendedWindow* record_of(ListNode* node) {
  return static_cast<SuspendedWindow*>(list_payload_of(node));
}

BOOL CALLBACK suspend_window(HWND window, LPARAM) {
  if (GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId() ||
      !IsWindowVisible(window)) {
    return TRUE;
  }
  auto* record = static_cast<SuspendedWindow*>(
      list_add_node(&suspended_windows, sizeof(ListNode) + sizeof(SuspendedWindow)));
  if (record == nullptr) return TRUE;  // no room: the window is left as it is
  record->thread_id = GetCurrentThreadId();
  record->window = window;
  if ((GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0) record->was_topmost = 1;
  if (window != GetForegroundWindow() && IsWindowEnabled(window)) {
    record->disabled_here = 1;
    EnableWindow(window, FALSE);
  }
  return TRUE;
}

}  // namespace

void* message_owner() {
  HWND window = GetForegroundWindow();
  if (window == nullptr) return nullptr;
  DWORD process_id = 0;
  GetWindowThreadProcessId(window, &process_id);
  return process_id == GetCurrentProcessId() ? window : nullptr;
}

void suspend_thread_windows() {
  EnumWindows(suspend_window, 1);
  const DWORD thread = GetCurrentThreadId();
  for (ListNode* node = suspended_windows; node != nullptr; node = node->older) {
    const SuspendedWindow* record = record_of(node);
    if (record->thread_id == thread && record->was_topmost) {
      SetWindowPos(static_cast<HWND>(record->window), HWND_NOTOPMOST, 0, 0, 0, 0,
                   SWP_NOSIZE | SWP_NOMOVE);
    }
  }
}

void restore_thread_windows() {
  const DWORD thread = GetCurrentThreadId();
  ListNode* node = suspended_windows;
  while (node != nullptr) {
    ListNode* older = node->older;
    SuspendedWindow* record = record_of(node);
    if (record->thread_id == thread) {
      HWND window = static_cast<HWND>(record->window);
      if (record->disabled_here) EnableWindow(window, TRUE);
      if (record->was_topmost) {
        SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
      }
      list_remove_node(&suspended_windows, record);
    }
    node = older;
  }
}

std::int32_t show_message(const char* title, const char* text, std::uint32_t style) {
  suspend_thread_windows();
  const int result = MessageBoxA(static_cast<HWND>(message_owner()), text != nullptr ? text : "",
                                 title != nullptr ? title : "", style);
  restore_thread_windows();
  return result;
}

void ui_library_init() {
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = 8;
  constexpr DWORD classes = ICC_TAB_CLASSES | ICC_HOTKEY_CLASS | ICC_DATE_CLASSES |
                            ICC_USEREX_CLASSES | ICC_INTERNET_CLASSES;
  static_assert(classes == 0xB48);
  controls.dwICC = classes;
  InitCommonControlsEx(&controls);
  CoInitialize(nullptr);
}

}  // namespace brindax
