// Package downloads that continue where the bytes stopped: within a run
// after the data connection broke, and in the next run after the updater
// was killed; a partial package of another release or changed by hand is
// never installed. Against pyftpdlib that counts what it sends, and a
// scripted peer that stalls.
#include <random>

#include "testing/scripted_ftp_peer.h"
#include "updater/process_test_support.h"
#include "updater/release_binding.h"
#include "updater/release_signature.h"

namespace brindax::process_test {
namespace {

using brindax::testkit::ScriptedFtpPeer;

const char* const kPartial = "package.brindax-part";
const char* const kRecord = "package.brindax-part-record";

std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

class PackageResume : public UpdaterProcess {
 protected:
  void TearDown() override {
    stop_counting();
    UpdaterProcess::TearDown();
  }

  // ftp_server_counting.py at the built-in port, with `options`.
  void start_counting(std::vector<std::string> options) {
    const fs::path port_file = base_ / "server.port";
    fs::remove(port_file);
    const std::string script =
        (fs::path(BRINDAX_FTP_SERVER_SCRIPT).parent_path() / "ftp_server_counting.py").string();
    std::vector<std::string> args = {"python3", script, "--root", root_.string(), "--user", kUser,
                                     "--password", kPassword, "--port", std::to_string(kPort),
                                     "--port-file", port_file.string(), "--transfer-log",
                                     (base_ / "server.transfers").string()};
    args.insert(args.end(), options.begin(), options.end());
    server_pid_ = fork();
    if (server_pid_ == 0) {
      const int null_fd = open("/dev/null", O_RDWR);
      for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv("/usr/bin/python3", argv.data());
      _exit(127);
    }
    for (int i = 0; i < 1000 && !(fs::exists(port_file) && !read_file(port_file).empty()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fs::exists(port_file)) << "the counting FTP server did not start";
  }
  void stop_counting() {
    if (server_pid_ > 0) {
      kill(server_pid_, SIGTERM);
      waitpid(server_pid_, nullptr, 0);
    }
    server_pid_ = -1;
  }
  // Bytes of the package the server sent so far (what reached the client).
  std::uint64_t package_bytes_sent() const {
    std::istringstream lines(read_file(base_ / "server.transfers"));
    std::uint64_t total = 0;
    std::string name;
    long long bytes = 0;
    while (lines >> name >> bytes) {
      if (name == "Brindax.zip" && bytes > 0) total += static_cast<std::uint64_t>(bytes);
    }
    return total;
  }

  // A release whose package is mostly 6 MiB of stored noise (first, so that
  // a byte in its first half is entry data).
  std::uint64_t publish_release(unsigned seed, bool sign) {
    std::vector<Entry> entries = {{"big.bin", noise(std::size_t{6} << 20, seed), 0644, true}};
    for (auto& entry : release_one()) entries.push_back(entry);
    if (seed != 1) entries.back().data = "Brindax " + std::to_string(seed) + "\n";
    publish(kList, entries);
    if (sign) {
      const std::string package = read_file(remote() / "Brindax.zip");
      ReleaseHash hash;
      hash.update(package.data(), package.size());
      const std::string binding = format_release_binding({1, package.size(), hash.finish(), std::nullopt});
      EXPECT_EQ(run_in(base_, BRINDAX_MINISIGN,
                       {"-S", "-s", BRINDAX_TEST_RELEASE_SECRET_KEY, "-m",
                        (remote() / "Brindax.ver").string(), "-t", binding})
                    .exit_code,
                0);
    }
    return fs::file_size(remote() / "Brindax.zip");
  }

  // Starts a full install and kills it once the partial package holds
  // `fraction` of `size` bytes.
  void kill_during_download(const char* build, std::uint64_t size, double fraction) {
    const pid_t child = fork();
    if (child == 0) {
      if (chdir(install_.c_str()) != 0) _exit(127);
      const int null_fd = open("/dev/null", O_RDWR);
      for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
      const std::string program = std::string(BRINDAX_TEST_BIN_DIR) + "/" + build;
      execl(program.c_str(), program.c_str(), "MajAll", static_cast<char*>(nullptr));
      _exit(127);
    }
    const auto held = [&] {
      std::error_code error;
      const std::uintmax_t bytes = fs::file_size(install_ / kPartial, error);
      return error ? 0 : bytes;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && held() < size * fraction) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_GE(held(), size * fraction) << "never got that far";
    ASSERT_LT(held(), size);
    ASSERT_TRUE(fs::exists(install_ / kRecord));
    // The server counts the broken transfer once it notices the break.
    for (int i = 0; i < 1000 && package_bytes_sent() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  bool installed(unsigned seed) const {
    return fs::exists(install_ / "LocalVersion.ver") &&
           read_file(install_ / "docs/readme.txt") ==
               (seed == 1 ? std::string("Brindax\n") : "Brindax " + std::to_string(seed) + "\n");
  }
  bool nothing_partial_left() const {
    return !fs::exists(install_ / kPartial) && !fs::exists(install_ / kRecord);
  }

  pid_t server_pid_ = -1;
};

TEST_F(PackageResume, ADroppedConnectionIsContinuedInTheSameRun) {
  for (const bool sign : {false, true}) {
    SCOPED_TRACE(sign ? "signed" : "unsigned");
    fs::remove_all(install_);
    fs::create_directories(install_);
    const std::uint64_t size = publish_release(1, sign);
    start_counting({"--drop-at", "Brindax.zip:0.5"});
    const RunResult result = updater({"MajAll"}, sign ? "brindax-updater-local-signed" : "brindax-updater-local");
    EXPECT_EQ(result.error_output, "");
    EXPECT_TRUE(installed(1));
    EXPECT_EQ(app_starts(), 1);  // done before the folder goes
    EXPECT_TRUE(nothing_partial_left());
    EXPECT_GT(package_bytes_sent(), size / 2);
    EXPECT_LE(package_bytes_sent(), size * 11 / 10);
    stop_counting();
    fs::remove(base_ / "server.transfers");
  }
}

TEST_F(PackageResume, TheNextRunContinuesOnlyTheSamePackage) {
  struct Case {
    const char* what;
    bool sign;
    std::function<void()> between;  // after the kill, before the next run
    bool next_run_installs;         // else the one after it does
    unsigned installed_seed;
    double most_sent;  // of the package's size, in the next run
  };
  const std::vector<Case> cases = {
      {"unchanged", false, [] {}, true, 1, 0.45},
      {"unchanged, signed", true, [] {}, true, 1, 0.45},
      {"package replaced on the server", false,
       [&] {
         publish_release(2, false);
         fs::last_write_time(remote() / "Brindax.zip",
                             fs::last_write_time(remote() / "Brindax.zip") + std::chrono::hours(1));
       },
       true, 2, 1.1},
      {"partial cut short by hand", false,
       [&] { fs::resize_file(install_ / kPartial, fs::file_size(install_ / kPartial) / 2); }, true, 1,
       0.8},
      {"a byte of the partial changed", false,
       [&] {
         std::string data = read_file(install_ / kPartial);
         data[data.size() / 3] ^= 0x20;
         write_file(install_ / kPartial, data);
       },
       false, 1, 0.45},
      {"a byte of the partial changed, signed", true,
       [&] {
         std::string data = read_file(install_ / kPartial);
         data[data.size() / 3] ^= 0x20;
         write_file(install_ / kPartial, data);
       },
       false, 1, 0.45},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(install_);
    fs::create_directories(install_);
    const char* build = c.sign ? "brindax-updater-local-signed" : "brindax-updater-local";
    const std::uint64_t size = publish_release(1, c.sign);
    start_counting({"--rate", "8"});  // about 1 MB/s: a download of several seconds
    kill_during_download(build, size, 0.6);
    c.between();
    const std::uint64_t before = package_bytes_sent();
    RunResult result = updater({"MajAll"}, build);
    EXPECT_LE(package_bytes_sent() - before, size * c.most_sent);
    EXPECT_TRUE(nothing_partial_left());
    if (!c.next_run_installs) {
      EXPECT_NE(result.error_output, "");
      EXPECT_FALSE(fs::exists(install_ / "LocalVersion.ver"));
      result = updater({"MajAll"}, build);
    }
    EXPECT_EQ(result.error_output, "");
    EXPECT_TRUE(installed(c.installed_seed));
    EXPECT_EQ(app_starts(), 1);  // done before the folder goes
    EXPECT_TRUE(nothing_partial_left());
    stop_counting();
    fs::remove(base_ / "server.transfers");
  }
}

// Whatever stands at the partial package's, its record's or the server
// list copy's name and is not a plain file was not left by a download: it
// goes, unopened and never waited on, and the install goes on. Beside it lie
// the real bytes and record of a run killed during the download, so that a
// link at the package's name would be continued.
TEST_F(PackageResume, LocalFilesThatLieAreRemovedNotOpened) {
  const std::uint64_t size = publish_release(1, false);
  start_counting({"--rate", "8"});
  kill_during_download("brindax-updater-local", size, 0.3);
  stop_counting();
  const std::string held = read_file(install_ / kPartial);
  const std::string record = read_file(install_ / kRecord);
  start_counting({});
  const fs::path outside = base_ / "outside.bin";
  for (const char* name : {kPartial, kRecord, "ServerVersion.ver"}) {
    for (const char* kind : {"link", "FIFO", "folder"}) {
      SCOPED_TRACE(std::string(name) + ": a " + kind);
      fs::remove_all(install_);
      write_file(install_ / kPartial, held);
      write_file(install_ / kRecord, record);
      // What a link points to: the bytes a continued download would extend.
      const std::string outside_bytes = std::string(name) == kRecord ? record : held;
      write_file(outside, outside_bytes);
      fs::remove(install_ / name);
      if (std::string(kind) == "link") fs::create_symlink(outside, install_ / name);
      if (std::string(kind) == "FIFO") {
        ASSERT_EQ(mkfifo((install_ / name).c_str(), 0600), 0);
      }
      if (std::string(kind) == "folder") write_file(install_ / name / "inside.txt", "x");

      const RunResult result = run_in(install_, std::string(BRINDAX_TEST_BIN_DIR) + "/brindax-updater-local",
                                      {"MajAll"}, std::chrono::seconds(40));
      EXPECT_EQ(result.error_output, "");
      EXPECT_TRUE(installed(1));
      EXPECT_TRUE(nothing_partial_left());
      EXPECT_FALSE(fs::exists(fs::symlink_status(install_ / "ServerVersion.ver")));
      EXPECT_TRUE(read_file(outside) == outside_bytes) << "the file a link pointed to changed";
      EXPECT_EQ(app_starts_reaching(1), 1);  // before the folder is emptied again
    }
  }
}

// A server that sends half of the package, then holds the data connection
// open and answers nothing more: the quick build (3 s for 30 s) must give up
// within 2.5 time-outs of the last byte, continuing included.
TEST_F(PackageResume, AStalledDownloadEndsWithinTheBound) {
  const std::string list = "Brindax.zip\nBrindax.exe@2\n";
  const std::string package = noise(200000, 7);
  const auto up_to_retr = [&](ScriptedFtpPeer& p, bool identity) -> ScriptedFtpPeer& {
    p.send("220 ready\r\n").expect("USER vantorel").send("331 password please\r\n")
        .expect("PASS ").send("230 logged in\r\n")
        .expect("CWD ").send("250 ok\r\n")
        .expect("TYPE I").send("200 binary\r\n")
        .expect("PASV").listen_data().send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
        .expect("RETR Brindax.ver").send("150 list\r\n").serve_data(list).send("226 done\r\n")
        .expect("TYPE I").send("200 binary\r\n")  // no release manifest
        .expect("PASV").listen_data().send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
        .expect("RETR Brindax.ver.manifest").send("550 no such file\r\n")
        .expect("TYPE I").send("200 binary\r\n")
        .expect("SIZE Brindax.zip").send("213 200000\r\n")
        .expect("MDTM Brindax.zip");
    if (!identity) {
      return p.send("502 no\r\n").expect("TYPE I").send("200 binary\r\n")
          .expect("PASV").listen_data().send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
          .expect("RETR Brindax.zip");
    }
    return p.send("213 20240101000000\r\n").expect("TYPE I").send("200 binary\r\n")
        .expect("PASV").listen_data().send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
        .expect("REST 0").send("350 restarting\r\n")
        .expect("RETR Brindax.zip");
  };
  for (const bool identity : {false, true}) {
    SCOPED_TRACE(identity ? "continued download" : "whole download");
    fs::remove_all(install_);
    fs::create_directories(install_);
    ScriptedFtpPeer peer("127.0.0.1", kPort);
    ASSERT_NE(peer.port(), 0);
    // Half the package, then nothing on either connection past the bound.
    up_to_retr(peer, identity).send("150 go\r\n").trickle_data(package, package.size() / 2, 9500).stall(1000);
    peer.start();
    const auto start = std::chrono::steady_clock::now();
    const RunResult result = updater({"MajAll"}, "brindax-updater-local-quick");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.error_output, "Ftp Error: Canot dowload Zip file\n");
    EXPECT_GE(elapsed, std::chrono::seconds(5));      // it did wait for the data
    EXPECT_LT(elapsed, std::chrono::milliseconds(9000));  // 7.5 s, and a margin
    EXPECT_FALSE(fs::exists(install_ / "LocalVersion.ver"));
    peer.finish(5000);
  }
}

}  // namespace
}  // namespace brindax::process_test
