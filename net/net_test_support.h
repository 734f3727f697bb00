// Helpers shared by the network and FTP tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net/ftp.h"
#include "testing/scripted_ftp_peer.h"

namespace brindax::net_test {

// A scratch folder per test, removed afterwards.
class Scratch {
 public:
  Scratch() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            (std::string("brindax-net-") + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // Names of everything in the folder.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

 private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Sets a short session time-out for the tests of one scope.
class ShortTimeout {
 public:
  explicit ShortTimeout(std::int32_t seconds) { ftp_set_timeout(seconds); }
  ~ShortTimeout() { ftp_set_timeout(0); }
  ShortTimeout(const ShortTimeout&) = delete;
  ShortTimeout& operator=(const ShortTimeout&) = delete;
};

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A session to a scripted peer, with the account that log_in expects.
inline ObjectId open_session(const testkit::ScriptedFtpPeer& peer, std::int32_t passive = 1) {
  return static_cast<ObjectId>(
      ftp_open(OBJECT_DYNAMIC, "127.0.0.1", "vantorel", "secret", passive, peer.port()));
}

// The peer's side of a greeting and a log-in with USER and PASS.
inline testkit::ScriptedFtpPeer& log_in(testkit::ScriptedFtpPeer& peer,
                                        const std::string& greeting = "220 ready\r\n") {
  return peer.send(greeting)
      .expect("USER vantorel")
      .send("331 password please\r\n")
      .expect("PASS secret")
      .send("230 logged in\r\n");
}

}  // namespace brindax::net_test
