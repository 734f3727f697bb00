// Mirrors: the test build "brindax-updater-local-mirrors" names three hosts
// at the built-in port, tried in order: 127.0.0.2 refuses, 127.0.0.3 takes
// the connection and never greets (a scripted peer that stays silent),
// 127.0.0.1 serves with pyftpdlib. Its FTP time-out is 3 s.
#include "updater/process_test_support.h"

#include "testing/scripted_ftp_peer.h"

namespace brindax::process_test {
namespace {

using brindax::testkit::ScriptedFtpPeer;

TEST_F(UpdaterProcess, MirrorsAreTriedInTurnUntilOneGreets) {
  const std::string old_list = "Brindax.zip\nBrindax.exe@1.0\ndata/config.ini@2\ndata/empty.dat@1\n";
  struct Case {
    const char* name;
    const char* mode;
    bool served;  // 127.0.0.1 serves
    int exit_code;
    const char* message;
    std::function<void()> check;
  };
  const std::vector<Case> cases = {
      {"check", "UpdateAvailable", true, 2, "", [] {}},
      {"full install", "MajAll", true, 0, "",
       [&] {
         EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
         EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n");
         EXPECT_EQ(app_starts(), 1);
       }},
      {"partial update", "MajLocal", true, 0, "",
       [&] {
         EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), old_list);
         EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n");
         EXPECT_FALSE(fs::exists(install_ / "Brindax.exe"));  // its version did not change
       }},
      {"all dead", "UpdateAvailable", false, 0, "Ftp Error: Canot open Ftp connection\n", [] {}},
  };
  publish(kList, release_one());
  start_server();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.served) server_.reset();
    fs::remove_all(install_);
    fs::create_directories(install_);
    write_file(install_ / "LocalVersion.ver", old_list);
    ScriptedFtpPeer silent("127.0.0.3", kPort);
    ASSERT_NE(silent.port(), 0);
    silent.stall(20000);
    silent.start();
    const auto start = std::chrono::steady_clock::now();
    RunResult result = updater({c.mode}, "brindax-updater-local-mirrors");
    // One silent greeting wait (3 s) and some slack.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.error_output, c.message);
    c.check();
  }
}

}  // namespace
}  // namespace brindax::process_test
