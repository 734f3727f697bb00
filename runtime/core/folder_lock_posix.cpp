// The folder lock on POSIX: flock on a descriptor of the folder itself. The
// lock belongs to the open descriptor, which the system closes when the
// process ends, and the descriptor is closed on exec, so a started program
// never holds it.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "runtime/core/encoding.h"
#include "runtime/core/folder_lock.h"

namespace brindax {

FolderLockResult FolderLock::acquire(const char* folder, std::chrono::milliseconds patience) {
  using Clock = std::chrono::steady_clock;
  release();
  const std::string path =
      (folder == nullptr || *folder == '\0') ? std::string(".") : latin1_to_utf8(folder);
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return FolderLockResult::failed;
  const Clock::time_point deadline = Clock::now() + patience;
  // Polled rather than blocked on, so that the wait has a bound: short
  // pauses at first (a run that is nearly done), longer ones later.
  std::chrono::milliseconds pause(10);
  for (;;) {
    if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
      handle_ = static_cast<std::intptr_t>(descriptor) + 1;
      return FolderLockResult::acquired;
    }
    if (errno == EINTR) continue;
    const Clock::time_point now = Clock::now();
    if (errno != EWOULDBLOCK || now >= deadline) {
      const bool busy = errno == EWOULDBLOCK;
      ::close(descriptor);
      return busy ? FolderLockResult::busy : FolderLockResult::failed;
    }
    std::this_thread::sleep_for(
        std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

void FolderLock::release() {
  if (handle_ == 0) return;
  ::close(static_cast<int>(handle_ - 1));  // closing the descriptor drops the lock
  handle_ = 0;
}

}  // namespace brindax
