#include "testing/scripted_ftp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace brindax::testkit {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollStepMs = 20;

int open_listener(const std::string& address, int port, int* bound_port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  // Only loopback addresses are ever used.
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
      (ntohl(local.sin_addr.s_addr) >> 24) != 127 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  *bound_port = ntohs(local.sin_port);
  return fd;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

ScriptedFtpPeer::ScriptedFtpPeer(const std::string& address, int port) {
  control_listener_ = open_listener(address, port, &control_port_);
  if (control_listener_ < 0) control_port_ = 0;
}

ScriptedFtpPeer::~ScriptedFtpPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (int fd : held_) ::close(fd);
  if (control_ >= 0) ::close(control_);
  if (data_listener_ >= 0) ::close(data_listener_);
  if (control_listener_ >= 0) ::close(control_listener_);
}

void ScriptedFtpPeer::record(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
}

std::string ScriptedFtpPeer::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

std::vector<std::string> ScriptedFtpPeer::received_lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int ScriptedFtpPeer::accept_with_limit(int listener, int limit_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  while (!stopping() && Clock::now() < deadline) {
    pollfd entry{listener, POLLIN, 0};
    if (::poll(&entry, 1, kPollStepMs) == 1) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) return fd;
    }
  }
  return -1;
}

bool ScriptedFtpPeer::ensure_control(int limit_ms, std::string& failure) {
  if (control_ >= 0) return true;
  control_ = accept_with_limit(control_listener_, limit_ms);
  if (control_ < 0) failure = "no control connection came";
  return control_ >= 0;
}

bool ScriptedFtpPeer::send_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

// One line from the control connection. False on time-out or when the
// connection ended (then `closed` is set).
bool ScriptedFtpPeer::read_line(std::string& line, int limit_ms, bool& closed) {
  closed = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    if (const std::size_t newline = pending_.find('\n'); newline != std::string::npos) {
      line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      record(line);
      return true;
    }
    if (stopping() || Clock::now() >= deadline) return false;
    pollfd entry{control_, POLLIN, 0};
    if (::poll(&entry, 1, kPollStepMs) != 1) continue;
    char buffer[4096];
    const ssize_t received = ::recv(control_, buffer, sizeof buffer, 0);
    if (received <= 0) {
      closed = true;
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(received));
  }
}

std::string ScriptedFtpPeer::expand(const std::string& text) const {
  std::string result = text;
  replace_all(result, "{P1}", std::to_string((data_port_ >> 8) & 255));
  replace_all(result, "{P2}", std::to_string(data_port_ & 255));
  replace_all(result, "{DATA_PORT}", std::to_string(data_port_));
  return result;
}

void ScriptedFtpPeer::end_data(int fd, DataEnd end) {
  switch (end) {
    case DataEnd::close:
      ::close(fd);
      break;
    case DataEnd::reset: {
      linger abortive{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
      ::close(fd);
      break;
    }
    case DataEnd::stall:
      held_.push_back(fd);
      break;
  }
}

ScriptedFtpPeer& ScriptedFtpPeer::send(std::string bytes) {
  steps_.push_back([this, bytes](std::string& failure) {
    if (!ensure_control(10000, failure)) return false;
    if (!send_all(control_, expand(bytes))) {
      failure = "sending failed: " + bytes;
      return false;
    }
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::send_bytewise(std::string bytes, int pause_ms) {
  steps_.push_back([this, bytes, pause_ms](std::string& failure) {
    if (!ensure_control(10000, failure)) return false;
    const std::string expanded = expand(bytes);
    for (char byte : expanded) {
      if (!send_all(control_, std::string(1, byte))) {
        failure = "sending byte by byte failed";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::trickle(std::string bytes, int pause_ms) {
  steps_.push_back([this, bytes, pause_ms](std::string& failure) {
    if (!ensure_control(10000, failure)) return false;
    for (char byte : expand(bytes)) {
      if (stopping() || !send_all(control_, std::string(1, byte))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::send_endless(std::string line, int pause_ms, int limit_ms) {
  steps_.push_back([this, line, pause_ms, limit_ms](std::string& failure) {
    if (!ensure_control(10000, failure)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (!stopping() && Clock::now() < deadline && send_all(control_, line)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::expect(std::string prefix, int limit_ms) {
  steps_.push_back([this, prefix, limit_ms](std::string& failure) {
    if (!ensure_control(limit_ms, failure)) return false;
    std::string line;
    bool closed = false;
    if (!read_line(line, limit_ms, closed)) {
      failure = (closed ? "connection closed while expecting \"" : "no line came, expected \"") +
                prefix + "\"";
      return false;
    }
    if (line.compare(0, prefix.size(), prefix) != 0) {
      failure = "expected \"" + prefix + "\", got \"" + line + "\"";
      return false;
    }
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::pause(int ms) {
  steps_.push_back([this, ms](std::string&) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!stopping() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, kPollStepMs)));
    }
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::expect_closed(int limit_ms) {
  steps_.push_back([this, limit_ms](std::string& failure) {
    if (!ensure_control(limit_ms, failure)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
      std::string line;
      bool closed = false;
      const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - Clock::now())
                                            .count());
      if (read_line(line, left > 0 ? left : 0, closed)) continue;
      if (closed) return true;
      failure = "the client did not close the control connection";
      return false;
    }
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::stall(int limit_ms) {
  steps_.push_back([this, limit_ms](std::string& failure) {
    if (!ensure_control(limit_ms, failure)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (Clock::now() < deadline) {
      std::string line;
      bool closed = false;
      if (read_line(line, kPollStepMs * 5, closed)) continue;
      if (closed || stopping()) break;
    }
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::close_control() {
  steps_.push_back([this](std::string&) {
    if (control_ >= 0) ::close(control_);
    control_ = -1;
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::listen_data(const std::string& address) {
  steps_.push_back([this, address](std::string& failure) {
    if (data_listener_ >= 0) ::close(data_listener_);
    data_listener_ = open_listener(address, 0, &data_port_);
    if (data_listener_ < 0) {
      failure = "cannot open the data listener on " + address;
      return false;
    }
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::serve_data(std::string bytes, DataEnd end, int limit_ms) {
  steps_.push_back([this, bytes, end, limit_ms](std::string& failure) {
    if (data_listener_ < 0) {
      failure = "serve_data without listen_data";
      return false;
    }
    const int fd = accept_with_limit(data_listener_, limit_ms);
    if (fd < 0) {
      failure = "no data connection came";
      return false;
    }
    return deliver_data(fd, bytes, end, failure);
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::trickle_data(std::string bytes, std::size_t chunk, int pause_ms,
                                               int limit_ms) {
  steps_.push_back([this, bytes, chunk, pause_ms, limit_ms](std::string& failure) {
    if (data_listener_ < 0) {
      failure = "trickle_data without listen_data";
      return false;
    }
    const int fd = accept_with_limit(data_listener_, limit_ms);
    if (fd < 0) {
      failure = "no data connection came";
      return false;
    }
    ++data_connections_;
    for (std::size_t done = 0; done < bytes.size() && !stopping(); done += chunk) {
      if (!send_all(fd, bytes.substr(done, chunk))) break;
      if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
    ::close(fd);
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::connect_data(std::string bytes, DataEnd end) {
  steps_.push_back([this, bytes, end](std::string& failure) {
    std::string port_line;
    for (const auto& line : received_lines()) {
      if (line.rfind("PORT ", 0) == 0) port_line = line;
    }
    unsigned h1, h2, h3, h4, p1, p2;
    if (std::sscanf(port_line.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) !=
            6 ||
        h1 != 127 || h2 > 255 || h3 > 255 || h4 > 255 || p1 > 255 || p2 > 255) {
      failure = "no usable loopback PORT line: \"" + port_line + "\"";
      return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(p1 * 256 + p2));
    remote.sin_addr.s_addr = htonl((h1 << 24) | (h2 << 16) | (h3 << 8) | h4);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      if (fd >= 0) ::close(fd);
      failure = "cannot connect to the announced data port";
      return false;
    }
    return deliver_data(fd, bytes, end, failure);
  });
  return *this;
}

bool ScriptedFtpPeer::deliver_data(int fd, const std::string& bytes, DataEnd end,
                                   std::string& failure) {
  ++data_connections_;
  if (!send_all(fd, bytes)) {
    ::close(fd);
    failure = "sending the data failed";
    return false;
  }
  end_data(fd, end);
  return true;
}

ScriptedFtpPeer& ScriptedFtpPeer::expect_no_data_connection(int ms) {
  steps_.push_back([this, ms](std::string& failure) {
    if (data_listener_ < 0) return true;
    const int fd = accept_with_limit(data_listener_, ms);
    if (fd >= 0) {
      ++data_connections_;
      ::close(fd);
      failure = "an unexpected data connection came";
      return false;
    }
    return true;
  });
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::run(std::function<bool(std::string& failure)> step) {
  steps_.push_back(std::move(step));
  return *this;
}

void ScriptedFtpPeer::start() {
  thread_ = std::thread([this] {
    std::string failure;
    if (control_listener_ < 0) {
      failure = "the control listener could not be opened";
    } else {
      for (std::size_t i = 0; i < steps_.size() && !stopping(); ++i) {
        if (!steps_[i](failure)) {
          failure = "step " + std::to_string(i + 1) + ": " + failure;
          break;
        }
      }
      if (failure.empty() && stopping()) failure = "stopped before the script ended";
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failure_ = failure;
    }
    done_ = true;
  });
}

bool ScriptedFtpPeer::finish(int limit_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done_ && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!done_) {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty() || failure_ == "stopped before the script ended") {
      failure_ = "the script did not end in time";
    }
    return false;
  }
  if (thread_.joinable()) thread_.join();
  // Stalled data connections end with the script.
  for (int fd : held_) ::close(fd);
  held_.clear();
  return failure().empty();
}

}  // namespace brindax::testkit
