// Support for the process-level tests of the updater: the built updater run
// as a process in a temporary folder against a local FTP server on 127.0.0.1
// (the test builds have that host and port built in), packages made with
// libzip, and a digest of a folder's whole content.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace brindax::process_test {

namespace fs = std::filesystem;


inline const char* const kUser = "vantorel";
inline const char* const kPassword = "Zi3zEr8Iz5";
inline const char* const kRemoteDirectory = "public_html/source/Kelmor";
inline const int kPort = BRINDAX_TEST_FTP_PORT;

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void write_file(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

struct RunResult {
  int exit_code = -1;
  std::string error_output;
  std::string output;
};

// A program started in `folder`, with its standard output and error
// captured (in files beside the folder named after it and `tag`), and not yet
// waited for: several can run at once.
class StartedRun {
 public:
  StartedRun(const fs::path& folder, const std::string& program, const std::vector<std::string>& args,
             const std::string& tag = "")
      : program_(program),
        error_file_(folder.parent_path() / (folder.filename().string() + tag + ".stderr")),
        output_file_(folder.parent_path() / (folder.filename().string() + tag + ".stdout")) {
    child_ = fork();
    if (child_ == 0) {
      if (chdir(folder.c_str()) != 0) _exit(127);
      int error_fd = open(error_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(error_fd, 2);
      int output_fd = open(output_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(output_fd, 1);
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 0);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  StartedRun(const StartedRun&) = delete;
  StartedRun& operator=(const StartedRun&) = delete;
  ~StartedRun() {
    if (child_ > 0) finish(std::chrono::seconds(0));
  }

  // Waits for the program to end; gives up (and fails the test) after
  // `timeout`.
  RunResult finish(std::chrono::seconds timeout = std::chrono::seconds(60)) {
    RunResult result;
    if (child_ <= 0) return result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(child_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(child_, SIGKILL);
        waitpid(child_, &status, 0);
        child_ = -1;
        ADD_FAILURE() << program_ << " did not end in time";
        return result;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    child_ = -1;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.error_output = read_file(error_file_);
    result.output = read_file(output_file_);
    fs::remove(error_file_);
    fs::remove(output_file_);
    return result;
  }

 private:
  std::string program_;
  fs::path error_file_, output_file_;
  pid_t child_ = -1;
};

// Runs a program in `folder`, with its standard output and error captured;
// gives up (and fails the test) after `timeout`.
inline RunResult run_in(const fs::path& folder, const std::string& program, const std::vector<std::string>& args,
                 std::chrono::seconds timeout = std::chrono::seconds(60)) {
  return StartedRun(folder, program, args).finish(timeout);
}

// pyftpdlib serving `root` at the built-in port with the built-in account.
class LocalFtpServer {
 public:
  explicit LocalFtpServer(const fs::path& root) : command_log_(root.parent_path() / "server.commands") {
    fs::path port_file = root.parent_path() / "server.port";
    fs::remove(port_file);
    fs::remove(command_log_);
    pid_ = fork();
    if (pid_ == 0) {
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      std::string port = std::to_string(kPort);
      execl("/usr/bin/python3", "python3", BRINDAX_FTP_SERVER_SCRIPT, "--root", root.c_str(), "--user",
            kUser, "--password", kPassword, "--host", "127.0.0.1", "--port", port.c_str(),
            "--port-file", port_file.c_str(), "--command-log", command_log_.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 1000 && !ready_; ++i) {
      ready_ = fs::exists(port_file) && !read_file(port_file).empty();
      if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~LocalFtpServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return ready_; }
  // How many command lines the clients sent that begin with `prefix`.
  int commands(const std::string& prefix) const {
    std::istringstream lines(read_file(command_log_));
    int count = 0;
    for (std::string line; std::getline(lines, line);) count += line.rfind(prefix, 0) == 0;
    return count;
  }

 private:
  fs::path command_log_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

struct Entry {
  std::string name;
  std::string data;
  unsigned mode = 0644;
  bool store = false;  // keep uncompressed (lets a test damage the data)
};

inline void make_zip(const fs::path& path, const std::vector<Entry>& entries) {
  fs::create_directories(path.parent_path());
  fs::remove(path);
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(archive, nullptr);
  for (const auto& entry : entries) {
    zip_int64_t index;
    if (!entry.name.empty() && entry.name.back() == '/') {
      index = zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_UTF_8);
    } else {
      zip_source_t* source = zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
      index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8);
      if (index >= 0 && entry.store) zip_set_file_compression(archive, index, ZIP_CM_STORE, 0);
    }
    ASSERT_GE(index, 0) << entry.name;
    zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                     (0100000u | entry.mode) << 16);
  }
  ASSERT_EQ(zip_close(archive), 0);
}

inline const char* const kApp =
    "#!/bin/sh\n"
    "echo started >> app-started.log\n";

class UpdaterProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    base_ = fs::temp_directory_path() / ("brindax-e2e-" + std::to_string(getpid()) + "-" + info->name());
    fs::remove_all(base_);
    install_ = base_ / "install";
    root_ = base_ / "ftp";
    fs::create_directories(install_);
    fs::create_directories(remote());
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(base_);
  }

  fs::path remote() const { return root_ / kRemoteDirectory; }
  void start_server() {
    server_ = std::make_unique<LocalFtpServer>(root_);
    ASSERT_TRUE(server_->ready()) << "the local FTP server did not start";
  }

  RunResult updater(const std::vector<std::string>& args, const char* build = "brindax-updater-local") {
    return run_in(install_, std::string(BRINDAX_TEST_BIN_DIR) + "/" + build, args);
  }

  // The updater started in the installation folder, not waited for.
  std::unique_ptr<StartedRun> start_updater(const std::vector<std::string>& args, const std::string& tag,
                                            const char* build = "brindax-updater-local") {
    return std::make_unique<StartedRun>(install_, std::string(BRINDAX_TEST_BIN_DIR) + "/" + build, args,
                                        tag);
  }

  // A release: the list on the server and its package.
  void publish(const std::string& list, const std::vector<Entry>& entries,
               const std::string& package = "Brindax.zip") {
    write_file(remote() / "Brindax.ver", list);
    make_zip(remote() / package, entries);
  }

  // Waits for the started application's marker to hold a whole line and
  // returns its lines. The application is started and not waited for by the
  // updater: a test that lets the updater start it calls this before it
  // removes the folder, or the application may still be writing there. The
  // wait ends as soon as the line is there, so it can be long enough for a
  // busy machine.
  int app_starts(std::chrono::milliseconds wait = std::chrono::milliseconds(15000)) {
    fs::path marker = install_ / "app-started.log";
    auto deadline = std::chrono::steady_clock::now() + wait;
    const auto line_written = [&] {
      const std::string text = read_file(marker);
      return !text.empty() && text.back() == '\n';
    };
    while (!line_written() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string text = read_file(marker);
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
  }

  // Waits until the started application's marker holds `expected` lines
  // (at most `wait`: applications started last may run late on a busy
  // machine) and returns its lines then.
  int app_starts_reaching(int expected, std::chrono::milliseconds wait = std::chrono::seconds(20)) {
    const fs::path marker = install_ / "app-started.log";
    const auto deadline = std::chrono::steady_clock::now() + wait;
    int lines = 0;
    for (;;) {
      lines = 0;
      for (char c : fs::exists(marker) ? read_file(marker) : std::string()) lines += c == '\n';
      if (lines >= expected || std::chrono::steady_clock::now() >= deadline) return lines;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::vector<std::string> files_in_install() const {
    std::vector<std::string> names;
    for (const auto& item : fs::recursive_directory_iterator(install_)) {
      names.push_back(fs::relative(item.path(), install_).string() + (item.is_directory() ? "/" : ""));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Every file and folder below the installation folder with its content
  // (folders end in "/"): two equal snapshots mean nothing was added,
  // removed or changed.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> content;
    for (const auto& item : fs::recursive_directory_iterator(install_)) {
      const std::string name = fs::relative(item.path(), install_).string();
      if (item.is_directory()) {
        content[name + "/"] = "";
      } else {
        content[name] = read_file(item.path());
      }
    }
    return content;
  }

  fs::path base_, install_, root_;
  std::unique_ptr<LocalFtpServer> server_;
};

inline const std::string kList =
    "Brindax.zip\n"
    "Brindax.exe@1.0\n"
    "data/config.ini@3\n"
    "data/empty.dat@1\n";

inline std::vector<Entry> release_one() {
  return {{"Brindax.exe", kApp, 0755},
          {"data/", ""},
          {"data/config.ini", "level=1\n"},
          {"data/empty.dat", ""},
          {"docs/readme.txt", "Brindax\n"}};
}

}  // namespace brindax::process_test
