#include "updater/ranged_package.h"

#include <algorithm>
#include <span>

#include "pack/zip_layout.h"
#include "runtime/core/file.h"
#include "runtime/core/os_file.h"
#include "updater/entry_path.h"

namespace brindax {
namespace {

// Ranges closer than this are fetched as one: a few KiB more on the line
// cost less than one more request.
constexpr std::uint64_t kMergeGap = 4096;

// What a range costs beyond its own bytes: once the range is read the
// client closes the data connection, but what the server had sent by then
// has crossed the line all the same (about a TCP window).
constexpr std::uint64_t kRangeOverhead = 256 * 1024;

using Bytes = std::vector<unsigned char>;

// Where the fetched bytes of a range go: the sparse file, and the local
// headers that are checked afterwards.
struct RangeTarget {
  os::FileHandle file;
  struct Header {
    const ZipEntryPlace* entry;
    Bytes bytes;
  };
  std::vector<Header> headers;
};

bool store_piece(void* context, std::uint64_t offset, const char* data, std::int32_t n) {
  auto* target = static_cast<RangeTarget*>(context);
  const std::uint64_t end = offset + static_cast<std::uint64_t>(n);
  for (auto& header : target->headers) {
    const std::uint64_t start = header.entry->local_offset;
    const std::uint64_t stop = start + header.bytes.size();
    const std::uint64_t from = std::max(start, offset);
    const std::uint64_t to = std::min(stop, end);
    if (from < to) {
      std::copy(data + (from - offset), data + (to - offset), header.bytes.begin() + static_cast<std::ptrdiff_t>(from - start));
    }
  }
  return os::write_at(target->file, static_cast<std::int64_t>(offset), data, n);
}

bool collect(void* context, std::uint64_t, const char* data, std::int32_t n) {
  auto* into = static_cast<Bytes*>(context);
  into->insert(into->end(), data, data + n);
  return true;
}

// Fetches [offset, offset + length) into memory.
bool fetch_bytes(Transport& server, const char* remote, std::uint64_t offset,
                 std::uint64_t length, Bytes& into) {
  into.clear();
  into.reserve(length);
  return server.receive_range(remote, offset, length, collect, &into) == RangeReply::range &&
         into.size() == length;
}

// The ranges, cut off where the bytes already in memory (from `known_start`
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

bool fetch_into_file(Transport& server, const char* remote, const char* local_path,
                     std::uint64_t package_size, std::uint64_t known_start, const Bytes& known,
                     const std::vector<ZipByteRange>& missing,
                     const std::vector<const ZipEntryPlace*>& wanted) {
  RangeTarget target{os::create_sparse(local_path, static_cast<std::int64_t>(package_size)), {}};
  if (target.file == os::NO_FILE) return false;
  for (const ZipEntryPlace* entry : wanted) {
    target.headers.push_back({entry, Bytes(zip_local_header_prefix(*entry))});
  }
  bool ok = store_piece(&target, known_start, reinterpret_cast<const char*>(known.data()),
                        static_cast<std::int32_t>(known.size()));
  for (const auto& range : missing) {
    if (!ok) break;
    ok = server.receive_range(remote, range.offset, range.length, store_piece, &target) == RangeReply::range;
  }
  for (const auto& header : target.headers) {
    ok = ok && zip_local_header_matches(header.bytes, *header.entry);
  }
  ok = os::close(target.file) && ok;
  return ok;
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
  const auto size = static_cast<std::uint64_t>(remote_size);

  // The end of the package as libzip searches it, and the rest of the
  // central directory in front of it when that is larger.
  std::uint64_t known_start = size - ZIP_TAIL_SEARCH_SIZE;
  Bytes known;
  if (!fetch_bytes(server, remote_package, known_start, ZIP_TAIL_SEARCH_SIZE, known)) return false;
  const auto place = zip_find_directory(known, size);
  if (!place || !zip_fetch_is_worth_it(size - std::min(place->offset, known_start), size)) {
    return false;
  }
  if (place->offset < known_start) {
    Bytes front;
    if (!fetch_bytes(server, remote_package, place->offset, known_start - place->offset, front)) {
      return false;
    }
    known.insert(known.begin(), front.begin(), front.end());
    known_start = place->offset;
  }

  const auto directory = std::span<const unsigned char>(known).subspan(
      place->offset - known_start, place->size);
  const auto entries = zip_read_directory(directory, place->entry_count);
  if (!entries) return false;
  const auto ranges = zip_entry_ranges(*entries, place->offset, names, kMergeGap);
  if (!ranges) return false;
  const auto missing = still_missing(*ranges, known_start);
  if (!zip_fetch_is_worth_it(
          known.size() + zip_ranges_total(missing) + kRangeOverhead * missing.size(), size)) {
    return false;
  }

  std::vector<const ZipEntryPlace*> wanted;
  for (const auto& entry : *entries) {
    for (const auto& range : *ranges) {
      if (entry.local_offset >= range.offset && entry.local_offset < range.end()) {
        wanted.push_back(&entry);
        break;
      }
    }
  }
  if (!fetch_into_file(server, remote_package, local_path, size, known_start, known, missing,
                       wanted)) {
    file_delete(local_path);
    return false;
  }
  return true;
}

}  // namespace brindax
