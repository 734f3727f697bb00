#include "updater/entry_path.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace brindax {
namespace {

TEST(EntryPath, NamesThatStayInsideTheFolder) {
  for (const char* name : {"Brindax.exe", "data/a.dat", "sub/", "a..b/c", "..a", "x/..y/z", "./x", ""}) {
    EXPECT_TRUE(entry_name_is_safe(name)) << name;
  }
}

TEST(EntryPath, NamesThatWouldLeaveTheFolder) {
  for (const char* name : {"/etc/passwd", "\\Windows\\x.dll", "C:evil", "c:\\x", "file.txt:stream",
                           "..", "../x", "a/../../x", "a\\..\\x", "a/..", "sub/../..\\y"}) {
    EXPECT_FALSE(entry_name_is_safe(name)) << name;
  }
}

TEST(EntryPath, DirectoryEntries) {
  EXPECT_TRUE(entry_is_directory("sub/"));
  EXPECT_TRUE(entry_is_directory("a/b/"));
  EXPECT_FALSE(entry_is_directory("sub/file"));
  EXPECT_FALSE(entry_is_directory(""));
}

TEST(EntryPath, MakesTheFoldersOnTheWay) {
  namespace fs = std::filesystem;
  fs::path folder = fs::temp_directory_path() / "brindax-entry-folders";
  fs::remove_all(folder);
  fs::create_directories(folder);
  fs::path saved = fs::current_path();
  fs::current_path(folder);
  EXPECT_TRUE(make_entry_folders("a/b/c.txt"));
  EXPECT_TRUE(fs::is_directory("a/b"));
  EXPECT_FALSE(fs::exists("a/b/c.txt"));
  EXPECT_TRUE(make_entry_folders("d//e/"));
  EXPECT_TRUE(fs::is_directory("d/e"));
  EXPECT_TRUE(make_entry_folders("top.txt"));
  // A file where a folder should be.
  { std::FILE* f = std::fopen("plain", "wb"); std::fclose(f); }
  EXPECT_FALSE(make_entry_folders("plain/x.txt"));
  fs::current_path(saved);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace brindax
