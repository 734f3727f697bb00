// Windows side of the file library: drives, the ANSI code page and the clock.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "runtime/core/core_test_support.h"
#include "runtime/core/file.h"
#include "runtime/core/os_file.h"
#include "runtime/core/strings.h"
#include "runtime/core/text.h"

namespace brindax {
namespace {

// A drive letter that names no drive here, or 0 when every letter is taken.
char unused_drive_letter() {
  const DWORD drives = GetLogicalDrives();
  for (int letter = 25; letter >= 0; --letter) {
    if ((drives & (1u << letter)) == 0) return static_cast<char>('A' + letter);
  }
  return 0;
}

TEST(WindowsFiles, DrivesAreDirectories) {
  char system_root[MAX_PATH] = {};
  ASSERT_GT(GetWindowsDirectoryA(system_root, MAX_PATH), 2u);
  const std::string drive(system_root, 2);  // "C:"
  EXPECT_EQ(file_size(drive.c_str()), -2);
  EXPECT_EQ(file_size((drive + "\\").c_str()), -2);
  EXPECT_EQ(file_size(system_root), -2);
  EXPECT_EQ(file_size((std::string(system_root) + "\\\\").c_str()), -2);

  const char unused = unused_drive_letter();
  if (unused == 0) GTEST_SKIP() << "every drive letter is in use";
  const std::string missing = std::string(1, unused) + ":";
  EXPECT_EQ(file_size(missing.c_str()), -1);
  EXPECT_EQ(file_size((missing + "\\").c_str()), -1);
  EXPECT_EQ(file_size((missing + "\\file.txt").c_str()), -1);
}

TEST(WindowsFiles, ParentFolderNamesAreDirectories) {
  EXPECT_EQ(file_size(".."), -2);
  EXPECT_EQ(file_size("..\\"), -2);
  EXPECT_EQ(file_size("..\\no-such-entry-here"), -1);
}

TEST(WindowsFiles, WildcardsNameNothing) {
  testing_support::ScratchDir dir;
  dir.write("abc.txt", "12345");
  EXPECT_EQ(file_size((dir / "abc.txt").c_str()), 5);
  EXPECT_EQ(file_size((dir / "a*.txt").c_str()), -1);
  EXPECT_EQ(file_size((dir / "ab?.txt").c_str()), -1);
  EXPECT_EQ(file_size((dir.path().string() + "\\*").c_str()), -1);
}

TEST(WindowsText, Utf16GoesThroughTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP();
  const std::uint16_t units[] = {'A', 0xE9, 0x20AC, 0x4E00, 'z', 0};
  StackMark mark;
  // The euro sign is 0x80 in code page 1252; a CJK character becomes "?".
  EXPECT_STREQ(utf16_to_ansi_on_stack(units, mark.offset()), "A\xE9\x80?z");
  EXPECT_STREQ(utf16_to_ansi_on_stack(nullptr, mark.offset()), "");
}

TEST(WindowsClock, CurrentDateIsTheLocalWallClockReading) {
  // The local time as seconds since 1970 read as if it were UTC.
  const auto wall_seconds = [] {
    SYSTEMTIME local;
    GetLocalTime(&local);
    FILETIME as_file_time;
    SystemTimeToFileTime(&local, &as_file_time);
    ULARGE_INTEGER ticks;
    ticks.LowPart = as_file_time.dwLowDateTime;
    ticks.HighPart = as_file_time.dwHighDateTime;
    return static_cast<std::int64_t>(ticks.QuadPart / 10000000ULL) - 11644473600LL;
  };
  const std::int64_t before = wall_seconds();
  const std::int32_t now = current_date();
  const std::int64_t after = wall_seconds();
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

// Whatever stands at a private name and is not a plain file (here a folder
// with what it holds) is removed, never opened; a plain file is kept.
TEST(WindowsFiles, PrivateNamesOpenOnlyPlainFiles) {
  testing_support::ScratchDir dir;
  const std::string name = dir / "package.brindax-part";
  EXPECT_EQ(os::open_private(name.c_str(), os::PrivateAccess::read), os::NO_FILE);
  CreateDirectoryA(name.c_str(), nullptr);
  CreateDirectoryA((name + "\\inner").c_str(), nullptr);
  dir.write("package.brindax-part\\inner\\file.txt", "x");
  EXPECT_EQ(os::private_kind(name.c_str()), os::PrivateKind::other);
  os::FileHandle file = os::open_private(name.c_str(), os::PrivateAccess::write);
  ASSERT_NE(file, os::NO_FILE);
  EXPECT_TRUE(os::write_all(file, "held", 4));
  os::close(file);
  file = os::open_private(name.c_str(), os::PrivateAccess::append);
  ASSERT_NE(file, os::NO_FILE);
  EXPECT_TRUE(os::write_all(file, "more", 4));
  EXPECT_EQ(os::open_file_size(file), 8);
  os::close(file);
  EXPECT_EQ(os::private_kind(name.c_str()), os::PrivateKind::plain);
  EXPECT_EQ(testing_support::read_all(name), "heldmore");
}

TEST(WindowsFiles, ProcessIdIsTheSystems) {
  EXPECT_EQ(os::process_id(), GetCurrentProcessId());
}

}  // namespace
}  // namespace brindax
