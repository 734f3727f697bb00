// Where things lie inside a ZIP package, read from its bytes alone: the end
// records, the central directory and the byte ranges that hold given
// entries. Pure functions over bytes; they let a partial update fetch only
// the pieces of a package that it unpacks. Reading the entries themselves
// (decompression, checksums) stays with libzip.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brindax {

// Bytes at the end of a package that hold its end records whatever its
// comment: the end of central directory record (22 bytes and at most 65535
// of comment) and the ZIP64 locator (20) in front of it. libzip searches
// this much of the end for the record.
inline constexpr std::uint64_t ZIP_TAIL_SEARCH_SIZE = 65535 + 22 + 20;

// Bytes [offset, offset + length) of a package.
struct ZipByteRange {
  std::uint64_t offset;
  std::uint64_t length;
  std::uint64_t end() const { return offset + length; }
  bool operator==(const ZipByteRange&) const = default;
};

// The central directory as the end records place it.
struct ZipDirectoryPlace {
  std::uint64_t offset;  // its first header; also where the entries' bytes end
  std::uint64_t size;
  std::uint64_t entry_count;
};

// Finds the end records in `tail`, the last tail.size() bytes of a package of
// `package_size` bytes: the end of central directory record whose comment
// runs exactly to the end, and for a ZIP64 package the locator and the ZIP64
// record (which must lie inside the tail). Nothing when there is no such
// record or more than one end record signature (ambiguous: libzip might
// choose another), the archive spans disks, or the directory does not end
// right where the end records begin (a package with bytes in front of or
// between its parts, or one that changed size).
std::optional<ZipDirectoryPlace> zip_find_directory(std::span<const unsigned char> tail,
                                                    std::uint64_t package_size);

// One central directory header.
struct ZipEntryPlace {
  std::string stored_name;  // the name bytes as stored (the local header repeats them)
  std::string name;         // the name libzip looks entries up by (see below)
  std::uint64_t local_offset;
  std::uint32_t crc = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t size = 0;
};

// Parses `count` headers from `directory`, the central directory's bytes.
// The looked-up name is the Info-ZIP Unicode path of the header's extra field
// when that field belongs to the stored name (its CRC matches), else the
// stored name, as libzip does. Nothing when a header is malformed or runs
// past the bytes given, or an entry lies on another disk.
std::optional<std::vector<ZipEntryPlace>> zip_read_directory(
    std::span<const unsigned char> directory, std::uint64_t count);

// The bytes that hold the entries named `names` (named as the updater names
// them: 8-bit text, converted to UTF-8 as the ZIP backend converts it): from
// each entry's local header up to the next local header or the central
// directory at `directory_offset`, so its data and any data descriptor too.
// An entry stored twice contributes both copies. Ranges are sorted, and
// merged when they overlap or the gap between them is at most `merge_gap`
// bytes. Nothing when a name is in no header (libzip may still find it
// through a CP437 name; the caller then takes the whole package), or a local
// header lies at or behind the central directory.
std::optional<std::vector<ZipByteRange>> zip_entry_ranges(
    const std::vector<ZipEntryPlace>& entries, std::uint64_t directory_offset,
    const std::vector<std::string>& names, std::uint64_t merge_gap);

// The bytes the ranges cover together.
std::uint64_t zip_ranges_total(const std::vector<ZipByteRange>& ranges);

// Whether fetching `bytes` of a package of `package_size` bytes is worth it
// over fetching it whole: at most half the package.
bool zip_fetch_is_worth_it(std::uint64_t bytes, std::uint64_t package_size);

// Whether libzip, opening the archive file at `path` (an 8-bit file name),
// reads exactly the directory `entries` came from: the same entries in the
// same order, each with the same stored name, sizes and CRC. What a partial
// update checks before it trusts its sparse copy of a package.
bool zip_archive_holds_directory(const char* path, const std::vector<ZipEntryPlace>& entries);

// Whether `bytes`, read from an entry's local header offset, begin with a
// local file header that carries the entry's stored name: the sign that the
// bytes come from the package the directory was read from.
bool zip_local_header_matches(std::span<const unsigned char> bytes, const ZipEntryPlace& entry);

// Bytes of the local header up to and with the name: what
// zip_local_header_matches needs.
std::uint64_t zip_local_header_prefix(const ZipEntryPlace& entry);

}  // namespace brindax
