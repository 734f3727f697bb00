// Windows-only parts of the message requester: the windows of the calling
// thread are suspended while a box is up, so that the box is modal for the
// whole thread and not only for its owner.
#pragma once

#include <cstdint>

#include "runtime/core/registry.h"

namespace brindax {

// One window touched by a suspension.
struct SuspendedWindow {
  std::uint32_t thread_id;    // the thread that suspended the window
  void* window;               // HWND
  std::uint8_t was_topmost;   // had WS_EX_TOPMOST and was moved out of the band
  std::uint8_t disabled_here; // was enabled and was disabled by the requester
};

// Every suspended window of every thread, newest first.
extern ListNode* suspended_windows;

// The foreground window when it belongs to this process, else null (an HWND).
void* message_owner();
// Disables every other visible, enabled window of the calling thread and takes
// the topmost ones out of the topmost band, recording what it did.
void suspend_thread_windows();
// Gives the calling thread's windows back what the suspension took, and
// drops that thread's records.
void restore_thread_windows();

}  // namespace brindax
