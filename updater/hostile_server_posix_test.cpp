// Servers that stall, trickle or send too much, played by a scripted peer at
// the built-in port against the quick test build, whose FTP time-out is 3 s
// instead of 30 s (so the trickling paces below are a tenth of the paces
// they stand for). Every run must end within a few time-outs with the usual
// outcome, exit code 0 and the installation folder exactly as it was.
#include "updater/process_test_support.h"

#include "testing/scripted_ftp_peer.h"

namespace brindax::process_test {
namespace {

using brindax::testkit::ScriptedFtpPeer;

const char* const kQuickBuild = "brindax-updater-local-quick";
const std::string kLocalList = "Brindax.zip\nBrindax.exe@1\n";

ScriptedFtpPeer& greet_and_log_in(ScriptedFtpPeer& peer) {
  return peer.send("220 ready\r\n")
      .expect("USER vantorel")
      .send("331 password please\r\n")
      .expect("PASS Zi3zEr8Iz5")
      .send("230 logged in\r\n");
}

ScriptedFtpPeer& up_to_retr_list(ScriptedFtpPeer& peer) {
  return peer.expect("CWD public_html/source/Kelmor/")
      .send("250 ok\r\n")
      .expect("TYPE I")
      .send("200 binary\r\n")
      .expect("PASV")
      .listen_data()
      .send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
      .expect("RETR Brindax.ver")
      .send("150 list\r\n");
}

TEST_F(UpdaterProcess, HostileServersEndTheRunInTimeAndChangeNothing) {
  struct Case {
    const char* name;
    const char* mode;
    std::function<void(ScriptedFtpPeer&)> script;
    int exit_code;
    const char* message;
  };
  const std::string over_cap((std::size_t{64} << 20) + 1, 'L');
  const std::vector<Case> cases = {
      {"a reply trickling a byte every 200 ms", "UpdateAvailable",
       [](ScriptedFtpPeer& p) {
         greet_and_log_in(p)
             .expect("CWD ")
             .send("250 ok\r\n")
             .expect("TYPE I")
             .send("200 binary\r\n")
             .expect("PASV")
             .listen_data()
             .trickle("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n", 200);
       },
       0, "Ftp Error: Canot dowload version file\n"},
      {"a multi-line reply that never ends", "MajAll",
       [](ScriptedFtpPeer& p) {
         p.send("220 ready\r\n")
             .expect("USER ")
             .send("331 password please\r\n")
             .expect("PASS ")
             .send_endless("230-still welcoming you\r\n", 100);
       },
       0, "Ftp Error: Canot open Ftp connection\n"},
      {"data arriving a byte every 500 ms", "MajLocal",
       [](ScriptedFtpPeer& p) {
         up_to_retr_list(greet_and_log_in(p))
             .trickle_data("Brindax.zip\nBrindax.exe@2\n", 1, 500)
             .send("426 aborted\r\n");
       },
       0, "Ftp Error: Canot dowload version file\n"},
      {"a range trickling a byte every 500 ms", "MajLocal",
       [](ScriptedFtpPeer& p) {
         up_to_retr_list(greet_and_log_in(p))
             .serve_data("Brindax.zip\nBrindax.exe@2\n")
             .send("226 done\r\n")
             // The release manifest beside the list: none here.
             .expect("TYPE I")
             .send("200 binary\r\n")
             .expect("PASV")
             .listen_data()
             .send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
             .expect("RETR Brindax.ver.manifest")
             .send("550 no such file\r\n")
             .expect("TYPE I")
             .send("200 binary\r\n")
             .expect("SIZE Brindax.zip")
             .send("213 1000000\r\n")
             .expect("TYPE I")
             .send("200 binary\r\n")
             .expect("PASV")
             .listen_data()
             .send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
             .expect("REST ")
             .send("350 restarting\r\n")
             .expect("RETR Brindax.zip")
             .send("150 go\r\n")
             .trickle_data(std::string(100, 'x'), 1, 500)
             .send("426 aborted\r\n")
             // Then the whole package, which is gone by now.
             .expect("TYPE I")
             .send("200 binary\r\n")
             .expect("SIZE Brindax.zip")
             .send("550 gone\r\n")
             .expect("MDTM Brindax.zip")
             .send("550 gone\r\n")
             .expect("TYPE I")
             .send("200 binary\r\n")
             .expect("PASV")
             .listen_data()
             .send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
             .expect("RETR Brindax.zip")
             .send("550 gone\r\n");
       },
       0, "Ftp Error: Canot dowload Zip file\n"},
      {"a 226 that never ends", "UpdateAvailable",
       [](ScriptedFtpPeer& p) {
         up_to_retr_list(greet_and_log_in(p))
             .serve_data("Brindax.zip\nBrindax.exe@2\n")
             .send_endless("226-still closing\r\n", 100);
       },
       0, "Ftp Error: Canot dowload version file\n"},
      {"a version list over 64 MiB", "UpdateAvailable",
       [&over_cap](ScriptedFtpPeer& p) {
         up_to_retr_list(greet_and_log_in(p))
             .trickle_data(over_cap, std::size_t{1} << 20, 0)
             .send("226 done\r\n");
       },
       0, "Ftp Error: Canot dowload version file\n"},
      {"230 to USER: logged in without a password", "UpdateAvailable",
       [](ScriptedFtpPeer& p) {
         p.send("220 ready\r\n").expect("USER vantorel").send("230 no password needed\r\n");
         up_to_retr_list(p).serve_data(kLocalList).send("226 done\r\n");
       },
       0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(install_);
    fs::create_directories(install_);
    write_file(install_ / "LocalVersion.ver", kLocalList);
    write_file(install_ / "Brindax.exe", kApp);
    const auto before = snapshot();
    ScriptedFtpPeer peer("127.0.0.1", kPort);
    ASSERT_NE(peer.port(), 0);
    c.script(peer);
    peer.expect_closed();
    peer.start();
    const auto start = std::chrono::steady_clock::now();
    RunResult result = updater({c.mode}, kQuickBuild);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(peer.finish()) << peer.failure();
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.error_output, c.message);
    EXPECT_LT(elapsed, std::chrono::seconds(8));  // at most two time-outs and some slack
    EXPECT_EQ(snapshot(), before);
  }
}

}  // namespace
}  // namespace brindax::process_test
