// The FTP control session: opening and log-in, the command writer, the reply
// reader, the change of directory and closing.
#include "net/ftp.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "net/api_text.h"
#include "net/ftp_internal.h"
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

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The reply code of a line (its first three characters when they are
// digits), or 0.
std::int32_t code_of(const char* line) {
  if (!is_digit(line[0]) || !is_digit(line[1]) || !is_digit(line[2])) return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// Whether `code` is one of the ';'-separated codes of `accepted`.
bool code_accepted(const char* accepted, const char* line) {
  for (const char* token = accepted; *token != '\0';) {
    const char* end = std::strchr(token, ';');
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - token)
                                              : std::strlen(token);
    if (length == 3 && std::strncmp(token, line, 3) == 0) return true;
    if (end == nullptr) break;
    token = end + 1;
  }
  return false;
}

// Receives the next chunk into the (consumed) reply buffer; false when the
// server sent nothing within the time-out, or the connection ended or failed.
bool receive_more(FtpSession* session) {
  session->reply_start = 0;
  session->reply_end = 0;
  if (net_wait_readable(session->control, ftp_detail::timeout_ms(session)) != 1) return false;
  const std::int32_t received =
      net_receive(session->control, session->reply_buffer, FTP_REPLY_BUFFER_SIZE);
  if (received <= 0) return false;
  session->reply_end = received;
  return true;
}

// Reads one whole reply. A reply whose first line begins "xyz-" runs up to
// the first later line that begins with "xyz" and a blank (or ends there);
// any other first line is the whole reply. Blank lines in front of a reply
// are passed over. When `accepted` is given, `matched` tells whether the
// code is one of them and `output` gets the last line that carries the code.
// False when the reply could not be read whole.
bool read_reply(FtpSession* session, const char* accepted, char* output,
                std::int32_t output_size, bool* matched, std::int32_t* code_out) {
  char line[FTP_LINE_SIZE];
  do {
    if (ftp_next_line(session, line) == 0) return false;
  } while (line[0] == '\0');
  const std::int32_t code = code_of(line);
  if (code_out != nullptr) *code_out = code;
  const bool accept = code != 0 && accepted != nullptr && code_accepted(accepted, line);
  char first[4] = {line[0], line[1], line[2], '\0'};
  auto judge = [&](const char* text) {
    if (!accept || std::strncmp(text, first, 3) != 0) return;
    *matched = true;
    if (output != nullptr && output_size > 0) {
      std::snprintf(output, static_cast<std::size_t>(output_size), "%s", text);
    }
  };
  judge(line);
  if (code == 0 || line[3] != '-') return true;
  for (;;) {
    if (ftp_next_line(session, line) == 0) return false;
    judge(line);
    if (std::strncmp(line, first, 3) == 0 && (line[3] == ' ' || line[3] == '\0')) return true;
  }
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

void ftp_set_timeout_for_tests(std::int32_t seconds) {
  session_timeout = seconds > 0 ? seconds : FTP_TIMEOUT_SECONDS;
}

FtpSession* ftp_lookup(ObjectId session) {
  if (sessions == nullptr) return nullptr;
  return static_cast<FtpSession*>(registry_lookup(sessions, session));
}

std::intptr_t ftp_open(ObjectId id, const char* host, const char* user, const char* password,
                       std::int32_t passive, std::int32_t port) {
  if (sessions == nullptr) return 0;
  auto* session = static_cast<FtpSession*>(registry_obtain(sessions, id));
  if (session == nullptr) return 0;
  const ObjectId self = id == OBJECT_DYNAMIC ? reinterpret_cast<ObjectId>(session) : id;

  NetConnection* control = nullptr;
  if (host != nullptr) {
    ApiText host_copy(host);
    control = net_open_connection(host_copy.get(), port, NET_TCP, session_timeout * 1000,
                                  nullptr, 0);
  }
  auto* buffer =
      control != nullptr ? static_cast<char*>(main_alloc(FTP_REPLY_BUFFER_SIZE, false)) : nullptr;
  if (control == nullptr || buffer == nullptr) {
    net_close_connection(control);
    main_free(buffer);
    registry_release(sessions, self);  // nothing of it is reachable
    return 0;
  }
  session->reply_buffer = buffer;
  session->reply_start = 0;
  session->reply_end = 0;
  session->passive = passive;
  session->timeout = session_timeout;
  session->control = control;  // the session exists from here on

  ftp_skip_reply(session);  // the greeting, whatever it says
  const bool logged_in = ftp_send_command(session, "USER ", user) != 0 &&
                         ftp_expect(session, "331", nullptr, 0) != 0 &&
                         ftp_send_command(session, "PASS ", password) != 0 &&
                         ftp_expect(session, "230", nullptr, 0) != 0;
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
  std::int32_t copied = 0;
  std::int32_t line_length = 0;  // the whole line, also what did not fit
  for (;;) {
    const char* begin = session->reply_buffer + session->reply_start;
    const char* end = session->reply_buffer + session->reply_end;
    const char* newline = static_cast<const char*>(
        std::memchr(begin, '\n', static_cast<std::size_t>(end - begin)));
    const char* stop = newline != nullptr ? newline : end;
    const std::int32_t chunk = static_cast<std::int32_t>(stop - begin);
    const std::int32_t room = FTP_LINE_SIZE - 1 - copied;
    const std::int32_t take = chunk < room ? chunk : room;
    std::memcpy(destination + copied, begin, static_cast<std::size_t>(take));
    copied += take;
    line_length += chunk;
    if (newline != nullptr) {
      session->reply_start = static_cast<std::int32_t>(newline + 1 - session->reply_buffer);
      break;
    }
    // The line goes on in the next chunk: keep what came and receive again.
    if (!receive_more(session)) return 0;
  }
  if (copied > 0 && copied == line_length && destination[copied - 1] == '\r') --copied;
  destination[copied] = '\0';
  return 1;
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
