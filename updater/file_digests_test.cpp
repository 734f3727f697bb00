#include "updater/file_digests.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace brindax {
namespace {

namespace fs = std::filesystem;

std::string hex(const Digest256& digest) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (const auto byte : digest) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

TEST(FileDigests, KnownDigestsAndFilesThatAreNone) {
  const fs::path folder = fs::temp_directory_path() / ("brindax-digests-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder / "sub");
  const std::string big(3 * 256 * 1024 + 7, 'z');  // more than one read block
  std::ofstream(folder / "abc", std::ios::binary) << "abc";
  std::ofstream(folder / "empty", std::ios::binary);
  std::ofstream(folder / "big", std::ios::binary) << big;

  // BLAKE2b-256 test values (b2sum -l 256).
  const std::vector<std::string> names = {"abc", "empty", "missing", "sub", "big"};
  std::vector<std::string> paths;
  for (const auto& name : names) paths.push_back((folder / name).string());
  const auto digests = digest_files(paths);
  ASSERT_EQ(digests.size(), names.size());
  ASSERT_TRUE(digests[0] && digests[1] && digests[4]);
  EXPECT_EQ(hex(*digests[0]), "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");
  EXPECT_EQ(hex(*digests[1]), "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8");
  EXPECT_FALSE(digests[2]) << "no file";
  EXPECT_FALSE(digests[3]) << "a folder";
  EXPECT_EQ(*digests[4], content_digest(big));
  fs::remove_all(folder);
}

}  // namespace
}  // namespace brindax
