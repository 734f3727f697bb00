#include "runtime/core/file_transaction.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
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

TEST_F(FileTransactionTest, LeftoversOfEarlierRunsAreRemovedOthersStay) {
  dir.write("x.dll.brindax-old-12-3", "");
  fs::create_directory(dir.path() / "sub");
  dir.write("sub/y.brindax-old-1-0", "");
  dir.write("keep.brindax-old-1", "");
  dir.write("keep.brindax-old-a-1", "");
  dir.write("keep.brindax-new-1-2", "");  // perhaps a running install's
  FileTransaction::remove_leftovers(dir.path().string().c_str());
  EXPECT_EQ(content(), (std::map<std::string, std::string>{{"keep.brindax-new-1-2", ""},
                                                           {"keep.brindax-old-1", ""},
                                                           {"keep.brindax-old-a-1", ""},
                                                           {"sub/", ""}}));
}

}  // namespace
}  // namespace brindax
