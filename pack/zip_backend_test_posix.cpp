// POSIX only: permissions recorded in the archive, and a write that the
// system cuts short.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "pack/pack.h"
#include "pack/pack_test_support.h"

namespace brindax {
namespace {

namespace fs = std::filesystem;
using testing_support::folder_names;
using testing_support::read_file;
using testing_support::write_file;

class ZipBackendPosixTest : public testing_support::PackFolderTest {};

bool executable(const char* path) {
  struct stat info {};
  return ::stat(path, &info) == 0 && (info.st_mode & S_IXUSR) != 0;
}

TEST_F(ZipBackendPosixTest, UnpackedFilesKeepTheRecordedExecutableBit) {
  fs::create_directory("src");
  write_file("src/run.sh", "#!/bin/sh\necho started\n");
  write_file("src/data.txt", "data\n");
  fs::permissions("src/run.sh", fs::perms(0755));
  fs::permissions("src/data.txt", fs::perms(0644));
  ASSERT_EQ(testing_support::run_zip("src", "../app.zip run.sh data.txt"), 0);

  const std::intptr_t pack = pack_open(OBJECT_DYNAMIC, "app.zip");
  ASSERT_NE(pack, 0);
  EXPECT_EQ(pack_unpack_entry_to_file(pack, "run.sh", "run.sh"), 23);
  EXPECT_EQ(pack_unpack_entry_to_file(pack, "data.txt", "data.txt"), 5);
  EXPECT_TRUE(executable("run.sh"));
  EXPECT_FALSE(executable("data.txt"));
}

TEST_F(ZipBackendPosixTest, ShortWriteFailsAndKeepsTheDestination) {
  testing_support::make_archive("archive.zip",
                                {{"payload.bin", testing_support::noise(3 << 20, 5)}});
  write_file("payload.bin", "previous");
  const std::intptr_t pack = pack_open(OBJECT_DYNAMIC, "archive.zip");
  ASSERT_NE(pack, 0);

  // Files may grow to 1 MiB only: the write of the second megabyte fails.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = 1 << 20;
  const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const std::int32_t result = pack_unpack_entry_to_file(pack, "payload.bin", "payload.bin");
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous_handler);

  EXPECT_EQ(result, -1);
  EXPECT_EQ(read_file("payload.bin"), "previous");
  EXPECT_EQ(folder_names("."), (std::vector<std::string>{"archive.zip", "payload.bin"}));
}

}  // namespace
}  // namespace brindax
