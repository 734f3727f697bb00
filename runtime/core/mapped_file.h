// A file opened for reading only: read in blocks, or mapped whole into the
// address space without copying it to the heap (the reference of a binary
// delta). Implemented by mapped_file_posix.cpp (open/mmap) and
// mapped_file_win32.cpp (CreateFileA/CreateFileMapping/MapViewOfFile).
#pragma once

#include <cstdint>

namespace brindax::os {

class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile() { close(); }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // Opens an existing regular file (a runtime path); false for nothing
  // there, a folder or anything else that is no plain file, or no access.
  // Others may go on reading it while it is open.
  bool open(const char* path);
  void close();
  bool is_open() const { return handle_ != 0; }

  // The size when it was opened.
  std::int64_t size() const { return size_; }
  // POSIX: an execute bit is set; Windows: always false.
  bool executable() const { return executable_; }

  // Reads on from where the last read stopped: the bytes read, 0 at the
  // end, -1 on an error.
  std::int32_t read(void* into, std::int32_t n);

  // The whole file mapped read-only (size() bytes, valid until close());
  // null when it cannot be mapped (e.g. no room in the address space). An
  // empty file maps to a valid pointer to no bytes.
  const unsigned char* map();

 private:
  std::intptr_t handle_ = 0;   // the system's handle (POSIX: descriptor + 1)
  std::intptr_t mapping_ = 0;  // Windows: the file mapping object
  const unsigned char* view_ = nullptr;
  std::int64_t size_ = -1;
  bool executable_ = false;
};

}  // namespace brindax::os
