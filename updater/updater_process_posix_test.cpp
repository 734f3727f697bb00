// The built updater, run as a process in a temporary folder against a local
// FTP server on 127.0.0.1 (the test builds have that host and port built in).
#include "updater/process_test_support.h"

#include "testing/scripted_ftp_peer.h"

namespace brindax::process_test {
namespace {

// --- start-up without a server -------------------------------------------------

TEST_F(UpdaterProcess, NoModeWordWithALocalListDoesNothing) {
  write_file(install_ / "LocalVersion.ver", "Brindax.zip\n");
  for (const char* mode : {"", "updateavailable", "MAJALL", "Majlocal", "Other"}) {
    std::vector<std::string> args;
    if (*mode) args.push_back(mode);
    RunResult result = updater(args);
    EXPECT_EQ(result.exit_code, 0) << mode;
    EXPECT_EQ(result.error_output, "") << mode;
    EXPECT_EQ(result.output, "") << mode;
    EXPECT_EQ(files_in_install(), std::vector<std::string>{"LocalVersion.ver"}) << mode;
    EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), "Brindax.zip\n");
  }
}

TEST_F(UpdaterProcess, EmptyLocalListCountsAsInstalled) {
  write_file(install_ / "LocalVersion.ver", "");
  RunResult result = updater({});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
}

TEST_F(UpdaterProcess, ServerThatCannotBeReached) {
  // No server listens on the built-in port.
  for (const char* mode : {"UpdateAvailable", "MajAll", "MajLocal"}) {
    RunResult result = updater({mode});
    EXPECT_EQ(result.exit_code, 0) << mode;
    EXPECT_EQ(result.error_output, "Ftp Error: Canot open Ftp connection\n") << mode;
  }
  EXPECT_TRUE(files_in_install().empty());
}

// --- the full install ------------------------------------------------------------

TEST_F(UpdaterProcess, FirstStartInstallsEverythingAndStartsTheApplicationOnce) {
  publish(kList, release_one());
  start_server();
  RunResult result = updater({});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(app_starts(), 1);
  EXPECT_EQ(files_in_install(),
            (std::vector<std::string>{"Brindax.exe", "LocalVersion.ver", "app-started.log", "data/",
                                      "data/config.ini", "data/empty.dat", "docs/", "docs/readme.txt"}));
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
  EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n");
  EXPECT_EQ(fs::file_size(install_ / "data/empty.dat"), 0u);
  EXPECT_NE(fs::status(install_ / "Brindax.exe").permissions() & fs::perms::owner_exec, fs::perms::none);

  // A second start finds the list and does nothing.
  EXPECT_EQ(updater({}).exit_code, 0);
  EXPECT_EQ(app_starts(std::chrono::milliseconds(300)), 1);
}

TEST_F(UpdaterProcess, MajAllReinstallsOverAnExistingInstallation) {
  publish(kList, release_one());
  write_file(install_ / "LocalVersion.ver", "Old.zip\nBrindax.exe@0.9\n");
  write_file(install_ / "data/config.ini", "level=0\n");
  start_server();
  RunResult result = updater({"MajAll", "ignored"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
  EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n");
  EXPECT_EQ(app_starts(), 1);
}

TEST_F(UpdaterProcess, ActiveModeBuildInstallsToo) {
  publish(kList, release_one());
  start_server();
  RunResult result = updater({"MajAll"}, "brindax-updater-local-active");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
  EXPECT_EQ(app_starts(), 1);
}

TEST_F(UpdaterProcess, BuildWithoutApplicationReportsSuccessInstead) {
  publish(kList, release_one());
  start_server();
  RunResult result = updater({"MajAll"}, "brindax-updater-local-noapp");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "Reveriv: UnZip success\n");
  EXPECT_EQ(app_starts(std::chrono::milliseconds(300)), 0);
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
}

TEST_F(UpdaterProcess, FullInstallFailuresLeaveTheLocalListAsItWas) {
  start_server();
  const std::string old_list = "Old.zip\nBrindax.exe@0.9\n";
  struct Case {
    const char* what;
    std::function<void()> prepare;
    const char* message;
    std::vector<std::string> left;  // files in the folder afterwards
  };
  std::vector<Case> cases = {
      {"no version list on the server", [&] { fs::remove(remote() / "Brindax.ver"); },
       "Ftp Error: Canot dowload version file\n", {"LocalVersion.ver"}},
      {"no package on the server",
       [&] {
         write_file(remote() / "Brindax.ver", kList);
         fs::remove(remote() / "Brindax.zip");
       },
       "Ftp Error: Canot dowload Zip file\n", {"LocalVersion.ver"}},
      {"package name on the list would leave the folder",
       [&] {
         write_file(remote() / "Brindax.ver", "../Brindax.zip\nBrindax.exe@1\n");
         make_zip(root_ / "public_html/source/Brindax.zip", release_one());
       },
       "Ftp Error: Canot dowload Zip file\n", {"LocalVersion.ver"}},
      {"package is no ZIP archive",
       [&] {
         write_file(remote() / "Brindax.ver", kList);
         write_file(remote() / "Brindax.zip", "this is not a zip archive");
       },
       "unzip Error: Canot open Zip file\n", {"LocalVersion.ver"}},
  };
  for (const auto& c : cases) {
    fs::remove_all(install_);
    fs::create_directories(install_);
    write_file(install_ / "LocalVersion.ver", old_list);
    write_file(base_ / "Brindax.zip", "not the updater's");
    c.prepare();
    RunResult result = updater({"MajAll"});
    EXPECT_EQ(result.exit_code, 0) << c.what;
    EXPECT_EQ(result.error_output, c.message) << c.what;
    EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), old_list) << c.what;
    EXPECT_EQ(files_in_install(), c.left) << c.what;
    // Nothing outside the installation folder is fetched over or deleted.
    EXPECT_EQ(read_file(base_ / "Brindax.zip"), "not the updater's") << c.what;
    EXPECT_EQ(app_starts(std::chrono::milliseconds(100)), 0) << c.what;
  }
  // Without any local list the failed install leaves none, so the next
  // start tries again.
  fs::remove_all(install_);
  fs::create_directories(install_);
  fs::remove(remote() / "Brindax.zip");
  RunResult result = updater({});
  EXPECT_EQ(result.error_output, "Ftp Error: Canot dowload Zip file\n");
  EXPECT_TRUE(files_in_install().empty());
}

TEST_F(UpdaterProcess, MissingUpdateDirectory) {
  fs::remove_all(root_ / "public_html/source");
  fs::create_directories(root_ / "public_html");
  start_server();
  RunResult result = updater({"UpdateAvailable"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "Ftp Error: Canot open Ftp directory\n");
}

TEST_F(UpdaterProcess, DamagedEntryStopsTheInstallBeforeAnythingIsReplaced) {
  const std::string marker = "DAMAGE-ME-0123456789-DAMAGE-ME";
  publish("Brindax.zip\nfirst.txt@1\nsecond.txt@1\n",
          {{"first.txt", "first\n"}, {"second.txt", marker, 0644, true}, {"third.txt", "third\n"}});
  std::string zip = read_file(remote() / "Brindax.zip");
  std::size_t at = zip.find(marker);
  ASSERT_NE(at, std::string::npos);
  zip[at + 3] ^= 0x20;
  write_file(remote() / "Brindax.zip", zip);
  write_file(install_ / "first.txt", "previous first\n");
  write_file(install_ / "LocalVersion.ver", "Old.zip\n");
  start_server();
  const auto before = snapshot();

  RunResult result = updater({"MajAll"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "unzip Error: Canot uncompress filesecond.txt\n");
  EXPECT_EQ(snapshot(), before);
}

TEST_F(UpdaterProcess, HostileEntriesCannotLeaveTheFolder) {
  for (const char* hostile : {"../escaped.txt", "sub/../../escaped.txt", "/tmp/brindax-escaped.txt",
                              "C:escaped.txt", "..\\escaped.txt"}) {
    publish("Brindax.zip\nok.txt@1\n", {{"ok.txt", "fine\n"}, {hostile, "gotcha\n"}});
    fs::remove_all(install_);
    fs::create_directories(install_);
    start_server();
    RunResult result = updater({"MajAll"});
    server_.reset();
    EXPECT_EQ(result.exit_code, 0) << hostile;
    EXPECT_EQ(result.error_output, std::string("unzip Error: Canot uncompress file") + hostile + "\n");
    EXPECT_FALSE(fs::exists(base_ / "escaped.txt")) << hostile;
    EXPECT_FALSE(fs::exists("/tmp/brindax-escaped.txt"));
    EXPECT_FALSE(fs::exists(install_ / "LocalVersion.ver"));
  }
}

// --- the update check ---------------------------------------------------------------

TEST_F(UpdaterProcess, CheckAnswersThroughTheExitCode) {
  write_file(remote() / "Brindax.ver", kList);
  start_server();
  struct Case {
    std::string local;
    int code;
  };
  std::vector<Case> cases = {
      {kList, 0},
      {"Other.zip\nBrindax.exe@1.0\ndata/config.ini@3\ndata/empty.dat@1\n", 0},
      {"Brindax.zip\nBrindax.exe@1.0\ndata/config.ini@3\n", 1},
      {"Brindax.zip\nBrindax.exe@1.0\ndata/config.ini@4\ndata/empty.dat@1\n", 2},
      {"Brindax.zip\r\nBrindax.exe@1.0\r\ndata/config.ini@3\r\ndata/empty.dat@1\r\n", 2},
  };
  for (const auto& c : cases) {
    write_file(install_ / "LocalVersion.ver", c.local);
    RunResult result = updater({"UpdateAvailable"});
    EXPECT_EQ(result.exit_code, c.code) << c.local;
    EXPECT_EQ(result.error_output, "");
    EXPECT_EQ(files_in_install(), std::vector<std::string>{"LocalVersion.ver"});
    EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), c.local);
  }
  // Each run logged in, changed to the update directory, fetched the list
  // and said goodbye on the way out.
  int runs = static_cast<int>(cases.size());
  EXPECT_EQ(server_->commands("USER vantorel"), runs);
  EXPECT_EQ(server_->commands("CWD public_html/source/Kelmor/"), runs);
  EXPECT_EQ(server_->commands("RETR Brindax.ver"), runs);
  for (int i = 0; i < 100 && server_->commands("QUIT") < runs; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the last QUIT may still travel
  }
  EXPECT_EQ(server_->commands("QUIT"), runs);
}

TEST_F(UpdaterProcess, CheckBeforeTheFirstInstallCreatesNoList) {
  write_file(remote() / "Brindax.ver", kList);
  make_zip(remote() / "Brindax.zip", release_one());
  start_server();
  RunResult check = updater({"UpdateAvailable"});
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_TRUE(files_in_install().empty());
  // So a later start without a mode word still installs.
  EXPECT_EQ(updater({}).exit_code, 0);
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
}

// A FIFO at the installed list's name holds no list and is never waited on:
// the check answers as with no list and leaves it, a partial update finds
// nothing installed.
TEST_F(UpdaterProcess, ListThatIsAFifoIsNoListAndNeverWaitedOn) {
  write_file(remote() / "Brindax.ver", kList);
  make_zip(remote() / "Brindax.zip", release_one());
  start_server();
  ASSERT_EQ(mkfifo((install_ / "LocalVersion.ver").c_str(), 0600), 0);
  EXPECT_EQ(updater({"UpdateAvailable"}).exit_code, 1);
  const RunResult partial = updater({"MajLocal"});
  EXPECT_EQ(partial.exit_code, 0);
  EXPECT_EQ(partial.error_output, "");
  EXPECT_EQ(files_in_install(), std::vector<std::string>{"LocalVersion.ver"});
  EXPECT_TRUE(fs::is_fifo(install_ / "LocalVersion.ver"));
}

TEST_F(UpdaterProcess, CheckWithoutServerList) {
  start_server();
  RunResult result = updater({"UpdateAvailable"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "Ftp Error: Canot dowload version file\n");
  EXPECT_TRUE(files_in_install().empty());
}

// --- the partial update -------------------------------------------------------------

TEST_F(UpdaterProcess, PartialUpdateWritesExactlyTheChangedEntries) {
  const std::string local =
      "Brindax.zip\nBrindax.exe@1\na.txt@1\nsub/b.txt@1\nc.txt@1\n";
  const std::string server =
      "Brindax.zip\nBrindax.exe@1\na.txt@2\nsub/b.txt@1\nc.txt@2\nextra.txt@1\nmore.txt@1\n";
  publish(server, {{"Brindax.exe", kApp, 0755},
                   {"a.txt", "a two\n"},
                   {"sub/b.txt", "b from package\n"},
                   {"c.txt", "c two\n"},
                   {"extra.txt", "extra\n"},
                   {"more.txt", "more\n"}});
  write_file(install_ / "LocalVersion.ver", local);
  write_file(install_ / "a.txt", "a one\n");
  write_file(install_ / "sub/b.txt", "b one\n");
  // A file under the package's name is none of the updater's business.
  write_file(install_ / "Brindax.zip", "not the package");
  start_server();

  RunResult result = updater({"MajLocal"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(server_->commands("RETR Brindax.zip"), 1);
  EXPECT_EQ(read_file(install_ / "a.txt"), "a two\n");
  EXPECT_EQ(read_file(install_ / "c.txt"), "c two\n");
  EXPECT_EQ(read_file(install_ / "sub/b.txt"), "b one\n");
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), local);
  // Records are matched by line number, as many lines as the local list has:
  // its empty last line meets "extra.txt@1", whose version differs; the
  // server's further lines are never visited.
  EXPECT_EQ(read_file(install_ / "extra.txt"), "extra\n");
  EXPECT_EQ(files_in_install(), (std::vector<std::string>{"Brindax.zip", "LocalVersion.ver", "a.txt",
                                                          "c.txt", "extra.txt", "sub/", "sub/b.txt"}));
  EXPECT_EQ(read_file(install_ / "Brindax.zip"), "not the package");
  EXPECT_EQ(app_starts(std::chrono::milliseconds(200)), 0);
}

TEST_F(UpdaterProcess, PartialUpdateWithNothingChangedFetchesNothing) {
  const std::string list = "Brindax.zip\na.txt@1\n";
  write_file(remote() / "Brindax.ver", list);  // no package on the server at all
  write_file(install_ / "LocalVersion.ver", list);
  start_server();
  RunResult result = updater({"MajLocal"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(files_in_install(), std::vector<std::string>{"LocalVersion.ver"});
  EXPECT_EQ(server_->commands("RETR Brindax.ver"), 1);
  EXPECT_EQ(server_->commands("RETR Brindax.zip"), 0);
}

TEST_F(UpdaterProcess, PartialUpdateFailures) {
  start_server();
  const std::string local = "Brindax.zip\na.txt@1\n";
  struct Case {
    const char* what;
    std::string server_list;
    std::function<void()> package;
    const char* message;
  };
  std::vector<Case> cases = {
      {"no package", "Brindax.zip\na.txt@2\n", [&] { fs::remove(remote() / "Brindax.zip"); },
       "Ftp Error: Canot dowload Zip file\n"},
      {"package is no ZIP", "Brindax.zip\na.txt@2\n",
       [&] { write_file(remote() / "Brindax.zip", "garbage"); }, "unzip Error: Canot open Zip file\n"},
      {"entry missing from the package", "Brindax.zip\nmissing.txt@2\n",
       [&] { make_zip(remote() / "Brindax.zip", {{"a.txt", "a\n"}}); },
       "unzip Error: Canot uncompress filemissing.txt\n"},
      {"hostile name on the server's list", "Brindax.zip\n../a.txt@2\n",
       [&] { make_zip(remote() / "Brindax.zip", {{"../a.txt", "gotcha\n"}}); },
       "unzip Error: Canot uncompress file../a.txt\n"},
  };
  for (const auto& c : cases) {
    fs::remove_all(install_);
    fs::create_directories(install_);
    write_file(install_ / "LocalVersion.ver", local);
    write_file(remote() / "Brindax.ver", c.server_list);
    c.package();
    RunResult result = updater({"MajLocal"});
    EXPECT_EQ(result.exit_code, 0) << c.what;
    EXPECT_EQ(result.error_output, c.message) << c.what;
    EXPECT_EQ(files_in_install(), std::vector<std::string>{"LocalVersion.ver"}) << c.what;
    EXPECT_FALSE(fs::exists(base_ / "a.txt")) << c.what;
  }
  fs::remove(remote() / "Brindax.ver");
  RunResult result = updater({"MajLocal"});
  EXPECT_EQ(result.error_output, "Ftp Error: Canot dowload version file\n");
}

// --- servers that behave unusually (a scripted peer at the built-in port) ---------

using brindax::testkit::ScriptedFtpPeer;

// Log-in and change of directory, with replies shaped as some servers shape
// them: a greeting with a line that carries no code, a multi-line 230.
ScriptedFtpPeer& log_in(ScriptedFtpPeer& peer) {
  return peer.send("220-Brindax update service\r\nplease be patient\r\n220 ready\r\n")
      .expect("USER vantorel")
      .send("331 password please\r\n")
      .expect("PASS Zi3zEr8Iz5")
      .send("230-welcome\r\n230-enjoy\r\n230 logged in\r\n")
      .expect("CWD public_html/source/Kelmor/")
      .send("250 ok\r\n");
}

ScriptedFtpPeer& passive_retr(ScriptedFtpPeer& peer, const std::string& name) {
  return peer.expect("TYPE I")
      .send("200 binary\r\n")
      .expect("PASV")
      .listen_data()
      .send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
      .expect("RETR " + name);
}

TEST_F(UpdaterProcess, CheckThroughRepliesInOddShapes) {
  ScriptedFtpPeer peer("127.0.0.1", kPort);
  ASSERT_NE(peer.port(), 0);
  log_in(peer);
  passive_retr(peer, "Brindax.ver")
      .send_bytewise("150 here it comes\r\n")
      .serve_data("Brindax.zip\nBrindax.exe@2\n")
      .send("226 done\r\n")
      .expect_closed();
  peer.start();
  write_file(install_ / "LocalVersion.ver", "Brindax.zip\nBrindax.exe@1\n");
  RunResult result = updater({"UpdateAvailable"});
  EXPECT_TRUE(peer.finish()) << peer.failure();
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(files_in_install(), std::vector<std::string>{"LocalVersion.ver"});
}

TEST_F(UpdaterProcess, PackageDownloadBrokenInTheMiddleLeavesNothingBehind) {
  const std::string old_list = "Brindax.zip\nBrindax.exe@1\n";
  ScriptedFtpPeer peer("127.0.0.1", kPort);
  ASSERT_NE(peer.port(), 0);
  log_in(peer);
  passive_retr(peer, "Brindax.ver")
      .send("150 list\r\n226 done\r\n")  // both replies in one piece
      .serve_data("Brindax.zip\nBrindax.exe@2\n");
  passive_retr(peer, "Brindax.ver.manifest").send("550 no such file\r\n");  // no manifest
  // Without size and identity the package cannot be continued: whole.
  peer.expect("TYPE I")
      .send("200 binary\r\n")
      .expect("SIZE Brindax.zip")
      .send("550 no size\r\n")
      .expect("MDTM Brindax.zip")
      .send("550 no time\r\n");
  passive_retr(peer, "Brindax.zip")
      .send("150 package\r\n")
      .serve_data(std::string(100000, 'P'), ScriptedFtpPeer::DataEnd::reset)
      .send("426 connection lost\r\n")
      .expect_closed();
  peer.start();
  write_file(install_ / "LocalVersion.ver", old_list);
  RunResult result = updater({"MajAll"});
  EXPECT_TRUE(peer.finish()) << peer.failure();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "Ftp Error: Canot dowload Zip file\n");
  EXPECT_EQ(files_in_install(), std::vector<std::string>{"LocalVersion.ver"});
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), old_list);
  EXPECT_EQ(app_starts(std::chrono::milliseconds(100)), 0);
}

}  // namespace
}  // namespace brindax::process_test
