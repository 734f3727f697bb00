// Updaters started at once in one installation folder: installs and partial
// updates take turns (the folder lock), the check takes no turn and touches
// nothing of theirs, and a run that cannot get its turn leaves the folder
// alone with one message.
#include <random>

#include "runtime/core/folder_lock.h"
#include "updater/process_test_support.h"

namespace brindax::process_test {
namespace {

const char* const kQuick = "brindax-updater-local-quick";  // waits 7.5 s for its turn
const std::string kBusy =
    "Update Error: Another update of this installation is still running: try again once it has ended\n";
const std::string kNewList =
    "Brindax.zip\nBrindax.exe@1.0\ndata/config.ini@4\ndata/empty.dat@1\n";

class RunsAtOnce : public UpdaterProcess {
 protected:
  // release_one with a large stored entry first, so that an install takes
  // long enough for the others to start beside it.
  static std::vector<Entry> large_release(const std::string& config) {
    std::mt19937 generator(5);
    std::string bytes(std::size_t{4} << 20, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    std::vector<Entry> entries = {{"big.bin", bytes, 0644, true}};
    for (Entry& entry : release_one()) entries.push_back(entry);
    entries[3].data = config;
    return entries;
  }
  // What a complete install of the release on the server leaves, nothing
  // more: no private file of any run.
  void expect_installed(const std::string& list, const std::string& config) {
    EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), list);
    EXPECT_EQ(read_file(install_ / "data/config.ini"), config);
    EXPECT_EQ(read_file(install_ / "Brindax.exe"), kApp);
    EXPECT_EQ(files_in_install(),
              (std::vector<std::string>{"Brindax.exe", "LocalVersion.ver", "app-started.log", "big.bin",
                                        "data/", "data/config.ini", "data/empty.dat", "docs/",
                                        "docs/readme.txt"}));
  }
};

TEST_F(RunsAtOnce, ThreeFullInstallsInOneFolder) {
  publish(kList, large_release("level=1\n"));
  start_server();
  std::vector<std::unique_ptr<StartedRun>> runs;
  for (int i = 0; i < 3; ++i) runs.push_back(start_updater({"MajAll"}, std::to_string(i)));
  for (auto& run : runs) {
    const RunResult result = run->finish();
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.error_output, "");
  }
  // Each full install starts the application, one after the other.
  EXPECT_EQ(app_starts_reaching(3), 3);
  expect_installed(kList, "level=1\n");
}

TEST_F(RunsAtOnce, AFullInstallBesideAPartialUpdate) {
  publish(kList, large_release("level=1\n"));
  start_server();
  ASSERT_EQ(updater({"MajAll"}).error_output, "");
  publish(kNewList, large_release("level=4\n"));
  auto full = start_updater({"MajAll"}, "full");
  auto partial = start_updater({"MajLocal"}, "partial");
  for (auto* run : {full.get(), partial.get()}) {
    const RunResult result = run->finish();
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.error_output, "");
  }
  EXPECT_EQ(app_starts_reaching(2), 2);  // the first install's and the second's
  expect_installed(kNewList, "level=4\n");
}

// While an install holds the folder, the check answers at once and leaves
// the install's files as they are ("ServerVersion.ver" is its list copy).
TEST_F(RunsAtOnce, TheCheckNeitherWaitsNorTouchesAnInstall) {
  publish(kNewList, release_one());
  start_server();
  write_file(install_ / "LocalVersion.ver", kList);
  write_file(install_ / "ServerVersion.ver", kNewList);
  write_file(install_ / "package.brindax-part", "PK");
  FolderLock install;
  ASSERT_EQ(install.acquire(install_.c_str(), std::chrono::milliseconds(0)), FolderLockResult::acquired);
  const auto before = snapshot();
  // The product build would wait 75 s for a turn, past this bound.
  const RunResult result = run_in(install_, std::string(BRINDAX_TEST_BIN_DIR) + "/brindax-updater-local",
                                  {"UpdateAvailable"}, std::chrono::seconds(40));
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(snapshot(), before);
}

// A run started while another holds the folder waits for it, then does its
// own work against what that one left; one that does not get its turn
// within the wait ends with one message, the folder untouched.
TEST_F(RunsAtOnce, ARunWaitsForItsTurn) {
  publish(kList, release_one());
  start_server();
  struct Case {
    const char* what;
    const char* mode;  // "": a first start without a mode word
    bool released;     // the holder ends within the wait
    std::function<void()> holder_leaves;
    std::string message;
    bool package_fetched;
  };
  const std::vector<Case> cases = {
      {"full install", "MajAll", true, [] {}, "", true},
      {"first start: the holder installed meanwhile", "", true,
       [&] { write_file(install_ / "LocalVersion.ver", kList); }, "", false},
      {"the holder stays past the wait", "MajAll", false, [] {}, kBusy, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.reset();
    fs::remove_all(install_);
    fs::create_directories(install_);
    start_server();
    FolderLock holder;
    ASSERT_EQ(holder.acquire(install_.c_str(), std::chrono::milliseconds(0)), FolderLockResult::acquired);
    std::vector<std::string> args;
    if (*c.mode != '\0') args.push_back(c.mode);
    auto run = start_updater(args, "", kQuick);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(fs::exists(install_ / "Brindax.exe"));  // not while the holder works
    c.holder_leaves();
    const auto left = snapshot();
    if (c.released) holder.release();
    const RunResult result = run->finish();
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.error_output, c.message);
    EXPECT_EQ(server_->commands("RETR Brindax.zip") > 0, c.package_fetched);
    if (c.package_fetched) {
      EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
      EXPECT_EQ(app_starts_reaching(1), 1);
    } else {
      EXPECT_EQ(snapshot(), left);
    }
  }
}

}  // namespace
}  // namespace brindax::process_test
