// The check behind the layout tests: a copy of a package that holds only
// its end and the ranges computed for some entries (zeros elsewhere), opened
// with libzip, must give those entries whole, CRC checked.
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "pack/zip_layout.h"

namespace brindax::testing_support {

inline std::span<const unsigned char> bytes_of(const std::string& text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// The ranges for `names` as the partial update computes them from the
// package's end; nothing when the layout functions give up.
inline std::optional<std::vector<ZipByteRange>> ranges_for(const std::string& package,
                                                           const std::vector<std::string>& names,
                                                           std::uint64_t merge_gap = 0) {
  const std::uint64_t tail = std::min<std::uint64_t>(package.size(), ZIP_TAIL_SEARCH_SIZE);
  const auto place = zip_find_directory(bytes_of(package).last(tail), package.size());
  if (!place) return std::nullopt;
  const auto entries =
      zip_read_directory(bytes_of(package).subspan(place->offset, place->size), place->entry_count);
  if (!entries) return std::nullopt;
  return zip_entry_ranges(*entries, place->offset, names, merge_gap);
}

// Reads every `expected` entry (by its 8-bit name, stored as UTF-8) from the
// sparse copy made of the package's end and `ranges`.
inline void expect_entries_read_back(const std::string& package,
                                     const std::vector<ZipByteRange>& ranges,
                                     const std::map<std::string, std::string>& expected) {
  std::string copy(package.size(), '\0');
  const std::size_t tail = std::min<std::size_t>(package.size(), ZIP_TAIL_SEARCH_SIZE);
  copy.replace(package.size() - tail, tail, package, package.size() - tail, tail);
  for (const auto& range : ranges) copy.replace(range.offset, range.length, package, range.offset, range.length);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(copy.data(), copy.size(), 0, &error);
  ASSERT_NE(source, nullptr);
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
  ASSERT_NE(archive, nullptr);
  for (const auto& [name, content] : expected) {
    zip_file_t* file = zip_fopen(archive, name.c_str(), 0);
    ASSERT_NE(file, nullptr) << name;
    std::string got(content.size() + 1, '\0');
    const zip_int64_t n = zip_fread(file, got.data(), got.size());
    zip_fclose(file);
    EXPECT_EQ(n, static_cast<zip_int64_t>(content.size())) << name;
    got.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    EXPECT_TRUE(got == content) << name;
  }
  zip_close(archive);
}

}  // namespace brindax::testing_support
