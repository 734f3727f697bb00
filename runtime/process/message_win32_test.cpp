// The message requester on Windows: the box is modal for every window of the
// calling thread, and each window gets back exactly what was taken from it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/process/message.h"
#include "runtime/process/message_win32.h"

namespace brindax {
namespace {

class TestWindow {
 public:
  TestWindow(DWORD extended_style, bool visible) {
    static const ATOM window_class = [] {
      WNDCLASSA description{};
      description.lpfnWndProc = DefWindowProcA;
      description.hInstance = GetModuleHandleA(nullptr);
      description.lpszClassName = "BrindaxMessageTest";
      return RegisterClassA(&description);
    }();
    static_cast<void>(window_class);
    window_ = CreateWindowExA(extended_style, "BrindaxMessageTest", "test",
                              WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), 10, 10, 120, 80,
                              nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  ~TestWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  HWND get() const { return window_; }
  bool enabled() const { return IsWindowEnabled(window_) != 0; }
  bool topmost() const { return (GetWindowLongA(window_, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }

 private:
  HWND window_;
};

// Wine without a display driver cannot make windows; these tests need one
// (a display, or Wine's null driver: HKCU\Software\Wine\Drivers Graphics=null).
#define SKIP_WITHOUT_WINDOWS(window)                                                  \
  if ((window).get() == nullptr) GTEST_SKIP() << "no window can be created here (error " \
                                              << GetLastError() << ")"

std::vector<SuspendedWindow*> records_of_this_thread() {
  std::vector<SuspendedWindow*> found;
  for (ListNode* node = suspended_windows; node != nullptr; node = node->older) {
    auto* record = static_cast<SuspendedWindow*>(list_payload_of(node));
    if (record->thread_id == GetCurrentThreadId()) found.push_back(record);
  }
  return found;
}

SuspendedWindow* record_for(HWND window) {
  for (SuspendedWindow* record : records_of_this_thread()) {
    if (record->window == window) return record;
  }
  return nullptr;
}

TEST(MessageWindows, SuspendsAndRestoresTheThreadsWindows) {
  TestWindow plain(0, true), top(WS_EX_TOPMOST, true), off(0, true), hidden(0, false);
  SKIP_WITHOUT_WINDOWS(plain);
  EnableWindow(off.get(), FALSE);
  ASSERT_TRUE(top.topmost());

  // Taking a window out of the topmost band may activate it, so the window
  // to spare is the one in the foreground when the suspension starts.
  const HWND foreground = GetForegroundWindow();
  suspend_thread_windows();
  EXPECT_EQ(records_of_this_thread().size(), 3u);
  EXPECT_EQ(record_for(hidden.get()), nullptr);
  EXPECT_TRUE(hidden.enabled());
  for (const TestWindow* window : {&plain, &top}) {
    SuspendedWindow* record = record_for(window->get());
    ASSERT_NE(record, nullptr);
    // The foreground window stays enabled: it will own the box.
    const bool is_foreground = window->get() == foreground;
    EXPECT_EQ(record->disabled_here, is_foreground ? 0 : 1);
    EXPECT_EQ(window->enabled(), is_foreground);
  }
  ASSERT_NE(record_for(off.get()), nullptr);
  EXPECT_EQ(record_for(off.get())->disabled_here, 0);
  EXPECT_EQ(record_for(top.get())->was_topmost, 1);
  EXPECT_EQ(record_for(plain.get())->was_topmost, 0);
  EXPECT_FALSE(top.topmost());

  restore_thread_windows();
  EXPECT_TRUE(records_of_this_thread().empty());
  EXPECT_TRUE(plain.enabled());
  EXPECT_TRUE(top.enabled());
  EXPECT_TRUE(top.topmost());
  EXPECT_FALSE(off.enabled());  // it was disabled before and stays so
  EXPECT_TRUE(hidden.enabled());
}

TEST(MessageWindows, RecordsOfOtherThreadsAreLeftAlone) {
  TestWindow window(0, true);
  SKIP_WITHOUT_WINDOWS(window);
  EnableWindow(window.get(), FALSE);
  auto* foreign = static_cast<SuspendedWindow*>(
      list_add_node(&suspended_windows, sizeof(ListNode) + sizeof(SuspendedWindow)));
  ASSERT_NE(foreign, nullptr);
  foreign->thread_id = GetCurrentThreadId() + 1;
  foreign->window = window.get();
  foreign->disabled_here = 1;

  restore_thread_windows();
  EXPECT_EQ(list_payload_of(suspended_windows), foreign);
  EXPECT_FALSE(window.enabled());
  list_remove_node(&suspended_windows, foreign);
}

// Looks for the box while it is up, notes what the thread's windows look
// like then, and presses OK.
struct BoxWatch {
  HWND watched = nullptr;
  bool seen = false;
  bool watched_enabled = true;
  std::size_t records = 0;
  HWND owner = nullptr;
  HWND expected_owner = nullptr;
  std::string title;
  int ticks = 0;
};
BoxWatch watch;

BOOL CALLBACK find_box(HWND window, LPARAM found) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::string(name) == "#32770" && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

void CALLBACK look_for_box(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), find_box, reinterpret_cast<LPARAM>(&box));
  if (box == nullptr) {
    if (++watch.ticks > 100) {  // never seen: give up without hanging
      KillTimer(nullptr, timer);
      PostQuitMessage(0);
    }
    return;
  }
  KillTimer(nullptr, timer);
  watch.seen = true;
  watch.watched_enabled = IsWindowEnabled(watch.watched) != 0;
  watch.records = records_of_this_thread().size();
  watch.owner = GetWindow(box, GW_OWNER);
  char title[64] = {};
  GetWindowTextA(box, title, sizeof title);
  watch.title = title;
  PostMessageA(box, WM_COMMAND, IDOK, 0);
}

TEST(MessageWindows, ShowMessageIsModalForTheThread) {
  TestWindow first(0, true), second(0, true);
  SKIP_WITHOUT_WINDOWS(first);
  // Whichever of the two is not in the foreground must be disabled while the
  // box is up.
  watch = BoxWatch{};
  watch.watched = GetForegroundWindow() == first.get() ? second.get() : first.get();
  // The box is owned by the foreground window when it is one of ours.
  watch.expected_owner = static_cast<HWND>(message_owner());
  ASSERT_NE(SetTimer(nullptr, 0, 50, look_for_box), 0u);

  const std::int32_t result = show_notice("Ftp Error", "Canot open Ftp connection");
  ASSERT_TRUE(watch.seen);
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(watch.title, "Ftp Error");
  EXPECT_FALSE(watch.watched_enabled);
  EXPECT_EQ(watch.records, 2u);
  EXPECT_EQ(watch.owner, watch.expected_owner);
  EXPECT_TRUE(first.enabled());
  EXPECT_TRUE(second.enabled());
  EXPECT_TRUE(records_of_this_thread().empty());
}

}  // namespace
}  // namespace brindax
