// The folder lock between processes: one holder per folder whatever path
// names it, released when its holder ends however it ends.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "runtime/core/core_test_support.h"
#include "runtime/core/folder_lock.h"

namespace brindax {
namespace {

using std::chrono::milliseconds;
using testing_support::ScratchDir;

TEST(FolderLock, OneHolderPerFolderWhateverThePath) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path() / "install");
  std::filesystem::create_directories(dir.path() / "other");
  std::filesystem::create_symlink(dir.path() / "install", dir.path() / "link");
  FolderLock first;
  ASSERT_EQ(first.acquire((dir / "install").c_str(), milliseconds(0)), FolderLockResult::acquired);
  struct Case {
    std::string folder;
    FolderLockResult expected;
  };
  const Case cases[] = {
      {dir / "install", FolderLockResult::busy},
      {dir / "other/../install/", FolderLockResult::busy},
      {dir / "link", FolderLockResult::busy},
      {dir / "other", FolderLockResult::acquired},
      {dir / "missing", FolderLockResult::failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    FolderLock second;
    EXPECT_EQ(second.acquire(c.folder.c_str(), milliseconds(30)), c.expected);
    EXPECT_EQ(second.held(), c.expected == FolderLockResult::acquired);
  }
  first.release();
  FolderLock after;
  EXPECT_EQ(after.acquire((dir / "link").c_str(), milliseconds(0)), FolderLockResult::acquired);
}

// A holder killed outright leaves no stale lock: a waiter receives it.
TEST(FolderLock, AKilledHolderReleasesIt) {
  ScratchDir dir;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    FolderLock lock;
    const char held = lock.acquire(dir.path().c_str(), milliseconds(0)) == FolderLockResult::acquired;
    if (write(ready[1], &held, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char held = 0;
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  close(ready[0]);
  close(ready[1]);
  ASSERT_EQ(held, 1);
  FolderLock lock;
  EXPECT_EQ(lock.acquire(dir.path().c_str(), milliseconds(50)), FolderLockResult::busy);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(lock.acquire(dir.path().c_str(), milliseconds(10000)), FolderLockResult::acquired);
}

}  // namespace
}  // namespace brindax
