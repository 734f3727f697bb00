// Writes a file so that it appears under its name only when complete: the
// data goes to a temporary file in the destination's folder, and commit()
// puts it in place of the destination. Anything not committed is removed, and
// whatever stood at the destination before stays untouched.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/core/os_file.h"

namespace brindax {

class ReplacingFile {
 public:
  ReplacingFile() = default;
  ~ReplacingFile();  // discards an uncommitted temporary file
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Creates the temporary file beside `destination`; false on failure.
  bool open(const char* destination);
  bool is_open() const { return file_ != os::NO_FILE; }
  // False once any write failed or fell short; later writes are ignored.
  bool write(const void* data, std::int32_t n);
  // POSIX: the destination gets executable bits at commit.
  void set_executable(bool executable) { executable_ = executable; }
  // The data goes to the disk before the rename, and the rename too: for a
  // file that must never be found empty or cut short after a power cut.
  void set_durable(bool durable) { durable_ = durable; }
  // Closes and renames over the destination; false (and nothing replaced)
  // when a write, the close or the rename failed.
  bool commit();
  // Closes and removes the temporary file.
  void discard();

 private:
  os::FileHandle file_ = os::NO_FILE;
  std::string temp_path_;
  std::string destination_;
  bool failed_ = false;
  bool executable_ = false;
  bool durable_ = false;
};

// Writes `data` as the whole new content of `destination` through a
// durable ReplacingFile; false (and nothing replaced) on failure.
bool replace_contents_durably(const char* destination, std::string_view data);

}  // namespace brindax
