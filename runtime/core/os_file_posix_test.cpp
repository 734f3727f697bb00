// Behaviour of the POSIX side of the file seam: UTF-8 file names, the stand-in
// for the Windows share mode, executable bits, the local clock.
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "runtime/core/core_test_support.h"
#include "runtime/core/encoding.h"
#include "runtime/core/file.h"
#include "runtime/core/os_file.h"
#include "runtime/core/replacing_file.h"
#include "runtime/core/strings.h"
#include "runtime/core/text.h"

namespace brindax {
namespace {

using testing_support::read_all;
using testing_support::ScratchDir;

TEST(Encoding, Latin1AndUtf8) {
  EXPECT_EQ(latin1_to_utf8("caf\xE9.txt"), "caf\xC3\xA9.txt");
  EXPECT_EQ(latin1_to_utf8("\x7F\x80\xFF"), "\x7F\xC2\x80\xC3\xBF");
  EXPECT_EQ(utf8_to_latin1("caf\xC3\xA9"), "caf\xE9");
  EXPECT_EQ(utf8_to_latin1("\xE2\x82\xAC 1"), "? 1");
  EXPECT_EQ(utf8_to_latin1("\xF0\x9F\x98\x80", '_'), "_");
  // Bytes that form no sequence are taken as they are.
  EXPECT_EQ(utf8_to_latin1("caf\xE9"), "caf\xE9");
  EXPECT_EQ(utf8_to_latin1("\xC0\x80"), "\xC0\x80");       // overlong
  EXPECT_EQ(utf8_to_latin1("\xED\xA0\x80"), "\xED\xA0\x80");  // a surrogate
  EXPECT_EQ(utf8_to_latin1("\xC3"), "\xC3");
  for (int c = 1; c < 256; ++c) {
    const std::string one(1, static_cast<char>(c));
    ASSERT_EQ(utf8_to_latin1(latin1_to_utf8(one)), one) << c;
  }
}

TEST(PosixFiles, Latin1NamesLandAsUtf8) {
  ScratchDir dir;
  const std::string latin1 = dir / "caf\xE9.txt";
  const std::intptr_t file = file_open(OBJECT_DYNAMIC, latin1.c_str());
  ASSERT_NE(file, 0);
  file_close(file);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "caf\xC3\xA9.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "caf\xE9.txt"));
  EXPECT_EQ(file_size(latin1.c_str()), 0);

  ReplacingFile replacing;
  ASSERT_TRUE(replacing.open((dir / "\xC5rhus.dat").c_str()));
  replacing.write("x", 1);
  ASSERT_TRUE(replacing.commit());
  EXPECT_EQ(read_all(dir.path() / "\xC3\x85rhus.dat"), "x");

  EXPECT_TRUE(os::make_directory((dir / "d\xE9j\xE0").c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "d\xC3\xA9j\xC3\xA0"));
  EXPECT_TRUE(os::make_directory((dir / "d\xE9j\xE0").c_str()));  // exists already

  EXPECT_NE(file_delete(latin1.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "caf\xC3\xA9.txt"));
}

TEST(PosixFiles, DescriptorZeroIsAValidFile) {
  ScratchDir dir;
  const std::string path = dir.write("zero", "fd0");
  // With standard input closed, the next open gets descriptor 0.
  const int saved = dup(0);
  ASSERT_GE(saved, 0);
  ::close(0);
  const std::intptr_t handle = file_open(OBJECT_DYNAMIC, path.c_str());
  ASSERT_NE(handle, 0);
  FileObject* file = file_lookup(handle);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->handle, 1);  // descriptor 0, stored + 1
  StackMark mark;
  EXPECT_STREQ(file_read_string(handle, READ_WHOLE_TEXT, mark.offset()), "fd0");
  file_close(handle);
  dup2(saved, 0);
  ::close(saved);
}

TEST(PosixFiles, CreateAlwaysTruncatesAndCreateNewRefusesExisting) {
  ScratchDir dir;
  const std::string path = dir.write("f", "long old content");
  const os::FileHandle file = os::create_always(path.c_str());
  ASSERT_NE(file, os::NO_FILE);
  EXPECT_TRUE(os::write_all(file, "new", 3));
  EXPECT_TRUE(os::close(file));
  EXPECT_EQ(read_all(path), "new");
  EXPECT_EQ(os::create_new(path.c_str()), os::NO_FILE);
  EXPECT_EQ(read_all(path), "new");
}

TEST(PosixFiles, ExecutableBitsFollowTheReadBitsAndTheUmask) {
  ScratchDir dir;
  const std::string path = dir.write("tool", "#!/bin/sh\n");
  chmod(path.c_str(), 0644);
  const mode_t old_mask = umask(022);
  os::set_executable(path.c_str(), true);
  struct stat status {};
  stat(path.c_str(), &status);
  EXPECT_EQ(status.st_mode & 0777, 0755u);

  chmod(path.c_str(), 0640);
  umask(027);
  os::set_executable(path.c_str(), true);
  stat(path.c_str(), &status);
  EXPECT_EQ(status.st_mode & 0777, 0750u);

  os::set_executable(path.c_str(), false);
  stat(path.c_str(), &status);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  umask(old_mask);

  ReplacingFile replacing;
  ASSERT_TRUE(replacing.open((dir / "program").c_str()));
  replacing.set_executable(true);
  ASSERT_TRUE(replacing.commit());
  stat((dir / "program").c_str(), &status);
  EXPECT_NE(status.st_mode & S_IXUSR, 0u);
}

TEST(PosixFiles, FreeSpaceMatchesTheVolumeAndIsUnknownForAMissingFolder) {
  ScratchDir dir;
  const std::int64_t free = os::free_space(dir.path().c_str());
  const auto expected = std::filesystem::space(dir.path()).available;
  ASSERT_GT(free, 0);
  // Other writers may change the figure between the two readings.
  EXPECT_NEAR(static_cast<double>(free), static_cast<double>(expected), 64.0 * 1024 * 1024);
  EXPECT_EQ(os::free_space((dir / "missing").c_str()), -1);
  EXPECT_GT(os::free_space(""), 0);
}

TEST(PosixFiles, ShortWriteFailsTheReplacementAndKeepsTheOldFile) {
  ScratchDir dir;
  const std::string target = dir.write("package.zip", "old");
  // A file-size limit makes the system cut writes short, as a full disk does.
  struct rlimit saved {};
  getrlimit(RLIMIT_FSIZE, &saved);
  void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

  ReplacingFile file;
  const bool opened = file.open(target.c_str());
  const std::string chunk(600, 'z');
  const bool first = opened && file.write(chunk.data(), 600);
  const bool second = opened && file.write(chunk.data(), 600);
  const bool later = opened && file.write("a", 1);
  const bool committed = opened && file.commit();

  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, saved_handler);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_FALSE(later);
  EXPECT_FALSE(committed);
  EXPECT_EQ(read_all(target), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

// Whatever stands at a private name and is not a plain file is removed, never
// opened: a link (and never what it points to), a FIFO (no open waits on
// it), a folder with what it holds.
TEST(PosixFiles, PrivateNamesOpenOnlyPlainFiles) {
  namespace fs = std::filesystem;
  ScratchDir dir;
  const std::string outside = dir.write("outside.txt", "not ours");
  const std::string name = dir / "package.brindax-part";
  struct Case {
    const char* what;
    std::function<void()> make;
    os::PrivateKind kind;
  };
  const std::vector<Case> cases = {
      {"nothing", [] {}, os::PrivateKind::none},
      {"a plain file", [&] { dir.write("package.brindax-part", "held"); }, os::PrivateKind::plain},
      {"a link to a file outside", [&] { fs::create_symlink(outside, name); }, os::PrivateKind::other},
      {"a dangling link", [&] { fs::create_symlink(dir / "gone", name); }, os::PrivateKind::other},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(name.c_str(), 0600), 0); }, os::PrivateKind::other},
      {"a folder holding a link out",
       [&] {
         fs::create_directories(fs::path(name) / "inner");
         fs::create_symlink(outside, fs::path(name) / "inner" / "link");
       },
       os::PrivateKind::other},
      {"a link to a folder", [&] { fs::create_symlink(dir.path(), name); }, os::PrivateKind::other},
  };
  for (const os::PrivateAccess access :
       {os::PrivateAccess::read, os::PrivateAccess::write, os::PrivateAccess::append}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", access " + std::to_string(static_cast<int>(access)));
      c.make();
      EXPECT_EQ(os::private_kind(name.c_str()), c.kind);
      const os::FileHandle file = os::open_private(name.c_str(), access);
      const bool plain_before = c.kind == os::PrivateKind::plain;
      if (access == os::PrivateAccess::read) {
        EXPECT_EQ(file != os::NO_FILE, plain_before);
      } else {
        ASSERT_NE(file, os::NO_FILE);
        EXPECT_TRUE(os::write_all(file, "new", 3));
        EXPECT_EQ(os::open_file_size(file), access == os::PrivateAccess::append && plain_before ? 7 : 3);
      }
      if (file != os::NO_FILE) os::close(file);
      EXPECT_EQ(read_all(outside), "not ours");
      EXPECT_NE(os::private_kind(name.c_str()), os::PrivateKind::other);
      EXPECT_TRUE(fs::exists(dir.path()));
      std::error_code ignored;
      fs::remove_all(name, ignored);
    }
  }
}

TEST(PosixText, Utf16BecomesLatin1WithQuestionMarks) {
  const std::uint16_t units[] = {'A', 0xE9, 0xFF, 0x100, 0x20AC, 0xD83D, 0xDE00, 0xDC00, 'z', 0};
  StackMark mark;
  EXPECT_STREQ(utf16_to_ansi_on_stack(units, mark.offset()), "A\xE9\xFF???" "?z");
  EXPECT_STREQ(utf16_to_ansi_on_stack(nullptr, mark.offset()), "");
}

TEST(PosixClock, CurrentDateIsTheLocalWallClockReading) {
  const std::time_t before = std::time(nullptr);
  const std::int32_t now = current_date();
  const std::time_t after = std::time(nullptr);
  std::tm local{};
  localtime_r(&before, &local);
  const std::int64_t wall_before = before + local.tm_gmtoff;
  localtime_r(&after, &local);
  const std::int64_t wall_after = after + local.tm_gmtoff;
  EXPECT_GE(now, wall_before);
  EXPECT_LE(now, wall_after);
}

}  // namespace
}  // namespace brindax
