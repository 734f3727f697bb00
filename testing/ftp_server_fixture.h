// Test helper: a real FTP server (testing/ftp_server.py on Debian's
// python3-pyftpdlib, run with /usr/bin/python3) on 127.0.0.1 with a fresh
// temporary root, read-only for its one user. POSIX only.
//
//   FtpServerFixture server;                 // free port, built-in user
//   ASSERT_TRUE(server.running());
//   server.write_file("dir/a.txt", "data");
//   ftp_open(-1, server.host(), server.user(), server.password(), 1, server.port());
//
// The destructor stops the server (SIGTERM, then SIGKILL) and removes the root.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace brindax::testkit {

class FtpServerFixture {
 public:
  // The built-in user name and password of the updater, unless given.
  static std::string default_user();
  static std::string default_password();

  // Starts the server on `port` (0: a free port chosen by the system) and
  // waits until it listens (at most 20 s).
  explicit FtpServerFixture(std::string user = default_user(),
                            std::string password = default_password(), int port = 0);
  ~FtpServerFixture();
  FtpServerFixture(const FtpServerFixture&) = delete;
  FtpServerFixture& operator=(const FtpServerFixture&) = delete;

  bool running() const { return port_ > 0; }
  int port() const { return port_; }
  const char* host() const { return "127.0.0.1"; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // The served directory (the FTP user's "/").
  const std::filesystem::path& root() const { return root_; }

  // Writes a file below the root, making its directories.
  void write_file(const std::string& relative, const std::string& content) const;
  // Writes `size` bytes of a fixed pseudo-random pattern (see pattern_bytes).
  void write_pattern_file(const std::string& relative, std::size_t size) const;
  void make_directory(const std::string& relative) const;

  // The pattern that write_pattern_file writes, byte `index`.
  static unsigned char pattern_byte(std::size_t index);

 private:
  void stop();

  std::string user_;
  std::string password_;
  std::filesystem::path work_;  // holds the root and the port file
  std::filesystem::path root_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace brindax::testkit
