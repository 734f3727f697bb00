#include "updater/version_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "runtime/core/file.h"
#include "runtime/core/strings.h"

namespace brindax {
namespace {

// The check's comparison as the field rules state it: count the LFs, then
// ask for line i and field 2 of each list from the start every time.
std::int32_t compare_by_fields(const char* local, const char* server) {
  std::int32_t nl = string_count(local, "\n");
  if (nl != string_count(server, "\n")) return 1;
  for (std::int32_t i = 2; i <= nl + 1; ++i) {
    StackMark mark;
    std::string a = version_field(version_line(local, i, mark.offset()), 2, mark.offset());
    std::string b = version_field(version_line(server, i, mark.offset()), 2, mark.offset());
    if (a != b) return 2;
  }
  return 0;
}

// The installed list as the arriving comparison reads it: `read` bytes at a
// time (all the bytes it was asked for counted in `bytes_read`).
struct Installed {
  std::string text;
  std::size_t read = std::size_t{1} << 20;
  std::size_t at = 0;
  std::size_t bytes_read = 0;

  ArrivingListComparison comparison() {
    return ArrivingListComparison(
        [this](char* into, std::size_t size) {
          const std::size_t n = std::min({size, read, text.size() - at});
          std::copy_n(text.data() + at, n, into);
          at += n;
          bytes_read += n;
          return n;
        },
        [this] { at = 0; });
  }
  std::int32_t answer(ArrivingListComparison& arriving) { return arriving.answer(); }
};

// The arriving comparison over `server` handed over in pieces of `piece`
// bytes.
std::int32_t compare_arriving(Installed& local, const std::string& server, std::size_t piece) {
  ArrivingListComparison arriving = local.comparison();
  arriving.restart();  // before any byte: nothing to forget
  for (std::size_t from = 0; from < server.size(); from += piece) {
    arriving.take(std::string_view(server).substr(from, piece));
  }
  return local.answer(arriving);
}

// Both lists as files hold them (either may hold a 0 byte, which ends its
// text); every way of comparing them must give the same answer.
std::int32_t compare(const std::string& local, const std::string& server) {
  std::int32_t fast = compare_version_lists(local.c_str(), server.c_str());
  EXPECT_EQ(fast, compare_by_fields(local.c_str(), server.c_str()))
      << "local: " << local << "\nserver: " << server;
  for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 20}) {
    for (const std::size_t read : {std::size_t{1}, std::size_t{4}, std::size_t{1} << 20}) {
      Installed installed{local, read};
      EXPECT_EQ(compare_arriving(installed, server, piece), fast)
          << "pieces of " << piece << ", reads of " << read << "\nlocal: " << local
          << "\nserver: " << server;
    }
  }
  return fast;
}

TEST(VersionListCompare, ExitCodesForTypicalListPairs) {
  const std::string base = "Brindax.zip\nBrindax.exe@1.0\ndata/a.dat@7\n";
  EXPECT_EQ(compare(base, base), 0);
  EXPECT_EQ(compare(base, base + "new.txt@1\n"), 1);  // one more line, whatever the versions
  EXPECT_EQ(compare(base, "Brindax.zip\nBrindax.exe@1.0\ndata/a.dat@8\n"), 2);
  EXPECT_EQ(compare(base, "Other.zip\nBrindax.exe@1.0\ndata/a.dat@7\n"), 0);  // package name
  EXPECT_EQ(compare(base, "Brindax.zip\nRenamed.exe@1.0\ndata/b.dat@7\n"), 0);  // entry names
  EXPECT_EQ(compare("Brindax.zip\nBrindax.exe@1.0@x\n", "Brindax.zip\nBrindax.exe@1.0@y\n"), 0);
}

TEST(VersionListCompare, LineEndsAndShortLists) {
  // CR LF against LF: same line count, but every CR-ended version differs.
  EXPECT_EQ(compare("P\r\na@1\r\nb@2", "P\na@1\nb@2"), 2);
  EXPECT_EQ(compare("P\r\na@1\r\nb@2", "P\r\na@1\r\nb@2"), 0);
  // Single lines without LF: nothing compared.
  EXPECT_EQ(compare("One.zip", "Two.zip"), 0);
  // An empty local list against a list holding an LF, or not.
  EXPECT_EQ(compare("", "P\na@1"), 1);
  EXPECT_EQ(compare("", "P"), 0);
  // A record without "@" has the empty version.
  EXPECT_EQ(compare("P\nfile", "P\nfile@"), 0);
  EXPECT_EQ(compare("P\nfile", "P\nfile@1"), 2);
  // Only the last line differs.
  EXPECT_EQ(compare("P\na@1\nb@1\nc@1\n", "P\na@1\nb@1\nc@1x\n"), 2);
  // One list is the other cut short, or ended early by a 0 byte.
  EXPECT_EQ(compare("P\na@1\nb@1\n", "P\na@1\n"), 1);
  EXPECT_EQ(compare("P\na@1\n", "P\na@1\nb@1\n"), 1);
  EXPECT_EQ(compare("P\na@1\n", std::string("P\na@1\n\0b@1\n", 12)), 0);
  EXPECT_EQ(compare(std::string("P\na@1\n\0b@1\n", 12), "P\na@1\nb@1\n"), 1);
}

TEST(VersionListCompare, AnUnchangedListIsComparedAsItArrivesWithoutKeepingIt) {
  std::string list = "Brindax.zip\n";
  for (int i = 0; i < 20000; ++i) list += "data/file" + std::to_string(i) + ".txt@" + std::to_string(i * 7) + "\n";
  std::string changed = list;
  changed[changed.size() - 2] = 'x';
  Installed same{list, 131072};
  EXPECT_EQ(compare_arriving(same, "Other.zip" + list.substr(list.find('\n')), 16384), 0);
  EXPECT_EQ(same.bytes_read, list.size());
  // Differing from the first record or the last, or in every entry name but
  // no version, the installed list is read once through and neither list is
  // kept.
  std::string first_changed = list;
  first_changed[list.find('@') + 1] = 'x';
  std::string renamed = list;
  for (std::size_t at = renamed.find("file"); at != std::string::npos; at = renamed.find("file", at)) renamed[at + 1] = 'y';
  const std::pair<std::string, std::int32_t> servers[] = {
      {changed, 2}, {first_changed, 2}, {renamed, 0}, {renamed + "late@1\n", 1}};
  for (const auto& [server, expected] : servers) {
    Installed other{list, 131072};
    ArrivingListComparison arriving = other.comparison();
    for (std::size_t from = 0; from < server.size(); from += 16384) {
      arriving.take(std::string_view(server).substr(from, 16384));
    }
    const std::int32_t got = arriving.answer();
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got, compare_version_lists(list.c_str(), server.c_str()));
    EXPECT_EQ(other.bytes_read, list.size());
    EXPECT_LE(arriving.held_bytes(), std::size_t{256} << 10);
  }
}

TEST(VersionListCompare, AListThatArrivesAgainIsJudgedOnItsLastArrival) {
  const std::string local = "P\na@1\nb@1\n";
  for (const std::string& last : {local, std::string("P\na@1\nb@2\n"), std::string("P\na@1\n")}) {
    Installed installed{local};
    ArrivingListComparison arriving = installed.comparison();
    arriving.take("P\nz@9\n");  // cut short, then sent again whole
    arriving.restart();
    arriving.take(last);
    EXPECT_EQ(installed.answer(arriving), compare_version_lists(local.c_str(), last.c_str())) << last;
  }
}

TEST(VersionListCompare, AgreesWithTheFieldRulesOnRandomLists) {
  std::mt19937 random(20261207);
  const char alphabet[] = {'a', '@', '\n', '\r', '1', '2', '@', '\n'};
  for (int round = 0; round < 3000; ++round) {
    std::string local, server;
    int length = static_cast<int>(random() % 24);
    for (int i = 0; i < length; ++i) local += alphabet[random() % sizeof alphabet];
    server = local;
    for (int edits = static_cast<int>(random() % 3); edits > 0 && !server.empty(); --edits) {
      server[random() % server.size()] = alphabet[random() % sizeof alphabet];
    }
    compare(local, server);
  }
}

TEST(VersionListFields, WalkerAndFieldsMatchLineAndFieldOperations) {
  const char* text = "Pkg.zip\r\nx@1@extra\n\n@\nname@@v\nlast";
  ListLines lines(text);
  for (std::int32_t i = 1; i <= 8; ++i) {
    std::string_view line = lines.next();
    StackMark mark;
    std::string expected_line = version_line(text, i, mark.offset());
    EXPECT_EQ(line, expected_line) << "line " << i;
    for (std::int32_t k = 0; k <= 4; ++k) {
      StackMark inner;
      std::string expected_field = version_field(expected_line.c_str(), k, inner.offset());
      EXPECT_EQ(record_field(line, k), expected_field) << "line " << i << " field " << k;
    }
  }
}

class VersionListFile : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("brindax-list-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string path(const char* name) const { return (folder_ / name).string(); }
  std::filesystem::path folder_;
};

TEST_F(VersionListFile, ReadsWholeTextAndDoesNotCreateAMissingList) {
  std::string missing = path("LocalVersion.ver");
  {
    StackMark mark;
    EXPECT_STREQ(read_version_list(missing.c_str(), mark.offset()), "");
  }
  EXPECT_FALSE(std::filesystem::exists(missing));

  std::FILE* f = std::fopen(missing.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite("Brindax.zip\r\nBrindax.exe@2\n\0tail", 1, 31, f);
  std::fclose(f);
  StackMark mark;
  EXPECT_STREQ(read_version_list(missing.c_str(), mark.offset()), "Brindax.zip\r\nBrindax.exe@2\n");
}

}  // namespace
}  // namespace brindax
