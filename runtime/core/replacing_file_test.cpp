#include "runtime/core/replacing_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "runtime/core/core_test_support.h"
#include "runtime/core/file.h"

namespace brindax {
namespace {

using testing_support::read_all;
using testing_support::ScratchDir;

std::set<std::string> names_in(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class ReplacingFileTest : public testing::Test {
 protected:
  ScratchDir dir;
};

TEST_F(ReplacingFileTest, CommitReplacesTheDestination) {
  const std::string target = dir.write("package.zip", "old content");
  {
    ReplacingFile file;
    ASSERT_TRUE(file.open(target.c_str()));
    EXPECT_TRUE(file.write("new ", 4));
    EXPECT_TRUE(file.write("content", 7));
    // Until the commit the destination is untouched.
    EXPECT_EQ(read_all(target), "old content");
    EXPECT_TRUE(file.commit());
    EXPECT_FALSE(file.is_open());
  }
  EXPECT_EQ(read_all(target), "new content");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"package.zip"});
}

TEST_F(ReplacingFileTest, DurableContentsReplaceWholeOrNotAtAll) {
  const std::string target = dir.write("record", "old record");
  EXPECT_TRUE(replace_contents_durably(target.c_str(), "new record\n"));
  EXPECT_EQ(read_all(target), "new record\n");
  EXPECT_FALSE(replace_contents_durably((dir / "no such folder/record").c_str(), "x"));
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"record"});
}

TEST_F(ReplacingFileTest, CommitCreatesAMissingDestination) {
  const std::string target = dir / "fresh.bin";
  ReplacingFile file;
  ASSERT_TRUE(file.open(target.c_str()));
  EXPECT_TRUE(file.commit());
  EXPECT_EQ(file_size(target.c_str()), 0);
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"fresh.bin"});
}

TEST_F(ReplacingFileTest, DiscardAndDestructionKeepTheOldFile) {
  const std::string target = dir.write("keep.txt", "precious");
  {
    ReplacingFile file;
    ASSERT_TRUE(file.open(target.c_str()));
    file.write("half a downl", 12);
  }  // destroyed without commit
  {
    ReplacingFile file;
    ASSERT_TRUE(file.open(target.c_str()));
    file.write("partial", 7);
    file.discard();
    EXPECT_FALSE(file.commit());
  }
  EXPECT_EQ(read_all(target), "precious");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"keep.txt"});
}

TEST_F(ReplacingFileTest, FailedRenameRemovesTheTemporaryFile) {
  // The destination is a folder: nothing can be put in its place.
  const std::string target = dir / "folder";
  std::filesystem::create_directory(target);
  std::filesystem::create_directory(dir.path() / "folder" / "inside");
  ReplacingFile file;
  ASSERT_TRUE(file.open(target.c_str()));
  file.write("data", 4);
  EXPECT_FALSE(file.commit());
  EXPECT_EQ(file_size(target.c_str()), -2);
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"folder"});
}

TEST_F(ReplacingFileTest, CommitFailsWhileTheDestinationIsHeldOpen) {
  const std::string target = dir.write("busy.txt", "in use");
  const std::intptr_t held = file_open(OBJECT_DYNAMIC, target.c_str());
  ASSERT_NE(held, 0);
  ReplacingFile file;
  ASSERT_TRUE(file.open(target.c_str()));
  file.write("replacement", 11);
  EXPECT_FALSE(file.commit());
  file_close(held);
  EXPECT_EQ(read_all(target), "in use");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"busy.txt"});
}

TEST_F(ReplacingFileTest, OpenFailsWhereNoFileCanBeMade) {
  ReplacingFile file;
  EXPECT_FALSE(file.open((dir / "missing-folder/file").c_str()));
  EXPECT_FALSE(file.open(""));
  EXPECT_FALSE(file.open(nullptr));
  EXPECT_FALSE(file.is_open());
  EXPECT_FALSE(file.write("x", 1));
  EXPECT_FALSE(file.commit());
}

TEST_F(ReplacingFileTest, TakenTemporaryNamesAreSkipped) {
  const std::string target = dir / "t";
  std::string first_temp;
  {
    ReplacingFile probe;
    ASSERT_TRUE(probe.open(target.c_str()));
    const auto names = names_in(dir.path());
    ASSERT_EQ(names.size(), 1u);
    first_temp = *names.begin();
  }
  // The names that the next openings would take, "<name>-<counter>", exist already.
  const std::size_t dash = first_temp.rfind('-');
  const unsigned long counter = std::stoul(first_temp.substr(dash + 1));
  const std::string stem = first_temp.substr(0, dash + 1);
  for (unsigned long next = counter + 1; next <= counter + 3; ++next) {
    dir.write(stem + std::to_string(next), "someone else's");
  }
  ReplacingFile file;
  ASSERT_TRUE(file.open(target.c_str()));
  file.write("mine", 4);
  ASSERT_TRUE(file.commit());
  EXPECT_EQ(read_all(target), "mine");
  for (unsigned long next = counter + 1; next <= counter + 3; ++next) {
    EXPECT_EQ(read_all(dir.path() / (stem + std::to_string(next))), "someone else's");
  }
  EXPECT_EQ(names_in(dir.path()).size(), 4u);
}

}  // namespace
}  // namespace brindax
