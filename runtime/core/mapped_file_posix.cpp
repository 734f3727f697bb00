#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "runtime/core/encoding.h"
#include "runtime/core/mapped_file.h"

namespace brindax::os {
namespace {
const unsigned char kNoBytes[1] = {0};
}

bool ReadOnlyFile::open(const char* path) {
  close();
  const std::string native = latin1_to_utf8(path != nullptr ? path : "");
  int descriptor;
  do {
    // Non-blocking, so that a FIFO put in a file's place cannot stall us.
    descriptor = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return false;
  struct stat status{};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(descriptor);
    return false;
  }
  handle_ = static_cast<std::intptr_t>(descriptor) + 1;
  size_ = static_cast<std::int64_t>(status.st_size);
  executable_ = (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  return true;
}

void ReadOnlyFile::close() {
  if (view_ != nullptr && view_ != kNoBytes) {
    ::munmap(const_cast<unsigned char*>(view_), static_cast<std::size_t>(size_));
  }
  view_ = nullptr;
  if (handle_ != 0) ::close(static_cast<int>(handle_ - 1));
  handle_ = 0;
  size_ = -1;
  executable_ = false;
}

std::int32_t ReadOnlyFile::read(void* into, std::int32_t n) {
  if (handle_ == 0 || n < 0) return -1;
  ssize_t got;
  do {
    got = ::read(static_cast<int>(handle_ - 1), into, static_cast<std::size_t>(n));
  } while (got < 0 && errno == EINTR);
  return got < 0 ? -1 : static_cast<std::int32_t>(got);
}

const unsigned char* ReadOnlyFile::map() {
  if (view_ != nullptr || handle_ == 0) return view_;
  if (size_ == 0) return view_ = kNoBytes;
  if (static_cast<std::uint64_t>(size_) > SIZE_MAX) return nullptr;
  void* view = ::mmap(nullptr, static_cast<std::size_t>(size_), PROT_READ, MAP_PRIVATE,
                      static_cast<int>(handle_ - 1), 0);
  if (view == MAP_FAILED) return nullptr;
  return view_ = static_cast<const unsigned char*>(view);
}

}  // namespace brindax::os
