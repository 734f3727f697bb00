// The FTP control session: opening and log-in, the command writer, the reply
// reader, the change of directory and closing.
#include "net/ftp.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "net/api_text.h"
#include "net/ftp_internal.h"
#include "net/ftp_reply.h"
#include "net/os_thread.h"
#include "runtime/core/file.h"
#include "runtime/core/heap.h"
#include "runtime/core/registry.h"

namespace brindax {

using ftp_detail::load_shared;
using ftp_detail::store_shared;

namespace {

constexpr std::int32_t kSessionGrowth = 16;
constexpr std::int32_t kSendRetryMs = 50;
constexpr std::int32_t kWaitStepMs = 10;

ObjectRegistry* sessions = nullptr;
std::int32_t session_timeout = FTP_TIMEOUT_SECONDS;

using Clock = std::chrono::steady_clock;

// The moment a wait that starts now gives up.
Clock::time_point deadline_after(const FtpSession* session) {
  return Clock::now() + std::chrono::milliseconds(ftp_detail::timeout_ms(session));
}

std::int32_t ms_left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<std::int32_t>(left) : 0;
}

// Receives the next chunk into the (consumed) reply buffer; false when the
// server sent nothing before the deadline, or the connection ended or failed.
bool receive_more(FtpSession* session, Clock::time_point deadline) {
  session->reply_start = 0;
  session->reply_end = 0;
  const std::int32_t left = ms_left(deadline);
  if (left <= 0 || net_wait_readable(session->control, left) != 1) return false;
  const std::int32_t received =
      net_receive(session->control, session->reply_buffer, FTP_REPLY_BUFFER_SIZE);
  if (received <= 0) return false;
  session->reply_end = received;
  return true;
}

// The next line, complete by the deadline (see ftp_next_line).
bool next_line(FtpSession* session, char* destination, Clock::time_point deadline) {
  std::int32_t copied = 0;
  std::int32_t line_length = 0;  // the whole line, also what did not fit
  for (;;) {
    const std::string_view received(session->reply_buffer + session->reply_start,
                                    static_cast<std::size_t>(session->reply_end -
                                                             session->reply_start));
    const ftp_reply::LineCut cut = ftp_reply::cut_line(received);
    // The raw piece up to the LF: a CR split off from its LF by the end of a
    // chunk is dropped below, as one in the same chunk is.
    const std::string_view piece = cut.complete ? received.substr(0, cut.consumed - 1) : received;
    const auto chunk = static_cast<std::int32_t>(piece.size());
    const std::int32_t room = FTP_LINE_SIZE - 1 - copied;
    const std::int32_t take = chunk < room ? chunk : room;
    std::memcpy(destination + copied, piece.data(), static_cast<std::size_t>(take));
    copied += take;
    line_length += chunk;
    if (cut.complete) {
      session->reply_start += static_cast<std::int32_t>(cut.consumed);
      break;
    }
    // The line goes on in the next chunk: keep what came and receive again.
    if (!receive_more(session, deadline)) return false;
  }
  if (copied > 0 && copied == line_length && destination[copied - 1] == '\r') --copied;
  destination[copied] = '\0';
  return true;
}

// Reads one whole reply, complete within the session's time-out from now
// however it trickles or however many lines it has. When `accepted` is
// given, `matched` tells whether the code is one of them and `output` gets
// the last line that carries the code. False when the reply could not be
// read whole.
bool read_reply(FtpSession* session, const char* accepted, char* output,
                std::int32_t output_size, bool* matched, std::int32_t* code_out) {
  const Clock::time_point deadline = deadline_after(session);
  ftp_reply::ReplyAssembler assembler(accepted != nullptr ? accepted : "");
  char line[FTP_LINE_SIZE];
  while (!assembler.complete()) {
    if (!next_line(session, line, deadline)) return false;
    if (assembler.feed(line).matches && output != nullptr && output_size > 0) {
      std::snprintf(output, static_cast<std::size_t>(output_size), "%s", line);
    }
  }
  *matched = assembler.accepted();
  if (code_out != nullptr) *code_out = assembler.code();
  return true;
}

}  // namespace

void ftp_library_init() {
  if (sessions == nullptr) {
    sessions = registry_create(sizeof(FtpSession), kSessionGrowth,
                               [](ObjectId id) { ftp_close(id); });
  }
}

void ftp_library_end() {
  if (sessions != nullptr) registry_free_all(sessions);
}

void ftp_set_timeout(std::int32_t seconds) {
  session_timeout = seconds > 0 ? seconds : FTP_TIMEOUT_SECONDS;
}

FtpSession* ftp_lookup(ObjectId session) {
  if (sessions == nullptr) return nullptr;
  return static_cast<FtpSession*>(registry_lookup(sessions, session));
}

namespace {

// Connects to one address and reads its greeting (whatever it says). True
// with the session's control connection set when the server greeted within
// the time-outs; otherwise the connection is closed again.
bool connect_and_greet(FtpSession* session, std::uint32_t address, std::int32_t port) {
  char host[16];
  net_format_ipv4(address, host);
  NetConnection* control =
      net_open_connection(host, port, NET_TCP, session_timeout * 1000, nullptr, 0);
  if (control == nullptr) return false;
  session->reply_start = 0;
  session->reply_end = 0;
  session->control = control;
  if (ftp_skip_reply(session) != 0) return true;
  net_close_connection(control);
  session->control = nullptr;
  return false;
}

// Tries the hosts of a ";"-separated list in order, each with every IPv4
// address it has in the resolver's order, until one greets.
bool open_first_greeting(FtpSession* session, const char* hosts, std::int32_t port) {
  std::string_view rest(hosts);
  while (!rest.empty()) {
    const std::size_t end = rest.find(';');
    const std::string host(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (host.empty()) continue;
    std::uint32_t addresses[NET_MAX_HOST_ADDRESSES];
    const std::int32_t count = net_host_addresses(host.c_str(), addresses, NET_MAX_HOST_ADDRESSES);
    for (std::int32_t i = 0; i < count; ++i) {
      if (connect_and_greet(session, addresses[i], port)) return true;
    }
  }
  return false;
}

}  // namespace

std::intptr_t ftp_open(ObjectId id, const char* host, const char* user, const char* password,
                       std::int32_t passive, std::int32_t port) {
  if (sessions == nullptr) return 0;
  auto* session = static_cast<FtpSession*>(registry_obtain(sessions, id));
  if (session == nullptr) return 0;
  const ObjectId self = id == OBJECT_DYNAMIC ? reinterpret_cast<ObjectId>(session) : id;

  session->passive = passive;
  session->timeout = session_timeout;
  session->give_up_at_ms = 0;
  session->reply_buffer = static_cast<char*>(main_alloc(FTP_REPLY_BUFFER_SIZE, false));
  bool greeted = false;
  if (host != nullptr && session->reply_buffer != nullptr) {
    ApiText host_copy(host);
    greeted = open_first_greeting(session, host_copy.get(), port);
  }
  if (!greeted) {
    main_free(session->reply_buffer);
    session->reply_buffer = nullptr;
    registry_release(sessions, self);  // nothing of it is reachable
    return 0;
  }

  // From here on the run stays with this server. A "230" to "USER" means
  // logged in without a password.
  bool logged_in = false;
  if (ftp_send_command(session, "USER ", user) != 0) {
    bool matched = false;
    std::int32_t code = 0;
    if (read_reply(session, "230;331", nullptr, 0, &matched, &code) && matched) {
      logged_in = code == 230 || (ftp_send_command(session, "PASS ", password) != 0 &&
                                  ftp_expect(session, "230", nullptr, 0) != 0);
    }
  }
  if (!logged_in) {
    ftp_close(self);
    return 0;
  }
  return reinterpret_cast<std::intptr_t>(session);
}

std::int32_t ftp_change_directory(ObjectId session_id, const char* path) {
  if (path == nullptr) return 0;
  FtpSession* session = ftp_lookup(session_id);
  // While a worker downloads, a command would interleave with its dialogue.
  if (session == nullptr || load_shared(session->transfer_running) != 0) return 0;
  const bool sent = std::strcmp(path, "..") == 0 ? ftp_send_command(session, "CDUP", "") != 0
                                                 : ftp_send_command(session, "CWD ", path) != 0;
  return sent && ftp_expect(session, "250", nullptr, 0) != 0 ? 1 : 0;
}

std::int32_t ftp_close(ObjectId session_id) {
  if (sessions == nullptr) return 0;
  if (session_id == OBJECT_DYNAMIC) {
    registry_free_all(sessions);
    return 1;
  }
  FtpSession* session = ftp_lookup(session_id);
  if (session == nullptr) return 0;
  ftp_wait_transfer(session_id);
  ftp_send_command(session, "QUIT", "");
  if (session->listener != nullptr) {
    net_close_server(session->listener->handle);  // with the connection it accepted
  } else if (session->data != nullptr) {
    net_close_connection(session->data);
  }
  net_close_connection(session->control);
  main_free(session->reply_buffer);
  registry_release(sessions, session_id);
  return 1;
}

std::int32_t ftp_send_command(FtpSession* session, const char* word, const char* argument) {
  if (session == nullptr || word == nullptr) return 0;
  ApiText argument_copy(argument);
  const char* text = argument_copy.get();
  // A CR or LF would end the line early and smuggle in another command.
  if (std::strpbrk(word, "\r\n") != nullptr || std::strpbrk(text, "\r\n") != nullptr) return 0;
  char line[FTP_COMMAND_BUFFER_SIZE];
  const int length = std::snprintf(line, sizeof line, "%s%s\r\n", word, text);
  if (length < 0 || length >= static_cast<int>(sizeof line)) return 0;  // never cut
  return ftp_send_all(session, line, length);
}

std::int32_t ftp_send_all(FtpSession* session, const char* data, std::int32_t length) {
  const std::int32_t start = current_date();
  std::int32_t done = 0;
  while (current_date() - start < session->timeout) {
    const std::int32_t sent = net_send(session->control, data + done, length - done);
    if (sent < 0) {
      if (os::last_error() != os::SocketError::would_block) return 0;
      os::sleep_ms(kSendRetryMs);
      continue;
    }
    done += sent;
    if (done >= length) return 1;
  }
  return 0;
}

std::int32_t ftp_next_line(FtpSession* session, char* destination) {
  return next_line(session, destination, deadline_after(session)) ? 1 : 0;
}

std::int32_t ftp_expect(FtpSession* session, const char* accepted, char* output,
                        std::int32_t output_size) {
  if (session == nullptr || accepted == nullptr) return 0;
  bool matched = false;
  if (!read_reply(session, accepted, output, output_size, &matched, nullptr)) return 0;
  return matched ? 1 : 0;
}

std::int32_t ftp_skip_reply(FtpSession* session, std::int32_t* code) {
  if (session == nullptr) return 0;
  bool matched = false;
  return read_reply(session, nullptr, nullptr, 0, &matched, code) ? 1 : 0;
}

std::int32_t ftp_transfer_status(ObjectId session_id) {
  FtpSession* session = ftp_lookup(session_id);
  return session != nullptr ? load_shared(session->transfer_status) : 0;
}

void ftp_wait_transfer(ObjectId session_id) {
  FtpSession* session = ftp_lookup(session_id);
  if (session == nullptr || load_shared(session->transfer_running) == 0) return;
  store_shared(session->abort, 1);
  while (load_shared(session->transfer_running) != 0) delay_ms(kWaitStepMs);
}

void delay_ms(std::int32_t ms) {
  static std::once_flag timer_raised;
  std::call_once(timer_raised, os::raise_timer_resolution);
  os::sleep_ms(ms);
}

}  // namespace brindax
