#include "runtime/core/file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

#include "runtime/core/core_test_support.h"
#include "runtime/core/heap.h"
#include "runtime/core/os_file.h"
#include "runtime/core/strings.h"
#include "runtime/core/text.h"

namespace brindax {
namespace {

using testing_support::read_all;
using testing_support::ScratchDir;

class FileTest : public testing::Test {
 protected:
  void TearDown() override {
    heap_fail_allocations_after(-1);
    file_close(OBJECT_DYNAMIC);
  }

  static std::string read_whole(ObjectId id) {
    StackMark mark;
    return file_read_string(id, READ_WHOLE_TEXT, mark.offset());
  }

  ScratchDir dir;
};

TEST_F(FileTest, SizeOfMissingEmptyAndOrdinaryFiles) {
  EXPECT_EQ(file_size((dir / "missing").c_str()), -1);
  EXPECT_EQ(file_size((dir / "missing/").c_str()), -1);
  EXPECT_EQ(file_size(dir.write("empty", "").c_str()), 0);
  EXPECT_EQ(file_size(dir.write("five", "12345").c_str()), 5);
  EXPECT_EQ(file_size(nullptr), -1);
  EXPECT_EQ(file_size(""), -1);
}

TEST_F(FileTest, SizeOfADirectoryWithAndWithoutTrailingSeparators) {
  const std::string folder = dir.path().string();
  EXPECT_EQ(file_size(folder.c_str()), -2);
  EXPECT_EQ(file_size((folder + "/").c_str()), -2);
  EXPECT_EQ(file_size((folder + "//").c_str()), -2);
  EXPECT_EQ(file_size((folder + "\\").c_str()), -2);
  EXPECT_EQ(file_size((folder + "/\\/").c_str()), -2);
  // A path of separators only is no path.
  EXPECT_EQ(file_size("/"), -1);
  EXPECT_EQ(file_size("\\\\"), -1);
}

TEST_F(FileTest, SizeAboveFourGigabytes) {
  const std::string big = dir.write("big", "");
  const std::uintmax_t size = 5ULL << 30;  // 5 GiB
  std::error_code error;
  std::filesystem::resize_file(big, size, error);
  if (error) GTEST_SKIP() << "no sparse 5 GiB file here: " << error.message();
  EXPECT_EQ(file_size(big.c_str()), static_cast<std::int64_t>(size));
}

TEST_F(FileTest, OpenCreatesAMissingFileEmpty) {
  const std::string path = dir / "new.txt";
  const std::intptr_t handle = file_open(OBJECT_DYNAMIC, path.c_str());
  ASSERT_NE(handle, 0);
  EXPECT_EQ(file_size(path.c_str()), 0);
  EXPECT_EQ(read_whole(handle), "");
  file_close(handle);
  EXPECT_EQ(file_lookup(handle), nullptr);
  EXPECT_EQ(file_size(path.c_str()), 0);
}

TEST_F(FileTest, FailedOpenLeavesTheRegistryUnchanged) {
  ListNode* const before = file_registry()->dynamic_list;
  EXPECT_EQ(file_open(OBJECT_DYNAMIC, (dir / "no-such-folder/file").c_str()), 0);
  EXPECT_EQ(file_registry()->dynamic_list, before);
  EXPECT_EQ(file_open(OBJECT_DYNAMIC, nullptr), 0);
  EXPECT_EQ(file_registry()->dynamic_list, before);
  // A directory cannot be opened as a file either.
  EXPECT_EQ(file_open(OBJECT_DYNAMIC, dir.path().string().c_str()), 0);
  EXPECT_EQ(file_registry()->dynamic_list, before);
}

TEST_F(FileTest, NumberedFilesReopenCloseAndCloseAll) {
  const std::string a = dir.write("a", "first");
  const std::string b = dir.write("b", "second");
  const std::intptr_t system_handle = file_open(3, a.c_str());
  ASSERT_NE(system_handle, 0);
  EXPECT_EQ(file_lookup(3)->handle, system_handle);
  // Opening number 3 again closes "a" first; "a" can then be opened for writing.
  ASSERT_NE(file_open(3, b.c_str()), 0);
  EXPECT_EQ(read_whole(3), "second");
  const os::FileHandle other = os::open_always(a.c_str());
  EXPECT_NE(other, os::NO_FILE);
  os::close(other);

  const std::intptr_t dynamic = file_open(OBJECT_DYNAMIC, a.c_str());
  ASSERT_NE(dynamic, 0);
  file_close(OBJECT_DYNAMIC);
  EXPECT_EQ(file_lookup(3), nullptr);
  EXPECT_EQ(file_lookup(dynamic), nullptr);
  file_close(3);  // a second close does nothing
  EXPECT_EQ(read_whole(3), "");
}

TEST_F(FileTest, OthersMayOnlyReadAnOpenFile) {
  const std::string path = dir.write("shared", "content");
  const std::intptr_t handle = file_open(OBJECT_DYNAMIC, path.c_str());
  ASSERT_NE(handle, 0);
  EXPECT_EQ(os::open_always(path.c_str()), os::NO_FILE);
  EXPECT_EQ(os::create_always(path.c_str()), os::NO_FILE);
  EXPECT_EQ(file_delete(path.c_str()), 0);
  EXPECT_EQ(read_all(path), "content");  // plain reading is allowed
  file_close(handle);
  EXPECT_NE(file_delete(path.c_str()), 0);
  EXPECT_EQ(file_size(path.c_str()), -1);
}

TEST_F(FileTest, DeleteOnlyRemovesWritableFiles) {
  EXPECT_EQ(file_delete(nullptr), 0);
  EXPECT_EQ(file_delete((dir / "missing").c_str()), 0);
  EXPECT_EQ(file_delete(dir.path().string().c_str()), 0);
  EXPECT_EQ(file_size(dir.path().string().c_str()), -2);

  // A read-only file is not deleted: its attributes are left alone.
  namespace fs = std::filesystem;
  const std::string locked = dir.write("read-only", "x");
  fs::permissions(locked, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_EQ(file_delete(locked.c_str()), 0);
  EXPECT_EQ(file_size(locked.c_str()), 1);
  fs::permissions(locked, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_NE(file_delete(locked.c_str()), 0);
  EXPECT_EQ(file_size(locked.c_str()), -1);
}

TEST_F(FileTest, BufferedReadsAcrossRefillsAndLargeRequests) {
  std::string content(10000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  const std::intptr_t handle = file_open(OBJECT_DYNAMIC, dir.write("data", content).c_str());
  FileObject* file = file_lookup(handle);
  ASSERT_NE(file, nullptr);
  ASSERT_NE(file->buffer, nullptr);

  std::string got(10000, '\0');
  EXPECT_EQ(file_read_bytes(file, got.data(), 10), 10);  // refill
  EXPECT_EQ(file_read_bytes(file, got.data() + 10, 1000), 1000);
  // 3086 bytes left in the buffer, the 4096 behind them straight from the file.
  EXPECT_EQ(file_read_bytes(file, got.data() + 1010, 3086 + 4096), 3086 + 4096);
  EXPECT_EQ(file->available, 0);
  // A byte given back after a bypassing read is the last byte of that read.
  file_unread(file, 1);
  EXPECT_EQ(file_read_bytes(file, got.data() + 8191, 1), 1);
  EXPECT_EQ(got[8191], content[8191]);
  EXPECT_EQ(file_read_bytes(file, got.data() + 8192, 5000), 1808);  // end of file
  EXPECT_EQ(got, content);
  EXPECT_EQ(file_read_bytes(file, got.data(), 1), 0);
}

TEST_F(FileTest, UnreadOfACharacterSplitAcrossTwoRefills) {
  std::string content(8192, 'x');
  content[4095] = 'P';
  content[4096] = 'Q';
  const std::intptr_t handle = file_open(OBJECT_DYNAMIC, dir.write("split", content).c_str());
  FileObject* file = file_lookup(handle);
  std::string chunk(4095, '\0');
  ASSERT_EQ(file_read_bytes(file, chunk.data(), 4095), 4095);
  char pair[2] = {};
  ASSERT_EQ(file_read_bytes(file, pair, 2), 2);  // one byte of each refill
  EXPECT_EQ(std::string(pair, 2), "PQ");
  file_unread(file, 2);
  char again[3] = {};
  ASSERT_EQ(file_read_bytes(file, again, 3), 3);
  EXPECT_EQ(std::string(again, 3), "PQx");
}

TEST_F(FileTest, UnbufferedFileWhenTheBufferCannotBeAllocated) {
  const std::string path = dir.write("lines", "one\rtwo\r\nthree");
  heap_fail_allocations_after(1);  // the element yes, the buffer no
  const std::intptr_t handle = file_open(OBJECT_DYNAMIC, path.c_str());
  heap_fail_allocations_after(-1);
  ASSERT_NE(handle, 0);
  ASSERT_EQ(file_lookup(handle)->buffer, nullptr);
  StackMark mark;
  EXPECT_STREQ(file_read_string(handle, 0, mark.offset()), "one");
  EXPECT_STREQ(file_read_string(handle, 0, mark.offset()), "two");
  EXPECT_STREQ(file_read_string(handle, 0, mark.offset()), "three");
  EXPECT_STREQ(file_read_string(handle, 0, mark.offset()), "");
}

TEST(Dates, EdgeValues) {
  EXPECT_EQ(date_from_fields(1970, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(date_from_fields(1970, 1, 1, 1, 2, 3), 3723);
  EXPECT_EQ(date_from_fields(2038, 1, 19, 3, 14, 7), 2147483647);
  EXPECT_EQ(date_from_fields(2000, 2, 29, 0, 0, 0), 951782400);
  EXPECT_EQ(date_from_fields(1972, 2, 29, 0, 0, 0), 68169600);
  EXPECT_EQ(date_from_fields(2038, 1, 19, 3, 14, 8), -1);
  EXPECT_EQ(date_from_fields(2038, 1, 19, 4, 0, 0), -1);
  EXPECT_EQ(date_from_fields(2038, 1, 20, 0, 0, 0), -1);
  EXPECT_EQ(date_from_fields(2038, 2, 1, 0, 0, 0), -1);
  EXPECT_EQ(date_from_fields(1969, 12, 31, 23, 59, 59), -1);
  EXPECT_EQ(date_from_fields(2001, 2, 29, 0, 0, 0), -1);
  EXPECT_EQ(date_from_fields(2000, 2, 30, 0, 0, 0), -1);
  EXPECT_EQ(date_from_fields(2020, 4, 31, 0, 0, 0), -1);
  EXPECT_EQ(date_from_fields(2020, 1, 1, 24, 0, 0), -1);
  EXPECT_EQ(date_from_fields(2020, 1, 1, 0, 60, 0), -1);
  EXPECT_EQ(date_from_fields(2020, 1, 1, 0, 0, 60), -1);
  EXPECT_EQ(date_from_fields(2020, 0, 1, 0, 0, 0), -1);
  EXPECT_EQ(date_from_fields(2020, 13, 1, 0, 0, 0), -1);
  EXPECT_EQ(date_from_fields(2020, 1, 0, 0, 0, 0), -1);
  EXPECT_EQ(date_from_fields(2020, 1, 1, -1, 0, 0), -1);
}

TEST(Dates, AgreeWithTheCalendar) {
  using namespace std::chrono;
  std::mt19937 random(1234);
  std::uniform_int_distribution<std::int64_t> instant(0, 2147483647);
  for (int i = 0; i < 20000; ++i) {
    const sys_seconds t{seconds{instant(random)}};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss time{t - day};
    ASSERT_EQ(date_from_fields(static_cast<int>(date.year()),
                               static_cast<int>(static_cast<unsigned>(date.month())),
                               static_cast<int>(static_cast<unsigned>(date.day())),
                               static_cast<int>(time.hours().count()),
                               static_cast<int>(time.minutes().count()),
                               static_cast<int>(time.seconds().count())),
              t.time_since_epoch().count());
  }
}

}  // namespace
}  // namespace brindax
