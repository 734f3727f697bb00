// A file that takes its name only when it is complete.
#include "runtime/core/replacing_file.h"

#include <climits>
#include <string>

#include "runtime/core/file.h"
#include "runtime/core/file_transaction.h"

namespace brindax {

namespace {

constexpr int kNameAttempts = 100;

}  // namespace

ReplacingFile::~ReplacingFile() { discard(); }

bool ReplacingFile::open(const char* destination) {
  discard();
  if (destination == nullptr || *destination == '\0') return false;
  destination_ = destination;
  failed_ = false;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    // A private name: one that a killed run leaves is removed by a later one.
    std::string candidate = temporary_name(destination_);
    file_ = os::create_new(candidate.c_str());
    if (file_ != os::NO_FILE) {
      temp_path_ = std::move(candidate);
      return true;
    }
    // Only a name that is taken is worth another try; anything else (no
    // such folder, no permission) fails the same way for every name.
    if (file_size(candidate.c_str()) == -1) break;
  }
  destination_.clear();
  return false;
}

bool ReplacingFile::write(const void* data, std::int32_t n) {
  if (!is_open() || failed_) return false;
  if (n > 0 && !os::write_all(file_, data, n)) failed_ = true;
  return !failed_;
}

bool ReplacingFile::commit() {
  if (!is_open()) return false;
  if (failed_) {
    discard();
    return false;
  }
  // A failed close (a write error the system reports late) counts as a
  // failed write. Unless asked to, the data is not forced to the disk here:
  // the rename only has to make a complete file visible, and a forced flush
  // would cost every download, also the version lists that live for a
  // moment (an install flushes what it keeps itself).
  const bool flushed = !durable_ || os::flush(file_);
  const bool closed = os::close(file_) && flushed;
  file_ = os::NO_FILE;
  if (!closed) {
    os::delete_file(temp_path_.c_str());
    temp_path_.clear();
    return false;
  }
  if (executable_) os::set_executable(temp_path_.c_str(), true);
  const bool replaced = os::replace_file(temp_path_.c_str(), destination_.c_str());
  if (!replaced) os::delete_file(temp_path_.c_str());
  temp_path_.clear();
  if (replaced && durable_) os::flush_folder(os::folder_of(destination_).c_str());
  return replaced;
}

bool replace_contents_durably(const char* destination, std::string_view data) {
  ReplacingFile file;
  file.set_durable(true);
  return data.size() <= INT32_MAX && file.open(destination) &&
         file.write(data.data(), static_cast<std::int32_t>(data.size())) && file.commit();
}

void ReplacingFile::discard() {
  if (is_open()) {
    os::close(file_);
    file_ = os::NO_FILE;
  }
  if (!temp_path_.empty()) {
    os::delete_file(temp_path_.c_str());
    temp_path_.clear();
  }
}

}  // namespace brindax
