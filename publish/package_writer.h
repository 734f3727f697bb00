// Writing a release package: the folder's files compressed on worker threads
// (each file's content digest taken on the same pass), then put together by
// libzip in a fixed order with fixed times, so that the same input gives the
// same bytes. Files that deflate does not shrink are stored.
#pragma once

#include <zip.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace brindax::publish {

struct PackageEntry {
  std::string name;                  // UTF-8, as stored in the package
  std::filesystem::path source;      // a file of the release folder, or
  std::int64_t previous_index = -1;  // an entry of the previous package, copied as it is
  bool executable = false;
};

struct PackageOutcome {
  bool ok = false;
  std::string error;
  std::vector<std::string> versions;  // per entry: the content digest (empty for copies)
};

// Writes `entries` in their order to a new archive at `path`; `previous` is
// the open previous package when entries are copied from it. Temporary files
// go beside `path` and are removed. `mtime` is given to every entry.
PackageOutcome write_package(const std::filesystem::path& path,
                             const std::vector<PackageEntry>& entries, zip_t* previous,
                             std::time_t mtime, int compression_level = 6);

// The version of a file's content: the first 8 bytes of its BLAKE2b digest as
// 16 lowercase hex digits. Needs sodium_init() to have run.
class ContentDigest {
 public:
  ContentDigest();
  void update(const void* data, std::size_t size);
  std::string hex();

 private:
  alignas(64) unsigned char state_[384];
};

// The time_t that libzip's local-time conversion turns into the wall-clock
// reading of `epoch` in UTC, so that entry times do not depend on the time
// zone. Times before 1980 (the first a ZIP entry can hold) become 1980-01-01.
std::time_t zip_time_for(std::int64_t epoch);

}  // namespace brindax::publish
