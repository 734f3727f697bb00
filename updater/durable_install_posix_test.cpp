// An install that survives a power cut or a kill: the order of its writes,
// flushes and renames as the system saw them, and runs killed at each
// rename followed by one with the server down and one with it back.
#include <signal.h>

#include "runtime/core/os_file.h"
#include "updater/flush_order_check.h"
#include "updater/process_test_support.h"

namespace brindax::process_test {
namespace {

const char* const kStrace = "/usr/bin/strace";

TEST(FlushOrderCheck, FindsRenamesAheadOfTheirFlush) {
  const std::string ok =
      "7 write(4</i/a.brindax-new-7-0>, \"x\", 1) = 1\n"
      "8 fdatasync(4</i/a.brindax-new-7-0> <unfinished ...>\n"
      "8 <... fdatasync resumed>) = 0\n"
      "7 rename(\"a.brindax-new-7-0\", \"a\") = 0\n"
      "7 fsync(5</i>) = 0\n"
      "7 fdatasync(6</i/S.ver>) = 0\n"
      "7 rename(\"S.ver\", \"L.ver\") = 0\n";
  struct Case {
    const char* what;
    std::string trace;
    std::size_t faults;
    int renames;
  };
  const std::vector<Case> cases = {
      {"sound", ok, 0, 2},
      {"aligned thread ids", "17  fdatasync(4</i/a.n>) = 0\n7   rename(\"a.n\", \"a\") = 0\n", 0, 1},
      {"no flush", "7 rename(\"a.n\", \"a\") = 0\n", 1, 1},
      {"a write after the flush",
       "7 fdatasync(4</i/a.n>) = 0\n7 write(4</i/a.n>, \"x\", 1) = 1\n"
       "7 rename(\"a.n\", \"a\") = 0\n",
       1, 1},
      {"the flush ends after the rename",
       "8 fdatasync(4</i/a.n> <unfinished ...>\n"
       "7 rename(\"a.n\", \"a\") = 0\n8 <... fdatasync resumed>) = 0\n",
       1, 1},
      {"a failed flush",
       "7 fdatasync(4</i/a.n>) = -1 EIO (Input/output error)\n7 rename(\"a.n\", \"a\") = 0\n", 1, 1},
      {"the list before its folder is flushed",
       "7 fdatasync(4</i/a.n>) = 0\n7 rename(\"a.n\", \"a\") = 0\n"
       "7 fdatasync(6</i/S.ver>) = 0\n7 rename(\"S.ver\", \"L.ver\") = 0\n",
       1, 2},
      {"a file after the list", ok + "7 fdatasync(4</i/b.n>) = 0\n7 rename(\"b.n\", \"b\") = 0\n", 1, 3},
      {"an exempt name", "7 rename(\"T.n\", \"T.ver\") = 0\n", 0, 0},
  };
  for (const Case& test : cases) {
    const FlushOrderReport report = check_flush_order(test.trace, "/i", "L.ver", {"T.ver"});
    EXPECT_EQ(report.faults.size(), test.faults) << test.what;
    EXPECT_EQ(report.renames, test.renames) << test.what;
  }
}

// The old release of InstallSafety, and the new one on the server.
class DurableInstall : public UpdaterProcess {
 protected:
  void SetUp() override {
    UpdaterProcess::SetUp();
    if (!fs::exists(kStrace)) GTEST_SKIP() << "strace is missing (scripts/install-deps.sh)";
    publish(kList, release_one());
  }
  void install_old_release() {
    fs::remove_all(install_);
    write_file(install_ / "LocalVersion.ver", "Brindax.zip\nBrindax.exe@0.9\ndata/config.ini@2\n");
    write_file(install_ / "Brindax.exe", "old program");
    write_file(install_ / "data/config.ini", "level=0\n");
  }
  // The folder without the started application's marker.
  std::map<std::string, std::string> installed() const {
    auto content = snapshot();
    content.erase("app-started.log");
    return content;
  }
  // strace running the updater in the installation folder; its pid.
  pid_t start_traced(const std::vector<std::string>& strace_options, const char* mode) {
    std::vector<std::string> args = {kStrace, "-f", "-qq", "-o", (base_ / "trace").string()};
    args.insert(args.end(), strace_options.begin(), strace_options.end());
    args.insert(args.end(), {"--", std::string(BRINDAX_TEST_BIN_DIR) + "/brindax-updater-local", mode});
    const pid_t child = fork();
    if (child == 0) {
      if (chdir(install_.c_str()) != 0) _exit(127);
      const int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 0), dup2(null_fd, 1), dup2(null_fd, 2);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(kStrace, argv.data());
      _exit(127);
    }
    return child;
  }
  std::string trace() const { return read_file(base_ / "trace"); }
};

TEST_F(DurableInstall, EveryFileIsOnTheDiskBeforeItsNameAndTheListLast) {
  struct Case {
    const char* mode;
    int renames;  // at least: the package's record, the entries, the list
    bool list;
  };
  start_server();
  for (const Case& test : {Case{"MajAll", 6, true}, Case{"MajLocal", 3, false}}) {
    install_old_release();
    const pid_t tracer = start_traced(
        {"-y", "-e", "trace=write,pwrite64,writev,fsync,fdatasync,rename,renameat,renameat2"}, test.mode);
    int status = 0;
    ASSERT_EQ(waitpid(tracer, &status, 0), tracer);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << test.mode;
    EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n") << test.mode;
    const FlushOrderReport report = check_flush_order(trace(), fs::canonical(install_).string(),
                                                      "LocalVersion.ver", {"ServerVersion.ver"});
    EXPECT_EQ(report.faults, std::vector<std::string>{}) << test.mode << "\n" << trace();
    EXPECT_GE(report.renames, test.renames) << test.mode << "\n" << trace();
    EXPECT_EQ(report.list_renamed, test.list) << test.mode;
    EXPECT_EQ(app_starts(test.list ? std::chrono::milliseconds(3000) : std::chrono::milliseconds(0)),
              test.list ? 1 : 0);
  }
}

// Each rename of a full install is held by strace while the run is killed;
// then a run without server and a run with it. No name is ever missing, the
// run without server leaves the old or the new release whole and nothing
// private, and the last run installs.
TEST_F(DurableInstall, ARunKilledAtEachRenameLosesNothing) {
  start_server();
  install_old_release();
  const auto old_release = installed();
  ASSERT_EQ(updater({"MajAll"}).error_output, "");
  ASSERT_EQ(app_starts(), 1);  // and has ended: the folder is the test's again
  const auto new_release = installed();
  bool ran_through = false;
  int killed = 0;
  for (int rename = 1; !ran_through; ++rename) {
    ASSERT_LE(rename, 20) << "more renames than an install of this release makes";
    SCOPED_TRACE("killed at rename " + std::to_string(rename));
    install_old_release();
    server_.reset();
    start_server();
    const pid_t tracer = start_traced(
        {"-e", "trace=rename", "-e", "inject=rename:delay_enter=120000000:when=" + std::to_string(rename)},
        "MajAll");
    pid_t held = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (held == 0 && !ran_through) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << trace();
      const std::string text = trace();
      std::size_t at = 0;
      for (int seen = 0; seen < rename && at != std::string::npos;) {
        at = text.find("rename(", at == 0 ? 0 : at + 1);
        seen += at != std::string::npos;
      }
      if (at != std::string::npos) {
        const std::size_t line = text.rfind('\n', at);
        held = std::stoi(text.substr(line == std::string::npos ? 0 : line + 1));
      } else {
        ran_through = waitpid(tracer, nullptr, WNOHANG) == tracer;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    if (ran_through) {  // fewer renames than `rename`: nothing was held
      EXPECT_EQ(app_starts(), 1);
      break;
    }
    kill(held, SIGKILL);
    kill(tracer, SIGKILL);
    ++killed;
    waitpid(tracer, nullptr, 0);
    while (!os::process_has_ended(static_cast<std::uint32_t>(held))) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(fs::exists(install_ / "Brindax.exe"));
    EXPECT_TRUE(fs::exists(install_ / "LocalVersion.ver"));

    server_.reset();
    EXPECT_EQ(updater({"MajAll"}).error_output, "Ftp Error: Canot open Ftp connection\n");
    auto after = installed();
    // The server's list of a run killed after fetching it has a fixed name
    // that a check running at the same time may be using: the next
    // install replaces it, the failed one leaves it.
    after.erase("ServerVersion.ver");
    EXPECT_TRUE(after == old_release || after == new_release) << testing::PrintToString(after);

    start_server();
    EXPECT_EQ(updater({"MajAll"}).error_output, "");
    EXPECT_GE(app_starts(), 1);
    EXPECT_EQ(installed(), new_release);
  }
  // The server's list, the package's record, four entries and the list.
  EXPECT_GE(killed, 7);
  EXPECT_EQ(installed(), new_release);
}

}  // namespace
}  // namespace brindax::process_test
