// Shared pieces of the pack tests: a fresh working folder per test and
// archives made with the backend's own writer or with Info-ZIP's zip.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "pack/pack.h"

namespace brindax::testing_support {

// Each test runs in its own empty current directory, removed afterwards.
class PackFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::filesystem::path folder_;

 private:
  std::filesystem::path previous_;
};

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);
// Names in a folder, sorted (shows left-over temporary files).
std::vector<std::string> folder_names(const std::filesystem::path& folder);
// Bytes that deflate poorly, so entries stay large inside the archive.
std::string noise(std::size_t size, std::uint32_t seed);

// An archive written by the backend's create / add memory / close.
void make_archive(const char* path, const std::vector<std::pair<std::string, std::string>>& entries);
// Runs Info-ZIP's zip in `folder` with the given arguments ("[-r] archive
// names..."); its exit code. The Windows tests do the same with libzip.
int run_zip(const std::filesystem::path& folder, const std::string& arguments);
// The current entry's name of a pack.
std::string entry_name(ObjectId pack);

}  // namespace brindax::testing_support
