// The folder lock on Windows: one holder per folder however its path is
// written, and a holder that ends without releasing it (an abandoned mutex)
// hands it on. A mutex belongs to a thread, so the other holders here are
// threads of their own.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "runtime/core/core_test_support.h"
#include "runtime/core/folder_lock.h"

namespace brindax {
namespace {

using std::chrono::milliseconds;
using testing_support::ScratchDir;

FolderLockResult acquire_on_another_thread(const std::string& folder, milliseconds patience) {
  FolderLockResult result = FolderLockResult::failed;
  std::thread([&] {
    FolderLock lock;
    result = lock.acquire(folder.c_str(), patience);
  }).join();
  return result;
}

TEST(FolderLockWindows, OneHolderPerFolderHoweverItIsWritten) {
  ScratchDir dir;
  CreateDirectoryA((dir / "Install").c_str(), nullptr);
  CreateDirectoryA((dir / "Other").c_str(), nullptr);
  std::string upper = dir / "INSTALL\\";
  FolderLock lock;
  ASSERT_EQ(lock.acquire((dir / "Install").c_str(), milliseconds(0)), FolderLockResult::acquired);
  for (const std::string& folder : {upper, dir / "other\\..\\install", dir / "Install"}) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(acquire_on_another_thread(folder, milliseconds(30)), FolderLockResult::busy);
  }
  EXPECT_EQ(acquire_on_another_thread(dir / "Other", milliseconds(0)), FolderLockResult::acquired);
  lock.release();
  EXPECT_EQ(acquire_on_another_thread(upper, milliseconds(0)), FolderLockResult::acquired);
}

TEST(FolderLockWindows, AHolderThatEndsHandsItOn) {
  ScratchDir dir;
  FolderLock abandoned;  // taken by a thread that ends without releasing it
  std::thread([&] {
    ASSERT_EQ(abandoned.acquire(dir.path().string().c_str(), milliseconds(0)), FolderLockResult::acquired);
  }).join();
  EXPECT_EQ(acquire_on_another_thread(dir.path().string(), milliseconds(5000)), FolderLockResult::acquired);
}

}  // namespace
}  // namespace brindax
