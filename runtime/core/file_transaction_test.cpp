#include "runtime/core/file_transaction.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <vector>
#include <string>

#include "runtime/core/core_test_support.h"
#include "runtime/core/os_file.h"

namespace brindax {
namespace {

namespace fs = std::filesystem;
using testing_support::read_all;
using testing_support::ScratchDir;

class FileTransactionTest : public testing::Test {
 protected:
  // Every file and folder below the scratch folder with its content.
  std::map<std::string, std::string> content() const {
    std::map<std::string, std::string> found;
    for (const auto& item : fs::recursive_directory_iterator(dir.path())) {
      const std::string name = fs::relative(item.path(), dir.path()).generic_string();
      found[item.is_directory() ? name + "/" : name] = item.is_directory() ? "" : read_all(item.path());
    }
    return found;
  }
  // Stages `data` for `name` in the scratch folder.
  bool stage(FileTransaction& transaction, const std::string& name, const std::string& data) {
    const std::string& path = transaction.stage((dir / name).c_str());
    if (path.empty()) return false;
    dir.write(fs::path(path).lexically_relative(dir.path()).string(), data);
    return true;
  }

  ScratchDir dir;
};

TEST_F(FileTransactionTest, CommitPutsEverythingInPlaceAndDeletesTheReplacedFiles) {
  dir.write("a.txt", "old a");
  FileTransaction transaction;
  ASSERT_TRUE(transaction.make_folder((dir / "sub").c_str()));
  ASSERT_TRUE(stage(transaction, "a.txt", "new a"));
  ASSERT_TRUE(stage(transaction, "sub/b.txt", "new b"));
  EXPECT_EQ(read_all(dir / "a.txt"), "old a");  // nothing replaced before the commit
  std::string failed;
  ASSERT_TRUE(transaction.commit(&failed));
  transaction.rollback();  // nothing left to undo
  EXPECT_EQ(content(), (std::map<std::string, std::string>{
                           {"a.txt", "new a"}, {"sub/", ""}, {"sub/b.txt", "new b"}}));
}

TEST_F(FileTransactionTest, WithoutCommitTheFolderStaysAsItWas) {
  dir.write("a.txt", "old a");
  const auto before = content();
  {
    FileTransaction transaction;
    ASSERT_TRUE(transaction.make_folder((dir / "new").c_str()));
    ASSERT_TRUE(transaction.make_folder((dir / "new/deeper").c_str()));
    ASSERT_TRUE(stage(transaction, "new/deeper/c.txt", "c"));
    ASSERT_TRUE(stage(transaction, "a.txt", "new a"));
    dir.write("server.list", "list");
    transaction.adopt((dir / "server.list").c_str(), (dir / "a.list").c_str());
  }
  EXPECT_EQ(content(), before);
}

// No process has this id: Linux ids stay below 2^22, and Windows ids are
// multiples of 4 handed out from the bottom.
const std::string kEnded = "4194305";
const std::string kRunning = std::to_string(os::process_id());

TEST_F(FileTransactionTest, LeftoversOfEndedRunsAreRestoredOrRemovedOthersStay) {
  ASSERT_TRUE(os::process_has_ended(std::stoul(kEnded)));
  ASSERT_FALSE(os::process_has_ended(os::process_id()));
  dir.write("x.dll.brindax-old-" + kEnded + "-3", "old x");  // the only copy left
  fs::create_directory(dir.path() / "sub");
  dir.write("sub/y", "new y");
  dir.write("sub/y.brindax-old-" + kEnded + "-0", "old y");
  dir.write("z.brindax-new-" + kEnded + "-2", "");
  dir.write("keep.brindax-old-1", "");
  dir.write("keep.brindax-old-a-1", "");
  dir.write("keep.brindax-new-" + kRunning + "-2", "");  // a running install's
  dir.write("gone.brindax-old-" + kRunning + "-5", "");
  FileTransaction::remove_leftovers(dir.path().string().c_str());
  EXPECT_EQ(content(), (std::map<std::string, std::string>{
                           {"gone.brindax-old-" + kRunning + "-5", ""},
                           {"keep.brindax-new-" + kRunning + "-2", ""},
                           {"keep.brindax-old-1", ""},
                           {"keep.brindax-old-a-1", ""},
                           {"sub/", ""},
                           {"sub/y", "new y"},
                           {"x.dll", "old x"}}));
}

TEST_F(FileTransactionTest, JournalTextRoundTripsAndOnlyCompleteJournalsParse) {
  const Journal journal = {{{"a b.exe", "a b.exe.brindax-new-1-0", "k", "s", "2049:1234"},
                            {"sub/c", "sub/c.brindax-new-1-1", "", "", ""}},
                           {"sub"}};
  const std::optional<std::string> text = journal_text(journal);
  ASSERT_TRUE(text);
  EXPECT_EQ(parse_journal(*text), journal);
  const std::string heading = text->substr(0, text->find('\n') + 1);
  for (const std::string& bad : {text->substr(0, text->size() - 1), text->substr(0, text->rfind("end")),
                                 "x" + *text, heading + "a\tb\tk\ts\nend\n", heading + "a\tb\tk\t\t\nend\n",
                                 heading + "sub\na\tb\t\t\t\nend\n", heading + "\tb\t\t\t\nend\n",
                                 std::string()}) {
    EXPECT_FALSE(parse_journal(bad)) << bad;
  }
  EXPECT_FALSE(journal_text({{{"a\tb", "t", "", ""}}, {}}));
  EXPECT_FALSE(journal_text({{{"a", "t\n", "", ""}}, {}}));
  EXPECT_FALSE(journal_text({{}, {"new\nfolder"}}));
}

// The states a commit of {a: replaced, b: new, list: replaced} leaves when
// its process dies, as the next run's recover() finds them.
TEST_F(FileTransactionTest, RecoveryCompletesOrUndoesAKilledCommit) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> files;  // besides the journal
    bool completed;
    std::string other_b = {};  // what another run put at b after the move
  };
  const std::string n = ".brindax-new-" + kEnded + "-";
  const std::string o = ".brindax-old-" + kEnded + "-";
  const std::map<std::string, std::string> old_state = {{"a", "old a"}, {"list", "old list"}};
  const std::map<std::string, std::string> new_state = {{"a", "new a"}, {"b", "new b"}, {"list", "new list"}};
  const std::vector<Case> cases = {
      {"before the first move",
       {{"a", "old a"}, {"list", "old list"}, {"a" + n + "0", "new a"}, {"b" + n + "1", "new b"},
        {"list" + n + "2", "new list"}},
       false},
      {"a second name of the old a made, a not replaced yet",
       {{"a", "old a"}, {"a" + o + "10", "old a"}, {"list", "old list"}, {"a" + n + "0", "new a"},
        {"b" + n + "1", "new b"}, {"list" + n + "2", "new list"}},
       false},
      {"a replaced, its old file kept",
       {{"a", "new a"}, {"a" + o + "10", "old a"}, {"list", "old list"}, {"b" + n + "1", "new b"},
        {"list" + n + "2", "new list"}},
       false},
      {"between a renamed aside and the new a renamed in",
       {{"a" + o + "11", "old a"}, {"a" + n + "0", "new a"}, {"list", "old list"}, {"b" + n + "1", "new b"},
        {"list" + n + "2", "new list"}},
       false},
      {"a and b moved, the list not yet",
       {{"a", "new a"}, {"a" + o + "10", "old a"}, {"b", "new b"}, {"list", "old list"},
        {"list" + n + "2", "new list"}},
       false},
      {"b moved, then replaced by another run",
       {{"a", "new a"}, {"a" + o + "10", "old a"}, {"b", "new b"}, {"list", "old list"},
        {"list" + n + "2", "new list"}},
       false,
       "another run's b"},
      {"everything moved, old files not yet deleted",
       {{"a", "new a"}, {"a" + o + "10", "old a"}, {"b", "new b"}, {"list", "new list"},
        {"list" + o + "12", "old list"}},
       true},
  };
  for (const Case& test : cases) {
    std::filesystem::remove_all(dir.path());
    fs::create_directories(dir.path());
    for (const auto& [name, data] : test.files) dir.write(name, data);
    const std::string b_identity = os::file_identity((dir / "b").c_str());
    if (!test.other_b.empty()) {
      dir.write("b.other", test.other_b);
      fs::rename(dir.path() / "b.other", dir.path() / "b");
    }
    fs::create_directory(dir.path() / "made");  // for files not moved yet
    const Journal journal = {
        {{dir / "a", dir / ("a" + n + "0"), dir / ("a" + o + "10"), dir / ("a" + o + "11")},
         {dir / "b", dir / ("b" + n + "1"), "", "", b_identity},
         {dir / "list", dir / ("list" + n + "2"), dir / ("list" + o + "12"), dir / ("list" + o + "13")}},
        {dir / "made"}};
    dir.write("commit.brindax-journal-" + kEnded + "-7", journal_text(journal).value());
    dir.write("commit.brindax-journal-" + kRunning + "-9", "a running commit's");
    FileTransaction::recover(dir.path().string().c_str());
    auto expected = test.completed ? new_state : old_state;
    if (test.completed) expected["made/"] = "";
    if (!test.other_b.empty()) expected["b"] = test.other_b;
    expected["commit.brindax-journal-" + kRunning + "-9"] = "a running commit's";
    EXPECT_EQ(content(), expected) << test.what;
  }
}

TEST_F(FileTransactionTest, AFailedCommitPutsTheReplacedFilesBackAndLeavesNoJournal) {
  dir.write("a.txt", "old a");
  dir.write("held.txt", "old held");  // as a running program holds its file
  const os::FileHandle holder = os::open_always((dir / "held.txt").c_str());
  ASSERT_NE(holder, os::NO_FILE);
  const auto before = content();
  FileTransaction transaction;
  transaction.keep_journal_in(dir.path().string());
  ASSERT_TRUE(stage(transaction, "a.txt", "new a"));
  ASSERT_TRUE(stage(transaction, "b.txt", "new b"));
  ASSERT_TRUE(stage(transaction, "held.txt", "new held"));
  std::string failed;
  EXPECT_FALSE(transaction.commit(&failed));
  os::close(holder);
  EXPECT_EQ(failed, dir / "held.txt");
  EXPECT_EQ(content(), before);
  EXPECT_TRUE(FileTransaction::is_private_name("commit.brindax-journal-12-0"));
}

}  // namespace
}  // namespace brindax
