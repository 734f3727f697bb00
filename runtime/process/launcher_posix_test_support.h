// Helpers shared by the POSIX tests of the launcher and the message requester:
// temporary folders, scripts, environment and descriptor redirection that are
// undone when the helper goes out of scope.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace brindax::test {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brindax-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& content,
                       bool executable = false) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  std::filesystem::permissions(path,
                               executable ? std::filesystem::perms(0755)
                                          : std::filesystem::perms(0644));
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits until `path` exists (written by a program running on its own).
inline bool wait_for_file(const std::string& path,
                          std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Sets (or, with null, removes) an environment variable for one scope.
class EnvSetting {
 public:
  EnvSetting(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  EnvSetting(const EnvSetting&) = delete;
  EnvSetting& operator=(const EnvSetting&) = delete;
  ~EnvSetting() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Works in another current folder for one scope.
class CurrentFolder {
 public:
  explicit CurrentFolder(const std::string& path) {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) != nullptr) old_ = buffer;
    ok_ = ::chdir(path.c_str()) == 0;
  }
  CurrentFolder(const CurrentFolder&) = delete;
  CurrentFolder& operator=(const CurrentFolder&) = delete;
  ~CurrentFolder() {
    if (!old_.empty()) static_cast<void>(::chdir(old_.c_str()));
  }
  bool ok() const { return ok_; }

 private:
  std::string old_;
  bool ok_ = false;
};

// Sends one of the process's own descriptors (1 or 2) into a file while it
// lives; text() gives what was written so far.
class StreamCapture {
 public:
  StreamCapture(int stream, const std::string& file) : stream_(stream), file_(file) {
    std::fflush(stream == 2 ? stderr : stdout);
    saved_ = ::dup(stream);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, stream);
    ::close(fd);
  }
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;
  ~StreamCapture() { restore(); }

  std::string text() {
    restore();
    return read_file(file_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stream_ == 2 ? stderr : stdout);
    ::dup2(saved_, stream_);
    ::close(saved_);
    saved_ = -1;
  }

  int stream_;
  std::string file_;
  int saved_ = -1;
};

}  // namespace brindax::test
