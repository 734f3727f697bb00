#include "updater/ranged_package.h"

#include <algorithm>
#include <new>
#include <span>
#include <string_view>

#include "pack/zip_layout.h"
#include "runtime/core/file.h"
#include "runtime/core/os_file.h"
#include "updater/entry_path.h"
#include "updater/settings.h"

namespace brindax {
namespace {

// Ranges closer than this are fetched as one: a few KiB more on the line
// cost less than one more request.
constexpr std::uint64_t kMergeGap = 4096;

// What a range costs beyond its own bytes: once the range is read the
// client closes the data connection, but what the server had sent by then
// has crossed the line all the same (about a TCP window).
constexpr std::uint64_t kRangeOverhead = 256 * 1024;

// The largest central directory held in memory: as much as a version list
// may take. A package with a larger one is fetched whole.
constexpr std::uint64_t kLargestDirectory = static_cast<std::uint64_t>(VERSION_LIST_MAX_BYTES);

// While pieces are written, the free space is looked at again after this
// many bytes.
constexpr std::uint64_t kFreeSpaceCheckBytes = 1 << 20;

using Bytes = std::vector<unsigned char>;

// Sizes `bytes` to `size` zeros; false when the memory is not there.
bool allocate(Bytes& bytes, std::uint64_t size) {
  try {
    bytes.assign(static_cast<std::size_t>(size), 0);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Whether the volume keeps KEEP_FREE_BYTES free after `bytes` more are
// written (true when the free space is unknown).
bool room_for(const std::string& folder, std::uint64_t bytes) {
  const std::int64_t free_bytes = os::free_space(folder.c_str());
  return free_bytes < 0 || (free_bytes >= KEEP_FREE_BYTES &&
                            bytes <= static_cast<std::uint64_t>(free_bytes - KEEP_FREE_BYTES));
}

// The sparse copy of the package being filled, and where the fetched bytes
// go besides: the local headers checked afterwards and, while the end or
// the directory is fetched, that window of the package in memory.
struct RangeTarget {
  os::FileHandle file = os::NO_FILE;
  std::uint64_t package_size = 0;
  std::string folder;
  std::uint64_t written = 0;
  std::uint64_t next_space_check = 0;
  struct Header {
    const ZipEntryPlace* entry;
    Bytes bytes;
  };
  std::vector<Header> headers;
  std::uint64_t window_offset = 0;
  std::span<unsigned char> window;
  std::uint64_t window_filled = 0;
};

// Copies what of [offset, offset + n) falls into [start, start + into.size()).
std::uint64_t copy_overlap(std::uint64_t offset, const unsigned char* data, std::uint64_t n,
                           std::uint64_t start, std::span<unsigned char> into) {
  const std::uint64_t from = std::max(start, offset);
  const std::uint64_t to = std::min(start + into.size(), offset + n);
  if (from >= to) return 0;
  std::copy(data + (from - offset), data + (to - offset), into.begin() + static_cast<std::ptrdiff_t>(from - start));
  return to - from;
}

void capture_headers(RangeTarget& target, std::uint64_t offset, const unsigned char* data,
                     std::uint64_t n) {
  for (auto& header : target.headers) {
    copy_overlap(offset, data, n, header.entry->local_offset, header.bytes);
  }
}

bool store_piece(void* context, std::uint64_t offset, const char* data, std::int32_t n) {
  auto* target = static_cast<RangeTarget*>(context);
  const auto count = static_cast<std::uint64_t>(n);
  if (n < 0 || offset > target->package_size || count > target->package_size - offset) return false;
  if (target->written + count > target->next_space_check) {
    if (!room_for(target->folder, kFreeSpaceCheckBytes)) return false;
    target->next_space_check = target->written + kFreeSpaceCheckBytes;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  capture_headers(*target, offset, bytes, count);
  target->window_filled += copy_overlap(offset, bytes, count, target->window_offset, target->window);
  target->written += count;
  return os::write_at(target->file, static_cast<std::int64_t>(offset), data, n);
}

enum class Fetched {
  failed,
  range,  // the asked bytes are in the file
  whole,  // the server sent the whole package instead: the file holds all of it
};

// Fetches [offset, offset + length) into the file, and into `window` when
// that is not empty (then `length` bytes).
Fetched fetch(Transport& server, const char* remote, RangeTarget& target, std::uint64_t offset,
              std::uint64_t length, std::span<unsigned char> window = {}) {
  target.window_offset = offset;
  target.window = window;
  target.window_filled = 0;
  const std::uint64_t written_before = target.written;
  const RangeReply reply = server.receive_range(remote, offset, length, store_piece, &target);
  const bool window_full = target.window_filled == window.size();
  target.window = {};
  switch (reply) {
    case RangeReply::range:
      return window_full ? Fetched::range : Fetched::failed;
    case RangeReply::whole:
      // Every byte of the package, each once, from its start to its end.
      return target.written - written_before == target.package_size ? Fetched::whole
                                                                    : Fetched::failed;
    case RangeReply::failed:
      break;
  }
  return Fetched::failed;
}

// The ranges, cut off where the bytes already fetched (from `known_start`
// on) begin.
std::vector<ZipByteRange> still_missing(const std::vector<ZipByteRange>& ranges,
                                        std::uint64_t known_start) {
  std::vector<ZipByteRange> missing;
  for (const auto& range : ranges) {
    if (range.offset >= known_start) continue;
    missing.push_back({range.offset, std::min(range.end(), known_start) - range.offset});
  }
  return missing;
}

// Fills the sparse file with the package's end and directory, parses the
// directory into `entries` and fetches the ranges of the named entries.
Fetched fetch_pieces(Transport& server, const char* remote, RangeTarget& target,
                     const std::vector<std::string>& names, std::vector<ZipEntryPlace>& entries) {
  const std::uint64_t size = target.package_size;
  // The end of the package as libzip searches it, and the rest of the
  // central directory in front of it when that is larger.
  std::uint64_t known_start = size - ZIP_TAIL_SEARCH_SIZE;
  Bytes known;
  if (!allocate(known, ZIP_TAIL_SEARCH_SIZE)) return Fetched::failed;
  const Fetched end = fetch(server, remote, target, known_start, ZIP_TAIL_SEARCH_SIZE, known);
  if (end != Fetched::range) return end;
  const auto place = zip_find_directory(known, size);
  if (!place || !zip_fetch_is_worth_it(size - std::min(place->offset, known_start), size)) {
    return Fetched::failed;
  }
  if (place->offset < known_start) {
    const std::uint64_t front = known_start - place->offset;
    Bytes all;
    if (front > kLargestDirectory || !allocate(all, front + known.size())) return Fetched::failed;
    std::copy(known.begin(), known.end(), all.begin() + static_cast<std::ptrdiff_t>(front));
    const Fetched got =
        fetch(server, remote, target, place->offset, front, std::span<unsigned char>(all).first(front));
    if (got != Fetched::range) return got;
    known.swap(all);
    known_start = place->offset;
  }

  const auto directory = std::span<const unsigned char>(known).subspan(
      place->offset - known_start, place->size);
  auto parsed = zip_read_directory(directory, place->entry_count);
  if (!parsed) return Fetched::failed;
  entries = std::move(*parsed);
  const auto ranges = zip_entry_ranges(entries, place->offset, names, kMergeGap);
  if (!ranges) return Fetched::failed;
  const auto missing = still_missing(*ranges, known_start);
  const std::uint64_t planned = zip_ranges_total(missing);
  if (!zip_fetch_is_worth_it(known.size() + planned + kRangeOverhead * missing.size(), size) ||
      !room_for(target.folder, planned)) {
    return Fetched::failed;
  }

  for (const auto& entry : entries) {
    for (const auto& range : *ranges) {
      if (entry.local_offset >= range.offset && entry.local_offset < range.end()) {
        target.headers.push_back({&entry, Bytes(zip_local_header_prefix(entry))});
        break;
      }
    }
  }
  capture_headers(target, known_start, known.data(), known.size());
  for (const auto& range : missing) {
    const Fetched got = fetch(server, remote, target, range.offset, range.length);
    if (got != Fetched::range) return got;
  }
  for (const auto& header : target.headers) {
    if (!zip_local_header_matches(header.bytes, *header.entry)) return Fetched::failed;
  }
  return Fetched::range;
}

}  // namespace

bool fetch_changed_entries(Transport& server, const char* remote_package,
                           const char* local_path, const std::vector<std::string>& entry_names) {
  if (!entry_name_is_safe(remote_package)) return false;
  std::vector<std::string> names;
  for (const auto& name : entry_names) {
    if (!entry_is_directory(name.c_str())) names.push_back(name);
  }

  const std::int64_t remote_size = server.remote_size(remote_package);
  // A package hardly larger than its end is simply fetched whole.
  if (remote_size < 0 || static_cast<std::uint64_t>(remote_size) <= 2 * ZIP_TAIL_SEARCH_SIZE) {
    return false;
  }
  RangeTarget target;
  target.package_size = static_cast<std::uint64_t>(remote_size);
  target.folder = os::folder_of(local_path);
  // The copy claims the package's size: it must fit where the whole package
  // would (a volume without sparse files takes all of it).
  if (!room_for(target.folder, target.package_size)) return false;
  target.file = os::create_sparse(local_path, remote_size);
  if (target.file == os::NO_FILE) return false;

  std::vector<ZipEntryPlace> entries;
  const Fetched fetched = fetch_pieces(server, remote_package, target, names, entries);
  bool ok = os::close(target.file) && fetched != Fetched::failed;
  // libzip must read the very directory the pieces were chosen by, or the
  // copy could yield other bytes than the whole package does.
  if (ok && fetched == Fetched::range) ok = zip_archive_holds_directory(local_path, entries);
  if (!ok) file_delete(local_path);
  return ok;
}

}  // namespace brindax
