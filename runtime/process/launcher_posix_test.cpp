// start_program on POSIX: where programs are found, how they are detached,
// waited for and connected, and when documents go to xdg-open.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "runtime/process/launcher.h"
#include "runtime/process/launcher_posix_test_support.h"

namespace brindax {
namespace {

using namespace std::chrono_literals;
using test::CurrentFolder;
using test::EnvSetting;
using test::read_file;
using test::StreamCapture;
using test::TempFolder;
using test::wait_for_file;
using test::write_file;

LaunchedProgram* record_of(std::intptr_t result) {
  return reinterpret_cast<LaunchedProgram*>(result);
}

std::string read_all(std::intptr_t fd) {
  std::string text;
  char buffer[256];
  for (;;) {
    const ssize_t got = ::read(static_cast<int>(fd), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

int open_descriptors() {
  int count = 0;
  if (DIR* folder = ::opendir("/proc/self/fd")) {
    while (::readdir(folder) != nullptr) ++count;
    ::closedir(folder);
  }
  return count;
}

// A folder with a recording xdg-open, put in front of PATH.
struct FakeOpener {
  TempFolder bin;
  std::string log = bin / "xdg-open.log";
  EnvSetting path;
  FakeOpener()
      : path("PATH", (bin.path() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"))
                         .c_str()) {
    write_file(bin / "xdg-open", "#!/bin/sh\necho \"$(pwd -P)|$*\" >> '" + log + "'\n", true);
  }
};

TEST(StartProgram, LooksInTheCurrentFolderBeforePath) {
  TempFolder work, bin;
  const std::string marker = work / "marker";
  write_file(work / "brindax-probe", "#!/bin/sh\necho here > '" + marker + "'\n", true);
  write_file(bin / "brindax-probe", "#!/bin/sh\necho path > '" + marker + "'\n", true);
  CurrentFolder inside(work.path());
  ASSERT_TRUE(inside.ok());
  EnvSetting path("PATH", bin.path().c_str());

  EXPECT_EQ(start_program("brindax-probe", "", "", LAUNCH_WAIT_EXIT, nullptr), 1);
  EXPECT_EQ(read_file(marker), "here\n");

  std::filesystem::remove(work / "brindax-probe");
  EXPECT_EQ(start_program("brindax-probe", nullptr, nullptr, LAUNCH_WAIT_EXIT, nullptr), 1);
  EXPECT_EQ(read_file(marker), "path\n");
}

TEST(StartProgram, RunsDetachedInItsOwnSessionWithoutWaiting) {
  TempFolder work;
  const std::string pid_file = work / "pid";
  write_file(work / "sleeper",
             "#!/bin/sh\necho $$ > \"$1.tmp\"; mv \"$1.tmp\" \"$1\"; exec sleep 5\n", true);

  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(launch_application(nullptr), 0);  // nothing to start
  EXPECT_EQ(start_program((work / "sleeper").c_str(), pid_file.c_str(), "", 0, nullptr), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);

  ASSERT_TRUE(wait_for_file(pid_file));
  const pid_t pid = std::stoi(read_file(pid_file));
  EXPECT_NE(::getsid(pid), ::getsid(0));
  EXPECT_NE(::getsid(pid), -1);
  // It is not a child of ours, so it can never linger as our zombie.
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  ::kill(pid, SIGTERM);
}

TEST(StartProgram, WaitsForTheExitWhenAsked) {
  TempFolder work;
  const std::string marker = work / "done";
  write_file(work / "slow", "#!/bin/sh\nsleep 0.3\necho done > \"$1\"\n", true);
  EXPECT_EQ(start_program((work / "slow").c_str(), marker.c_str(), nullptr, LAUNCH_WAIT_EXIT,
                          nullptr),
            1);
  EXPECT_EQ(read_file(marker), "done\n");
}

TEST(StartProgram, PassesQuotedParametersAndTheDirectory) {
  TempFolder work;
  write_file(work / "tools/show", "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\npwd -P\n",
             true);
  std::filesystem::create_directories(work / "elsewhere");
  CurrentFolder inside(work.path());
  ASSERT_TRUE(inside.ok());

  // The relative name is found from the updater's folder, not the new one.
  const std::intptr_t result = start_program("tools/show", "one \"two  three\" \"\"", "elsewhere",
                                             LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT, nullptr);
  ASSERT_GT(result, 1);
  LaunchedProgram* record = record_of(result);
  EXPECT_EQ(read_all(record->stdout_read),
            "[one]\n[two  three]\n[]\n" + std::filesystem::canonical(work / "elsewhere").string() +
                "\n");
  ::close(static_cast<int>(record->stdout_read));
  EXPECT_EQ(::waitpid(record->process_id, nullptr, 0), record->process_id);

  // An empty directory is the current one.
  const std::intptr_t here =
      start_program("tools/show", "", "", LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT, nullptr);
  ASSERT_GT(here, 1);
  EXPECT_EQ(read_all(record_of(here)->stdout_read),
            std::filesystem::canonical(work.path()).string() + "\n");
  ::close(static_cast<int>(record_of(here)->stdout_read));
  ::waitpid(record_of(here)->process_id, nullptr, 0);
}

TEST(StartProgram, EightBitNamesAndParametersReachTheSystemAsUtf8) {
  TempFolder work;
  write_file(work / "caf\xC3\xA9/show", "#!/bin/sh\necho \"[$1]\"\n", true);
  CurrentFolder inside(work.path());
  ASSERT_TRUE(inside.ok());
  const std::intptr_t result = start_program("caf\xE9/show", "\xE9t\xE9", nullptr,
                                             LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT, nullptr);
  ASSERT_GT(result, 1);
  EXPECT_EQ(read_all(record_of(result)->stdout_read), "[\xC3\xA9t\xC3\xA9]\n");
  ::close(static_cast<int>(record_of(result)->stdout_read));
  ::waitpid(record_of(result)->process_id, nullptr, 0);
}

TEST(StartProgram, KeepsARecordWithPipes) {
  const std::intptr_t echo = start_program("echo", "hello \"big world\"", nullptr,
                                           LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT, nullptr);
  ASSERT_GT(echo, 1);
  LaunchedProgram* sender = record_of(echo);
  EXPECT_GT(sender->process_id, 0);
  EXPECT_EQ(sender->process, sender->process_id);
  EXPECT_GE(sender->stdout_read, 3);
  EXPECT_EQ(sender->stdin_write, 0);
  EXPECT_EQ(sender->stderr_read, 0);
  EXPECT_EQ(sender->flags, LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT);
  EXPECT_EQ(list_payload_of(launched_programs), sender);  // linked at the head

  // A second program reads the first one's output as its input.
  const std::intptr_t cat =
      start_program("cat", "", nullptr,
                    LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT | LAUNCH_PIPE_STDIN |
                        LAUNCH_STDIN_FROM_SENDER,
                    sender);
  ASSERT_GT(cat, 1);
  EXPECT_EQ(record_of(cat)->stdin_write, 0);  // the sender takes precedence
  EXPECT_EQ(read_all(record_of(cat)->stdout_read), "hello big world\n");
  ::close(static_cast<int>(record_of(cat)->stdout_read));
  ::close(static_cast<int>(sender->stdout_read));
  ::waitpid(sender->process_id, nullptr, 0);
  ::waitpid(record_of(cat)->process_id, nullptr, 0);

  // Standard input and error: the program sees the end of its input as soon
  // as the write end is closed, so no copy of it leaked into the program.
  const std::intptr_t both = start_program(
      "sh", "-c \"cat; echo oops >&2\"", nullptr,
      LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDIN | LAUNCH_PIPE_STDOUT | LAUNCH_PIPE_STDERR, nullptr);
  ASSERT_GT(both, 1);
  LaunchedProgram* record = record_of(both);
  ASSERT_GE(record->stdin_write, 3);
  ASSERT_EQ(::write(static_cast<int>(record->stdin_write), "abc\n", 4), 4);
  ::close(static_cast<int>(record->stdin_write));
  EXPECT_EQ(read_all(record->stdout_read), "abc\n");
  EXPECT_EQ(read_all(record->stderr_read), "oops\n");
  ::close(static_cast<int>(record->stdout_read));
  ::close(static_cast<int>(record->stderr_read));
  ::waitpid(record->process_id, nullptr, 0);
}

TEST(StartProgram, PipesNeedAKeptRecord) {
  TempFolder work;
  StreamCapture output(1, work / "stdout");
  const int descriptors = open_descriptors();
  EXPECT_EQ(start_program("echo", "plain", nullptr, LAUNCH_PIPE_STDOUT | LAUNCH_WAIT_EXIT, nullptr),
            1);
  EXPECT_EQ(open_descriptors(), descriptors);
  EXPECT_EQ(output.text(), "plain\n");  // the updater's own output
}

TEST(StartProgram, HiddenDetachesTheStandardStreams) {
  TempFolder work;
  const std::string report = work / "streams";
  write_file(work / "streams.sh",
             "#!/bin/sh\na=$(readlink /proc/$$/fd/0); b=$(readlink /proc/$$/fd/1); "
             "c=$(readlink /proc/$$/fd/2)\necho \"$a $b $c\" > '" + report + "'\n",
             true);
  StreamCapture errors(2, work / "stderr");

  EXPECT_EQ(start_program((work / "streams.sh").c_str(), "", nullptr,
                          LAUNCH_HIDDEN | LAUNCH_WAIT_EXIT, nullptr),
            1);
  EXPECT_EQ(read_file(report), "/dev/null /dev/null /dev/null\n");

  // With a pipe the program is hidden but not detached: what is not piped is
  // the updater's own.
  const std::intptr_t piped =
      start_program((work / "streams.sh").c_str(), "", nullptr,
                    LAUNCH_HIDDEN | LAUNCH_WAIT_EXIT | LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT,
                    nullptr);
  ASSERT_GT(piped, 1);
  const std::string streams = read_file(report);
  EXPECT_NE(streams.find(" pipe:["), std::string::npos) << streams;
  const std::string own_errors = std::filesystem::canonical(work / "stderr").string();
  EXPECT_NE(streams.find(" " + own_errors + "\n"), std::string::npos) << streams;
  ::close(static_cast<int>(record_of(piped)->stdout_read));
}

TEST(StartProgram, PassesOnlyTheStandardStreams) {
  TempFolder work;
  const int inheritable = ::open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_GE(inheritable, 3);
  const std::string report = work / "report";
  write_file(work / "probe.sh",
             "#!/bin/sh\nif [ -e /proc/$$/fd/" + std::to_string(inheritable) +
                 " ]; then echo leaked; else echo clean; fi > '" + report + "'\n",
             true);
  EXPECT_EQ(start_program((work / "probe.sh").c_str(), "", nullptr, LAUNCH_WAIT_EXIT, nullptr), 1);
  ::close(inheritable);
  EXPECT_EQ(read_file(report), "clean\n");
}

TEST(StartProgram, OpensDocumentsWithXdgOpen) {
  FakeOpener opener;
  TempFolder work;
  write_file(work / "notes.txt", "text");
  write_file(work / "docs/manual.txt", "text");
  CurrentFolder inside(work.path());
  ASSERT_TRUE(inside.ok());
  const std::string folder = std::filesystem::canonical(work.path()).string();

  EXPECT_EQ(start_program("notes.txt", "ignored", nullptr, LAUNCH_WAIT_EXIT, nullptr), 1);
  // A name with a folder: the opener works in the document's folder.
  const std::intptr_t result = start_program("docs/manual.txt", "", nullptr,
                                             LAUNCH_WAIT_EXIT | LAUNCH_KEEP_RECORD, nullptr);
  ASSERT_GT(result, 1);
  EXPECT_EQ(record_of(result)->process_id, -1);
  EXPECT_EQ(record_of(result)->stdout_read, 0);
  EXPECT_EQ(read_file(opener.log), folder + "|" + folder + "/notes.txt\n" + folder + "/docs|" +
                                       folder + "/docs/manual.txt\n");

  // The plain start does not wait for the opener either.
  std::filesystem::remove(opener.log);
  EXPECT_EQ(launch_application("notes.txt"), 1);
  EXPECT_TRUE(wait_for_file(opener.log));
}

TEST(StartProgram, NoShellFallbackWithPipesOrWithoutOpener) {
  FakeOpener opener;
  const int descriptors = open_descriptors();
  for (std::uint32_t flags : {LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT, LAUNCH_PIPE_STDOUT,
                              LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDIN | LAUNCH_PIPE_STDERR,
                              LAUNCH_STDIN_FROM_SENDER}) {
    EXPECT_EQ(start_program("brindax-no-such-program", "", nullptr, flags | LAUNCH_WAIT_EXIT,
                            nullptr),
              0)
        << flags;
  }
  EXPECT_EQ(open_descriptors(), descriptors);  // every pipe of a failed start is closed
  EXPECT_EQ(start_program("", "", nullptr, LAUNCH_WAIT_EXIT, nullptr), 0);
  EXPECT_FALSE(std::filesystem::exists(opener.log));

  // Without pipes the name goes to the opener.
  EXPECT_EQ(start_program("brindax-no-such-program", "", nullptr, LAUNCH_WAIT_EXIT, nullptr), 1);
  EXPECT_EQ(read_file(opener.log).substr(read_file(opener.log).find('|')),
            "|brindax-no-such-program\n");

  // And without an opener nothing can be started.
  EnvSetting empty_path("PATH", "/nonexistent");
  EXPECT_EQ(start_program("brindax-no-such-program", "", nullptr, LAUNCH_WAIT_EXIT, nullptr), 0);
}

}  // namespace
}  // namespace brindax
