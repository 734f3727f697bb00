#include "pack/zip_layout.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "pack/zip_backend.h"

namespace brindax {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint64_t kEndSize = 22;
constexpr std::uint64_t kZip64LocatorSize = 20;
constexpr std::uint64_t kZip64EndSize = 56;
constexpr std::uint64_t kCentralSize = 46;
constexpr std::uint64_t kLocalSize = 30;
constexpr std::uint16_t kZip64Extra = 0x0001;
constexpr std::uint16_t kUnicodePathExtra = 0x7075;

// Little-endian fields of a byte span; reads past the end fail the reader.
class Reader {
 public:
  explicit Reader(std::span<const unsigned char> bytes) : bytes_(bytes) {}
  bool fits(std::uint64_t at, std::uint64_t n) const {
    return at <= bytes_.size() && n <= bytes_.size() - at;
  }
  std::uint64_t field(std::uint64_t at, int width) const {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes_[at + i];
    return value;
  }
  std::uint16_t u16(std::uint64_t at) const { return static_cast<std::uint16_t>(field(at, 2)); }
  std::uint32_t u32(std::uint64_t at) const { return static_cast<std::uint32_t>(field(at, 4)); }
  std::uint64_t u64(std::uint64_t at) const { return field(at, 8); }
  std::string text(std::uint64_t at, std::uint64_t n) const {
    return std::string(reinterpret_cast<const char*>(bytes_.data() + at), n);
  }
  std::span<const unsigned char> sub(std::uint64_t at, std::uint64_t n) const {
    return bytes_.subspan(at, n);
  }

 private:
  std::span<const unsigned char> bytes_;
};

// Walks the extra field of a header: calls `each(id, data)` per block.
template <typename Each>
bool walk_extra(std::span<const unsigned char> extra, Each each) {
  Reader in(extra);
  std::uint64_t at = 0;
  while (at + 4 <= extra.size()) {
    const std::uint16_t id = in.u16(at);
    const std::uint16_t length = in.u16(at + 2);
    if (!in.fits(at + 4, length)) return false;
    each(id, extra.subspan(at + 4, length));
    at += 4 + length;
  }
  return true;
}

}  // namespace

std::optional<ZipDirectoryPlace> zip_find_directory(std::span<const unsigned char> tail,
                                                    std::uint64_t package_size) {
  if (tail.size() < kEndSize || tail.size() > package_size) return std::nullopt;
  const std::uint64_t tail_start = package_size - tail.size();
  Reader in(tail);
  // Exactly one end record, and its comment ends exactly at the end of the
  // package. libzip weighs every record it finds in the tail against the
  // local headers it can read; a second one (say, hidden in the first one's
  // comment) could lead it to another directory than this one, above all in
  // a copy that holds only some of the package's bytes.
  std::uint64_t at = 0;
  int records = 0;
  for (std::uint64_t i = 0; i + kEndSize <= tail.size(); ++i) {
    if (in.u32(i) == kEndSignature) {
      at = i;
      ++records;
    }
  }
  if (records != 1 || at + kEndSize + in.u16(at + 20) != tail.size()) return std::nullopt;
  if (in.u16(at + 4) != 0 || in.u16(at + 6) != 0) return std::nullopt;  // disk numbers
  ZipDirectoryPlace place{in.u32(at + 16), in.u32(at + 12), in.u16(at + 10)};
  std::uint64_t directory_end = tail_start + at;

  if (at >= kZip64LocatorSize && in.u32(at - kZip64LocatorSize) == kZip64LocatorSignature) {
    const std::uint64_t locator = at - kZip64LocatorSize;
    if (in.u32(locator + 4) != 0 || in.u32(locator + 16) > 1) return std::nullopt;
    const std::uint64_t record = in.u64(locator + 8);
    if (record < tail_start || !in.fits(record - tail_start, kZip64EndSize)) return std::nullopt;
    const std::uint64_t r = record - tail_start;
    if (in.u32(r) != kZip64EndSignature || in.u32(r + 16) != 0 || in.u32(r + 20) != 0) {
      return std::nullopt;
    }
    place = {in.u64(r + 48), in.u64(r + 40), in.u64(r + 32)};
    directory_end = record;
  }
  if (place.offset > directory_end || directory_end - place.offset != place.size) {
    return std::nullopt;
  }
  return place;
}

std::optional<std::vector<ZipEntryPlace>> zip_read_directory(
    std::span<const unsigned char> directory, std::uint64_t count) {
  Reader in(directory);
  std::vector<ZipEntryPlace> entries;
  // Every header takes at least kCentralSize bytes: a count beyond that is a lie.
  if (count > directory.size() / kCentralSize) return std::nullopt;
  entries.reserve(count);
  std::uint64_t at = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!in.fits(at, kCentralSize) || in.u32(at) != kCentralSignature) return std::nullopt;
    const std::uint64_t name_length = in.u16(at + 28);
    const std::uint64_t extra_length = in.u16(at + 30);
    const std::uint64_t comment_length = in.u16(at + 32);
    const std::uint64_t whole = kCentralSize + name_length + extra_length + comment_length;
    if (!in.fits(at, whole)) return std::nullopt;

    ZipEntryPlace entry;
    entry.stored_name = in.text(at + kCentralSize, name_length);
    entry.name = entry.stored_name;
    entry.local_offset = in.u32(at + 42);
    entry.crc = in.u32(at + 16);
    entry.compressed_size = in.u32(at + 20);
    entry.size = in.u32(at + 24);
    std::uint32_t disk = in.u16(at + 34);

    // ZIP64 values stand in the extra field in this order, each only when
    // its header field is saturated.
    const bool wide_sizes[] = {in.u32(at + 24) == 0xFFFFFFFF, in.u32(at + 20) == 0xFFFFFFFF};
    const bool wide_offset = entry.local_offset == 0xFFFFFFFF;
    const bool wide_disk = disk == 0xFFFF;
    bool extra_ok = true;
    const auto extra = in.sub(at + kCentralSize + name_length, extra_length);
    const bool walked = walk_extra(extra, [&](std::uint16_t id, std::span<const unsigned char> data) {
      Reader field(data);
      if (id == kZip64Extra) {
        std::uint64_t p = 0;
        std::uint64_t* const sizes[] = {&entry.size, &entry.compressed_size};
        for (int i = 0; i < 2; ++i) {
          if (!wide_sizes[i]) continue;
          if (!field.fits(p, 8)) extra_ok = false;
          else *sizes[i] = field.u64(p);
          p += 8;
        }
        if (wide_offset) {
          if (!field.fits(p, 8)) extra_ok = false;
          else entry.local_offset = field.u64(p);
          p += 8;
        }
        if (wide_disk) {
          if (!field.fits(p, 4)) extra_ok = false;
          else disk = field.u32(p);
        }
      } else if (id == kUnicodePathExtra && data.size() >= 5 && data[0] == 1) {
        const auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(entry.stored_name.data()),
                  static_cast<uInt>(entry.stored_name.size())));
        if (field.u32(1) == crc) entry.name = field.text(5, data.size() - 5);
      }
    });
    if (!walked || !extra_ok || disk != 0) return std::nullopt;
    entries.push_back(std::move(entry));
    at += whole;
  }
  return entries;
}

std::optional<std::vector<ZipByteRange>> zip_entry_ranges(
    const std::vector<ZipEntryPlace>& entries, std::uint64_t directory_offset,
    const std::vector<std::string>& names, std::uint64_t merge_gap) {
  // Every local header, sorted: an entry's bytes run up to the next one.
  std::vector<std::uint64_t> starts;
  starts.reserve(entries.size() + 1);
  for (const auto& entry : entries) {
    if (entry.local_offset >= directory_offset) return std::nullopt;
    starts.push_back(entry.local_offset);
  }
  starts.push_back(directory_offset);
  std::sort(starts.begin(), starts.end());

  std::vector<ZipByteRange> ranges;
  for (const auto& name : names) {
    std::unique_ptr<char, decltype(&std::free)> utf8(ansi_to_utf8(name.c_str()), &std::free);
    if (!utf8 || *utf8 == '\0') return std::nullopt;
    bool found = false;
    for (const auto& entry : entries) {
      if (entry.name != utf8.get()) continue;
      found = true;
      const std::uint64_t end = *std::upper_bound(starts.begin(), starts.end(), entry.local_offset);
      ranges.push_back({entry.local_offset, end - entry.local_offset});
    }
    if (!found) return std::nullopt;
  }

  std::sort(ranges.begin(), ranges.end(),
            [](const ZipByteRange& a, const ZipByteRange& b) { return a.offset < b.offset; });
  std::vector<ZipByteRange> merged;
  for (const auto& range : ranges) {
    if (!merged.empty() && range.offset <= merged.back().end() + merge_gap) {
      merged.back().length = std::max(merged.back().end(), range.end()) - merged.back().offset;
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

std::uint64_t zip_ranges_total(const std::vector<ZipByteRange>& ranges) {
  std::uint64_t total = 0;
  for (const auto& range : ranges) total += range.length;
  return total;
}

bool zip_fetch_is_worth_it(std::uint64_t bytes, std::uint64_t package_size) {
  return bytes <= package_size / 2;
}

bool zip_archive_holds_directory(const char* path, const std::vector<ZipEntryPlace>& entries) {
  int error = 0;
  std::unique_ptr<zip_t, decltype(&zip_discard)> archive(
      zip_open(zip_backend_archive_path(path).c_str(), ZIP_RDONLY, &error), &zip_discard);
  if (!archive || zip_get_num_entries(archive.get(), 0) != static_cast<zip_int64_t>(entries.size())) {
    return false;
  }
  for (zip_uint64_t i = 0; i < entries.size(); ++i) {
    const ZipEntryPlace& entry = entries[i];
    const char* stored = zip_get_name(archive.get(), i, ZIP_FL_ENC_RAW);
    zip_stat_t stat;
    zip_stat_init(&stat);
    constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC;
    if (stored == nullptr || entry.stored_name != stored ||
        zip_stat_index(archive.get(), i, ZIP_FL_UNCHANGED, &stat) != 0 ||
        (stat.valid & kNeeded) != kNeeded || stat.size != entry.size ||
        stat.comp_size != entry.compressed_size || stat.crc != entry.crc) {
      return false;
    }
  }
  return true;
}

std::uint64_t zip_local_header_prefix(const ZipEntryPlace& entry) {
  return kLocalSize + entry.stored_name.size();
}

bool zip_local_header_matches(std::span<const unsigned char> bytes, const ZipEntryPlace& entry) {
  Reader in(bytes);
  if (!in.fits(0, zip_local_header_prefix(entry)) || in.u32(0) != kLocalSignature) return false;
  return in.u16(26) == entry.stored_name.size() &&
         in.text(kLocalSize, entry.stored_name.size()) == entry.stored_name;
}

}  // namespace brindax
