// Where a package's end records, directory and entries' bytes lie: checked by
// letting libzip read entries from a copy that holds nothing but the ranges.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <memory>

#include "pack/pack_test_support.h"
#include "pack/zip_backend.h"
#include "pack/zip_layout.h"
#include "pack/zip_layout_test_support.h"

namespace brindax {
namespace {

using testing_support::bytes_of;
using testing_support::expect_entries_read_back;
using testing_support::noise;
using testing_support::ranges_for;
using testing_support::read_file;

// A name as the ZIP backend hands it to libzip.
std::string utf8(const std::string& name) {
  std::unique_ptr<char, decltype(&std::free)> converted(ansi_to_utf8(name.c_str()), &std::free);
  return converted.get();
}

class ZipLayoutTest : public testing_support::PackFolderTest {
 protected:
  // Nine entries of 30000 poorly compressible bytes; one has a name beyond
  // ASCII ("sub/\xe9.txt", stored as UTF-8).
  void SetUp() override {
    PackFolderTest::SetUp();
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 9; ++i) {
      const std::string name = i == 4 ? "sub/\xe9.txt" : "e" + std::to_string(i);
      entries.emplace_back(name, noise(30000, static_cast<std::uint32_t>(i)));
      contents_[utf8(name)] = entries.back().second;
    }
    testing_support::make_archive("p.zip", entries);
    package_ = read_file("p.zip");
  }
  std::map<std::string, std::string> contents(const std::vector<std::string>& utf8_names) {
    std::map<std::string, std::string> chosen;
    for (const auto& name : utf8_names) chosen[name] = contents_.at(name);
    return chosen;
  }
  std::string package_;
  std::map<std::string, std::string> contents_;
};

TEST_F(ZipLayoutTest, RangesHoldTheNamedEntries) {
  struct Case {
    std::vector<std::string> names;        // as the updater names them
    std::vector<std::string> utf8_names;   // as libzip does
    std::size_t ranges;
  };
  const Case cases[] = {
      {{"e2"}, {"e2"}, 1},
      {{"e2", "e1"}, {"e1", "e2"}, 1},  // neighbours merge
      {{"e0", "e6"}, {"e0", "e6"}, 2},
      {{"sub/\xe9.txt"}, {utf8("sub/\xe9.txt")}, 1},
      {{"e8"}, {"e8"}, 1},  // the last entry, inside the fetched end
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.names[0]);
    const auto ranges = ranges_for(package_, c.names);
    ASSERT_TRUE(ranges.has_value());
    EXPECT_EQ(ranges->size(), c.ranges);
    EXPECT_LT(zip_ranges_total(*ranges), 31000 * c.names.size());
    expect_entries_read_back(package_, *ranges, contents(c.utf8_names));
  }
  // A gap up to the merge distance is fetched along.
  EXPECT_EQ(ranges_for(package_, {"e0", "e2"}, 40000)->size(), 1u);
  // A name the directory does not hold, or holds only in another case.
  EXPECT_FALSE(ranges_for(package_, {"e2", "missing"}).has_value());
  EXPECT_FALSE(ranges_for(package_, {"E2"}).has_value());
}

TEST_F(ZipLayoutTest, EndRecordsThatDoNotFitAreRefused) {
  const auto whole = bytes_of(package_);
  ASSERT_TRUE(zip_find_directory(whole, package_.size()).has_value());
  // Cut short, or with bytes in front: the directory is not where the end
  // records say.
  EXPECT_FALSE(zip_find_directory(whole.first(package_.size() - 1), package_.size() - 1));
  const std::string prefixed = "MZ-stub" + package_;
  EXPECT_FALSE(zip_find_directory(bytes_of(prefixed), prefixed.size()));
  const std::string zeros(4096, '\0');
  EXPECT_FALSE(zip_find_directory(bytes_of(zeros), zeros.size()));
  // A comment after the record is fine.
  std::string commented = package_;
  commented[commented.size() - 2] = 5;  // comment length
  commented += "hello";
  const auto place = zip_find_directory(bytes_of(commented), commented.size());
  ASSERT_TRUE(place.has_value());
  EXPECT_EQ(place->entry_count, 9u);
  // A second end record in the comment, even one whose own comment does not
  // reach the end: libzip weighs every one, so the end is ambiguous.
  std::string doubled = package_;
  const std::string record = package_.substr(package_.size() - 22);
  doubled[doubled.size() - 2] = 22 + 4;
  doubled += record + "tail";
  EXPECT_FALSE(zip_find_directory(bytes_of(doubled), doubled.size()));
}

TEST_F(ZipLayoutTest, LibzipReadsTheParsedDirectoryOrNot) {
  const auto place = zip_find_directory(bytes_of(package_), package_.size());
  auto entries =
      zip_read_directory(bytes_of(package_).subspan(place->offset, place->size), place->entry_count);
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ((*entries)[2].size, 30000u);
  EXPECT_TRUE(zip_archive_holds_directory("p.zip", *entries));
  auto changed = *entries;
  changed[4].crc ^= 1;
  EXPECT_FALSE(zip_archive_holds_directory("p.zip", changed));
  changed = *entries;
  std::swap(changed[1], changed[2]);
  EXPECT_FALSE(zip_archive_holds_directory("p.zip", changed));
  changed = *entries;
  changed.pop_back();
  EXPECT_FALSE(zip_archive_holds_directory("p.zip", changed));
  EXPECT_FALSE(zip_archive_holds_directory("missing.zip", *entries));
}

TEST_F(ZipLayoutTest, LocalHeaderTellsWhetherBytesComeFromThisPackage) {
  const auto place = zip_find_directory(bytes_of(package_), package_.size());
  const auto entries =
      zip_read_directory(bytes_of(package_).subspan(place->offset, place->size), place->entry_count);
  ASSERT_TRUE(entries.has_value());
  const ZipEntryPlace& e3 = (*entries)[3];
  EXPECT_TRUE(zip_local_header_matches(bytes_of(package_).subspan(e3.local_offset), e3));
  EXPECT_FALSE(zip_local_header_matches(bytes_of(package_).subspan(e3.local_offset + 1), e3));
  EXPECT_FALSE(zip_local_header_matches(bytes_of(package_).subspan((*entries)[2].local_offset), e3));
  EXPECT_FALSE(zip_local_header_matches(bytes_of(package_).subspan(e3.local_offset, 20), e3));
}

// A ZIP64 package written by hand: the local header offset only in the ZIP64
// extra field, and an Info-ZIP Unicode path that libzip takes as the name.
TEST(ZipLayoutZip64Test, OffsetFromTheZip64FieldAndTheUnicodeName) {
  std::string z;
  auto put = [&](std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) z += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  const std::string data = "hello", stored = "a", unicode = utf8("\xe4.txt");
  const auto crc = [](const std::string& s) {
    return crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size()));
  };
  z += std::string(100, 'x');  // something in front of the entry, inside the package
  const std::uint64_t local = z.size();
  put(0x04034b50, 4), put(20, 2), put(0, 2), put(0, 2), put(0, 4), put(crc(data), 4);
  put(5, 4), put(5, 4), put(1, 2), put(0, 2);
  z += stored + data;
  const std::uint64_t directory = z.size();
  put(0x02014b50, 4), put(45, 2), put(45, 2), put(0, 2), put(0, 2), put(0, 4), put(crc(data), 4);
  put(5, 4), put(5, 4), put(1, 2), put(12 + 4 + 5 + unicode.size(), 2), put(0, 2), put(0, 2);
  put(0, 2), put(0, 4), put(0xFFFFFFFF, 4);
  z += stored;
  put(0x0001, 2), put(8, 2), put(local, 8);
  put(0x7075, 2), put(5 + unicode.size(), 2), put(1, 1), put(crc(stored), 4);
  z += unicode;
  const std::uint64_t record = z.size();
  put(0x06064b50, 4), put(44, 8), put(45, 2), put(45, 2), put(0, 4), put(0, 4), put(1, 8);
  put(1, 8), put(record - directory, 8), put(directory, 8);
  put(0x07064b50, 4), put(0, 4), put(record, 8), put(1, 4);
  put(0x06054b50, 4), put(0, 2), put(0, 2), put(0xFFFF, 2), put(0xFFFF, 2);
  put(0xFFFFFFFF, 4), put(0xFFFFFFFF, 4), put(0, 2);

  const auto place = zip_find_directory(bytes_of(z), z.size());
  ASSERT_TRUE(place.has_value());
  EXPECT_EQ(place->offset, directory);
  EXPECT_EQ(place->entry_count, 1u);
  const auto entries = zip_read_directory(bytes_of(z).subspan(directory, place->size), 1);
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ((*entries)[0].local_offset, local);
  EXPECT_EQ((*entries)[0].name, unicode);
  EXPECT_EQ((*entries)[0].crc, crc(data));
  EXPECT_EQ((*entries)[0].compressed_size, 5u);
  const auto ranges = zip_entry_ranges(*entries, directory, {"\xe4.txt"}, 0);
  ASSERT_TRUE(ranges.has_value());
  EXPECT_EQ(*ranges, (std::vector<ZipByteRange>{{local, directory - local}}));
  // libzip agrees on the name and finds the data there.
  testing_support::expect_entries_read_back(z, *ranges, {{unicode, data}});
  // A directory cut short is refused.
  EXPECT_FALSE(zip_read_directory(bytes_of(z).subspan(directory, place->size - 1), 1));
}

}  // namespace
}  // namespace brindax
