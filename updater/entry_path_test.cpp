#include "updater/entry_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "runtime/core/file_transaction.h"

namespace brindax {
namespace {

TEST(EntryPath, NameRules) {
  using P = EntryNameProblem;
  const struct {
    const char* name;
    P problem;
  } cases[] = {
      // Plain names, also ones that only look close to a rule.
      {"Brindax.exe", P::none}, {"data/a.dat", P::none}, {"sub/", P::none}, {"a..b/c", P::none},
      {"..a", P::none}, {"x/..y/z", P::none}, {".hidden", P::none}, {"CONSOLE.txt", P::none},
      {"COM10", P::none}, {"LPT", P::none}, {"xcon", P::none}, {"data/LocalVersion.ver", P::none},
      {"LocalVersion.ver.bak", P::none}, {"caf\xE9.txt", P::none}, {"a.part-1-2", P::none},
      // Leaving the folder: absolute, drive or stream, "..".
      {"/etc/passwd", P::leaves_folder}, {"\\Windows\\x.dll", P::leaves_folder},
      {"C:evil", P::leaves_folder}, {"file.txt:stream", P::leaves_folder}, {"..", P::leaves_folder},
      {"a/../../x", P::leaves_folder}, {"a\\..\\x", P::leaves_folder}, {"CON/../..\\y", P::leaves_folder},
      // The updater's own files, in any case, and the names of its temporaries.
      {"LocalVersion.ver", P::own_file}, {"SERVERVERSION.VER", P::own_file}, {"localversion.SEQ", P::own_file},
      {"a.dll.brindax-old-12-3", P::own_file}, {"sub/x.brindax-new-1-0", P::own_file},
      // Devices, as any component, with or without extension, any case.
      {"CON", P::device_name}, {"nul.txt", P::device_name}, {"sub/Aux.tar.gz", P::device_name},
      {"prn/x", P::device_name}, {"COM1", P::device_name}, {"lpt9.log", P::device_name},
      {"COM0", P::device_name}, {"com\xB9", P::device_name}, {"CONIN$", P::device_name},
      {"conout$.x", P::device_name}, {"NUL .txt", P::device_name},
      // Components that end in a dot or blank, or are empty or ".".
      {"name.", P::bad_ending}, {"name ", P::bad_ending}, {"dir./x", P::bad_ending},
      {"./x", P::bad_ending}, {"a//b", P::bad_ending}, {"a/", P::none}, {"a//", P::bad_ending},
      // Characters Windows refuses.
      {"a<b", P::bad_character}, {"a>b", P::bad_character}, {"a\"b", P::bad_character},
      {"a|b", P::bad_character}, {"?.txt", P::bad_character}, {"*", P::bad_character},
      {"tab\there", P::bad_character}, {"x\x1f", P::bad_character},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(entry_name_problem(c.name), c.problem) << c.name;
    EXPECT_EQ(entry_name_is_safe(c.name), c.problem == P::none) << c.name;
  }
}

TEST(EntryPath, NamesThatLandOnTheSameFileShareAKey) {
  EXPECT_EQ(entry_name_key("Data\\Readme.TXT"), entry_name_key("data/readme.txt"));
  EXPECT_EQ(entry_name_key("\xC9T\xC9.txt"), entry_name_key("\xE9t\xE9.txt"));  // Latin letters too
  EXPECT_NE(entry_name_key("a.txt"), entry_name_key("a.txt "));
  EXPECT_NE(entry_name_key("\xD7"), entry_name_key("\xF7"));  // x and / signs are no letters
}

TEST(EntryPath, FoldersMadeOnTheWayBelongToTheTransaction) {
  namespace fs = std::filesystem;
  fs::path folder = fs::temp_directory_path() / "brindax-entry-folders";
  fs::remove_all(folder);
  fs::create_directories(folder / "kept");
  fs::path saved = fs::current_path();
  fs::current_path(folder);
  {
    FileTransaction transaction;
    EXPECT_TRUE(make_entry_folders("a/b/c.txt", transaction));
    EXPECT_TRUE(fs::is_directory("a/b"));
    EXPECT_FALSE(fs::exists("a/b/c.txt"));
    EXPECT_TRUE(make_entry_folders("kept/d/", transaction));
    EXPECT_TRUE(fs::is_directory("kept/d"));
    // A file where a folder should be.
    { std::FILE* f = std::fopen("plain", "wb"); std::fclose(f); }
    EXPECT_FALSE(make_entry_folders("plain/x.txt", transaction));
  }
  // Not committed: only what was there before is left.
  EXPECT_FALSE(fs::exists("a"));
  EXPECT_FALSE(fs::exists("kept/d"));
  EXPECT_TRUE(fs::is_directory("kept"));
  fs::current_path(saved);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace brindax
