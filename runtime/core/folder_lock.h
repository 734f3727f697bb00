// One program at a time per folder: an exclusive lock on a folder that the
// system releases when the process ends, however it ends, and that adds no
// file to the folder. POSIX: flock on the folder itself. Windows: a named
// mutex derived from the folder's full path, which the system abandons when
// its owner dies. Implemented by folder_lock_posix.cpp and
// folder_lock_win32.cpp.
#pragma once

#include <chrono>
#include <cstdint>

namespace brindax {

enum class FolderLockResult {
  acquired,
  busy,    // another process held it all the time it was waited for
  failed,  // the folder cannot be locked here (no such folder, no locks)
};

class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock() { release(); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Takes the lock on `folder` ("" is the current folder), waiting for at
  // most `patience` while another process holds it. The lock is not passed
  // on to programs this process starts.
  FolderLockResult acquire(const char* folder, std::chrono::milliseconds patience);
  bool held() const { return handle_ != 0; }
  void release();

 private:
  std::intptr_t handle_ = 0;  // POSIX: descriptor + 1; Windows: the mutex
};

}  // namespace brindax
