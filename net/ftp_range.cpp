#include "net/ftp_range.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "net/ftp.h"
#include "net/ftp_internal.h"
#include "runtime/core/heap.h"

namespace brindax {
namespace {

constexpr std::int32_t kReplyTextSize = 1024;
constexpr std::int32_t kDataWaitStepMs = 100;
// The receive buffer of a range's data connection: the range's length within
// these bounds. What the server sends ahead of the reading, and so past the
// end of the range before the connection is closed, stays within it.
constexpr std::uint64_t kSmallestWindow = 16 * 1024;
constexpr std::uint64_t kLargestWindow = 256 * 1024;
// A range at least this long (the rest of a package being continued, say)
// keeps the system's own receive buffer, which grows with the link: what
// runs past its end is small beside it, and a fixed window would cap the
// rate on a long, fast link.
constexpr std::uint64_t kUnboundedWindowFrom = std::uint64_t{8} << 20;

// The receive buffer for a range of `length` bytes; 0: the system's.
std::int32_t window_for(std::uint64_t length) {
  if (length >= kUnboundedWindowFrom) return 0;
  return static_cast<std::int32_t>(std::clamp(length, kSmallestWindow, kLargestWindow));
}

bool binary_type(FtpSession* session) {
  return ftp_send_command(session, "TYPE ", "I") != 0 && ftp_expect(session, "200", nullptr, 0) != 0;
}

// The decimal number that follows "213 " in a SIZE reply.
std::int64_t parse_size_reply(const char* reply) {
  const char* digits = reply + 3;
  while (*digits == ' ') ++digits;
  std::int64_t value = 0;
  const char* cursor = digits;
  for (; *cursor >= '0' && *cursor <= '9'; ++cursor) {
    if (value > (INT64_MAX - 9) / 10) return -1;
    value = value * 10 + (*cursor - '0');
  }
  if (cursor == digits || (*cursor != '\0' && *cursor != ' ')) return -1;
  return value;
}

using Clock = std::chrono::steady_clock;

// What one read from the data connection brought.
constexpr std::int32_t kReadFailed = -1;
constexpr std::int32_t kReadIdle = -2;  // nothing arrived before the deadline

// Reads up to `size` bytes of the data connection, waiting until `until` at
// most. The count, 0 at the end of the stream, kReadFailed or kReadIdle.
std::int32_t read_some(FtpSession* session, char* buffer, std::int32_t size,
                       Clock::time_point until) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return kReadIdle;
    const auto step = static_cast<std::int32_t>(std::min<std::int64_t>(left.count(), kDataWaitStepMs));
    const std::int32_t ready = net_wait_readable(session->data, step);
    if (ready < 0) return kReadFailed;
    if (ready == 0) continue;
    const std::int32_t received = net_receive(session->data, buffer, size);
    if (received >= 0) return received;
    // The active-mode connection does not block: nothing there yet.
    if (os::last_error() != os::SocketError::would_block) return kReadFailed;
  }
}

// Copies exactly `length` bytes of the data connection to the sink. As for
// whole files, fewer than FTP_MIN_BYTES_PER_TIMEOUT bytes within a time-out
// window fail the range: a server that trickles cannot hold the run.
bool receive_range(FtpSession* session, std::uint64_t offset, std::uint64_t length,
                   FtpRangeSink sink, void* context) {
  std::unique_ptr<char, void (*)(char*)> held(
      static_cast<char*>(main_alloc(FTP_DATA_BUFFER_SIZE, false)),
      [](char* block) { main_free(block); });
  if (!held) return false;
  const auto window = std::chrono::milliseconds(ftp_detail::timeout_ms(session));
  Clock::time_point window_end = Clock::now() + window;
  std::uint64_t window_bytes = 0;
  std::uint64_t done = 0;
  while (done < length) {
    const std::uint64_t left = length - done;
    const auto want = static_cast<std::int32_t>(
        left < static_cast<std::uint64_t>(FTP_DATA_BUFFER_SIZE) ? left : FTP_DATA_BUFFER_SIZE);
    const std::int32_t got = read_some(session, held.get(), want, window_end);
    if (got == 0 || got == kReadFailed) return false;  // the file ended early, or the connection failed
    if (got > 0) {
      if (!sink(context, offset + done, held.get(), got)) return false;
      done += static_cast<std::uint64_t>(got);
      window_bytes += static_cast<std::uint64_t>(got);
    }
    if (done < length && Clock::now() >= window_end) {
      if (window_bytes < static_cast<std::uint64_t>(FTP_MIN_BYTES_PER_TIMEOUT)) return false;
      window_end = Clock::now() + window;
      window_bytes = 0;
    }
  }
  return true;
}

}  // namespace

std::int64_t ftp_remote_size(ObjectId session_id, const char* remote) {
  FtpSession* session = ftp_lookup(session_id);
  if (session == nullptr || remote == nullptr || ftp_detail::load_shared(session->transfer_running) != 0) {
    return -1;
  }
  char reply[kReplyTextSize];
  if (!binary_type(session) || ftp_send_command(session, "SIZE ", remote) == 0 ||
      ftp_expect(session, "213", reply, sizeof reply) == 0) {
    return -1;
  }
  return parse_size_reply(reply);
}

std::int32_t ftp_receive_range(ObjectId session_id, const char* remote, std::uint64_t offset,
                               std::uint64_t length, FtpRangeSink sink, void* context) {
  FtpSession* session = ftp_lookup(session_id);
  if (session == nullptr || remote == nullptr || sink == nullptr || length == 0 ||
      ftp_detail::load_shared(session->transfer_running) != 0 || !binary_type(session)) {
    return 0;
  }
  const std::int32_t window = window_for(length);
  if (!ftp_open_data_channel(session, window)) {
    ftp_close_data_channel(session);
    return 0;
  }
  char position[24];
  std::snprintf(position, sizeof position, "%" PRIu64, offset);
  const bool requested = ftp_send_command(session, "REST ", position) != 0 &&
                         ftp_expect(session, "350", nullptr, 0) != 0 &&
                         ftp_send_command(session, "RETR ", remote) != 0 &&
                         ftp_expect(session, "125;150", nullptr, 0) != 0;
  const bool connected =
      requested && (session->passive != 0 || ftp_accept_data_connection(session));
  if (connected && session->passive == 0 && window > 0) {
    os::set_receive_buffer(session->data->socket, window);
  }
  const bool received = connected && receive_range(session, offset, length, sink, context);
  // Closing the data connection ends the transfer early; the server then
  // answers with the transfer's final reply, which keeps the dialogue in step.
  ftp_close_data_channel(session);
  if (!requested) return 0;
  return ftp_skip_reply(session) != 0 && received ? 1 : 0;
}

}  // namespace brindax
