#include "testing/ftp_server_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

namespace brindax::testkit {
namespace {

namespace fs = std::filesystem;

fs::path make_work_directory() {
  std::string pattern = (fs::temp_directory_path() / "brindax-ftp-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

int read_port(const fs::path& file) {
  std::ifstream in(file);
  int port = 0;
  return (in >> port) ? port : 0;
}

}  // namespace

std::string FtpServerFixture::default_user() { return BRINDAX_TEST_FTP_USER; }
std::string FtpServerFixture::default_password() { return BRINDAX_TEST_FTP_PASSWORD; }

FtpServerFixture::FtpServerFixture(std::string user, std::string password, int port)
    : user_(std::move(user)), password_(std::move(password)) {
  work_ = make_work_directory();
  if (work_.empty()) return;
  root_ = work_ / "root";
  fs::create_directories(root_);
  const fs::path port_file = work_ / "port";

  std::vector<std::string> arguments = {"/usr/bin/python3",    BRINDAX_FTP_SERVER_SCRIPT,
                                        "--root",              root_.string(),
                                        "--user",              user_,
                                        "--password",          password_,
                                        "--host",              "127.0.0.1",
                                        "--port",              std::to_string(port),
                                        "--port-file",         port_file.string()};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ < 0) return;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (const int found = read_port(port_file); found > 0) {
      port_ = found;
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {  // the server died
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop();
}

FtpServerFixture::~FtpServerFixture() {
  stop();
  std::error_code ignored;
  if (!work_.empty()) fs::remove_all(work_, ignored);
}

void FtpServerFixture::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  port_ = 0;
}

void FtpServerFixture::write_file(const std::string& relative, const std::string& content) const {
  const fs::path path = root_ / relative;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

unsigned char FtpServerFixture::pattern_byte(std::size_t index) {
  // Not periodic over a buffer size: a byte lost or doubled anywhere shows.
  return static_cast<unsigned char>((index * 2654435761u >> 13) ^ (index >> 7));
}

void FtpServerFixture::write_pattern_file(const std::string& relative, std::size_t size) const {
  const fs::path path = root_ / relative;
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(1 << 16);
  for (std::size_t done = 0; done < size;) {
    const std::size_t n = std::min(block.size(), size - done);
    for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<char>(pattern_byte(done + i));
    out.write(block.data(), static_cast<std::streamsize>(n));
    done += n;
  }
}

void FtpServerFixture::make_directory(const std::string& relative) const {
  fs::create_directories(root_ / relative);
}

}  // namespace brindax::testkit
