// File download over an FTP session: binary type, a passive or active data
// connection, "RETR ", the data copied into the local file (or handed to the
// caller's sink), the final reply; on the caller's thread or on a worker
// thread.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "net/api_text.h"
#include "net/ftp.h"
#include "net/ftp_internal.h"
#include "net/ftp_range.h"
#include "net/ftp_reply.h"
#include "net/os_thread.h"
#include "runtime/core/file.h"
#include "runtime/core/heap.h"
#include "runtime/core/os_file.h"
#include "runtime/core/replacing_file.h"
#include "runtime/core/strings.h"

namespace brindax {

using ftp_detail::add_shared;
using ftp_detail::load_shared;
using ftp_detail::store_shared;

namespace {

constexpr std::int32_t kReplyTextSize = 1024;
constexpr std::int32_t kAcceptPollMs = 100;
constexpr std::int32_t kDataWaitStepMs = 100;
// How often a download looks at the free space of its volume.
constexpr std::int64_t kFreeSpaceCheckBytes = std::int64_t{4} << 20;

// What a worker needs: the session and its own copies of the two names.
struct FtpTransferJob {
  FtpSession* session;
  char* local;
  char* remote;
  FtpReceiveOptions limits;
};

// The IPv4 address of one end of the control connection as dotted text.
bool control_address(FtpSession* session, bool peer, char* text, std::uint32_t* address) {
  os::SocketAddress end{};
  const bool known = peer ? net_peer_address(session->control, &end)
                          : net_local_address(session->control, &end);
  if (!known || end.family != os::FAMILY_IPV4) return false;
  net_format_ipv4(end.ipv4, text);
  if (address != nullptr) *address = end.ipv4;
  return true;
}

bool open_passive_channel(FtpSession* session, std::int32_t receive_buffer) {
  ftp_send_command(session, "PASV", "");  // the reply decides
  char reply[kReplyTextSize];
  if (ftp_expect(session, "227", reply, sizeof reply) == 0) return false;
  // Only the port is used: the data connection goes to the control
  // connection's peer, so a reply cannot send the client to another host.
  ftp_reply::PassiveAddress named{};
  if (!ftp_reply::parse_passive_reply(reply, &named)) return false;
  const std::int32_t port = named.port;
  char host[16];
  if (!control_address(session, true, host, nullptr)) return false;
  session->data = net_open_connection(host, port, NET_TCP, ftp_detail::timeout_ms(session),
                                      nullptr, 0, receive_buffer);
  return session->data != nullptr;
}

bool open_active_channel(FtpSession* session) {
  // Listen on, and announce, the address by which the server reaches this
  // machine: the local end of the control connection.
  char host[16];
  if (!control_address(session, false, host, nullptr)) return false;
  session->listener = net_open_server(OBJECT_DYNAMIC, 0, NET_TCP, host);
  if (session->listener == nullptr) return false;
  os::SocketAddress bound{};
  if (!os::local_address(session->listener->socket, &bound)) return false;
  char argument[64];
  unsigned char bytes[4];
  std::memcpy(bytes, &bound.ipv4, 4);
  std::snprintf(argument, sizeof argument, "%u,%u,%u,%u,%d,%d", bytes[0], bytes[1], bytes[2],
                bytes[3], (bound.port >> 8) & 255, bound.port & 255);
  ftp_send_command(session, "PORT ", argument);  // the reply decides
  return ftp_expect(session, "200", nullptr, 0) != 0;
}

}  // namespace

bool ftp_open_data_channel(FtpSession* session, std::int32_t receive_buffer) {
  return session->passive != 0 ? open_passive_channel(session, receive_buffer)
                               : open_active_channel(session);
}

// Active mode: waits for the server's data connection. Connections from any
// other address than the control connection's peer are turned away.
bool ftp_accept_data_connection(FtpSession* session) {
  std::uint32_t server_address = 0;
  char unused[16];
  if (!control_address(session, true, unused, &server_address)) return false;
  const std::int32_t start = current_date();
  while (current_date() - start < session->timeout) {
    if (load_shared(session->abort) != 0) return false;
    const std::int32_t event = net_server_event(session->listener);
    if (event == NET_EVENT_NONE) {
      os::sleep_ms(kAcceptPollMs);
      continue;
    }
    if (event != NET_EVENT_CONNECT) continue;
    NetConnection* connection = net_event_connection();
    os::SocketAddress from{};
    if (net_peer_address(connection, &from) && from.family == os::FAMILY_IPV4 &&
        from.ipv4 == server_address) {
      session->data = connection;
      return true;
    }
    net_close_connection(connection);
  }
  return false;
}

void ftp_close_data_channel(FtpSession* session) {
  if (session->listener != nullptr) {
    // Also closes the connection it accepted.
    net_close_server(session->listener->handle);
  } else {
    net_close_connection(session->data);
  }
  session->data = nullptr;
  session->listener = nullptr;
}
namespace {

enum class ReadOutcome { data, end, idle, failed, aborted };

using Clock = std::chrono::steady_clock;

// One read from the data connection: waits in short steps (so that an abort
// is seen at once) until data or the end of the stream arrives, or until
// `until` passes without either (idle).
ReadOutcome read_data(FtpSession* session, char* buffer, std::int32_t* count,
                      Clock::time_point until) {
  for (;;) {
    if (load_shared(session->abort) != 0) return ReadOutcome::aborted;
    if (Clock::now() >= until) return ReadOutcome::idle;
    const std::int32_t ready = net_wait_readable(session->data, kDataWaitStepMs);
    if (ready < 0) return ReadOutcome::failed;
    if (ready == 0) continue;
    const std::int32_t received = net_receive(session->data, buffer, FTP_DATA_BUFFER_SIZE);
    if (received > 0) {
      *count = received;
      return ReadOutcome::data;
    }
    if (received == 0) return ReadOutcome::end;
    // The active-mode connection does not block: nothing there yet.
    if (os::last_error() != os::SocketError::would_block) return ReadOutcome::failed;
  }
}

// Whether the volume keeps `keep_free` bytes after the next
// kFreeSpaceCheckBytes are written (true when the free space is unknown).
bool room_for_more(const std::string& folder, std::int64_t keep_free) {
  const std::int64_t free_bytes = os::free_space(folder.c_str());
  return free_bytes < 0 || free_bytes - kFreeSpaceCheckBytes >= keep_free;
}

// Where a download's data goes: a file that appears only once the download
// succeeded, or the caller's sink (offsets from 0 on).
struct Destination {
  ReplacingFile* file = nullptr;
  FtpRangeSink sink = nullptr;
  void* context = nullptr;
  std::uint64_t offset = 0;

  bool write(const char* data, std::int32_t n) {
    if (file != nullptr) return file->write(data, n);
    const bool taken = sink(context, offset, data, n);
    offset += static_cast<std::uint64_t>(n);
    return taken;
  }
};

// Copies the data stream into the destination; true when the server ended
// it and every byte was taken (and shown to the observer). Fails when fewer than
// FTP_MIN_BYTES_PER_TIMEOUT bytes arrive within any time-out window, when
// nothing at all arrives for one time-out (a stream that stops is given up
// one time-out after its last byte, not at the end of the window after the
// one that brought it), past the size bound, or when the volume would run
// short of free space.
bool receive_data(FtpSession* session, Destination& destination, const char* local,
                  const FtpReceiveOptions& limits) {
  // One fixed buffer from the main heap for the whole download (too large
  // for the worker thread's stack).
  std::unique_ptr<char, void (*)(char*)> held(static_cast<char*>(main_alloc(FTP_DATA_BUFFER_SIZE, false)),
                                              [](char* block) { main_free(block); });
  char* buffer = held.get();
  if (buffer == nullptr) return false;
  // Only a file takes room on a volume.
  const std::string folder = local != nullptr ? os::folder_of(local) : std::string();
  const std::int64_t keep_free = local != nullptr ? limits.keep_free : 0;
  const auto window = std::chrono::milliseconds(ftp_detail::timeout_ms(session));
  Clock::time_point window_end = Clock::now() + window;
  std::int64_t window_bytes = 0;
  std::int64_t total = 0;
  std::int64_t next_space_check = 0;
  Clock::time_point silence_end = window_end;
  for (;;) {
    std::int32_t count = 0;
    const ReadOutcome outcome =
        read_data(session, buffer, &count, std::min(window_end, silence_end));
    if (outcome == ReadOutcome::end) return true;
    if (outcome == ReadOutcome::failed || outcome == ReadOutcome::aborted) return false;
    if (outcome == ReadOutcome::idle && Clock::now() >= silence_end) return false;
    if (outcome == ReadOutcome::data) {
      silence_end = Clock::now() + std::chrono::milliseconds(ftp_detail::timeout_ms(session));
      if (limits.max_size > 0 && total + count > limits.max_size) return false;
      if (keep_free > 0 && total + count > next_space_check) {
        if (!room_for_more(folder, keep_free)) return false;
        next_space_check = total + kFreeSpaceCheckBytes;
      }
      if (!destination.write(buffer, count)) return false;
      if (limits.observer != nullptr) limits.observer->received(buffer, count);
      total += count;
      window_bytes += count;
      add_shared(session->transfer_status, count);
    }
    if (Clock::now() >= window_end) {
      if (window_bytes < FTP_MIN_BYTES_PER_TIMEOUT) return false;
      window_end = Clock::now() + std::chrono::milliseconds(ftp_detail::timeout_ms(session));
      window_bytes = 0;
    }
  }
}

// Downloads `remote` into the file `local`, or, when `local` is null, into
// `sink`.
std::int32_t ftp_transfer(FtpSession* session, const char* remote, const char* local,
                          const FtpReceiveOptions& limits, FtpRangeSink sink = nullptr,
                          void* context = nullptr) {
  bool completed = false;
  bool request_accepted = false;
  if (ftp_send_command(session, "TYPE ", "I") != 0 && ftp_expect(session, "200", nullptr, 0) != 0) {
    if (!ftp_open_data_channel(session)) {
      ftp_close_data_channel(session);
    } else {
      request_accepted = ftp_send_command(session, "RETR ", remote) != 0 &&
                         ftp_expect(session, "125;150", nullptr, 0) != 0;
      const bool connected =
          request_accepted && (session->passive != 0 || ftp_accept_data_connection(session));
      ReplacingFile file;
      Destination destination;
      destination.sink = sink;
      destination.context = context;
      if (local != nullptr) destination.file = &file;
      bool received = false;
      if (connected && (local == nullptr || file.open(local))) {
        store_shared(session->transfer_status, FTP_STATUS_NONE);
        store_shared(session->abort, 0);
        received = receive_data(session, destination, local, limits);
      }
      ftp_close_data_channel(session);
      // After a 125 or 150 the server always ends with a reply of its own;
      // reading it keeps the dialogue in step. Only a positive one (2xx)
      // confirms the transfer. An abort means the session is being closed.
      if (request_accepted && load_shared(session->abort) == 0) {
        std::int32_t code = 0;
        const bool confirmed = ftp_skip_reply(session, &code) != 0 && code >= 200 && code < 300;
        completed = received && confirmed && (local == nullptr || file.commit());
      }
    }
  }
  store_shared(session->transfer_status, completed ? FTP_STATUS_DONE : FTP_STATUS_FAILED);
  return completed ? 1 : 0;
}

void ftp_transfer_worker(void* argument) {
  auto* job = static_cast<FtpTransferJob*>(argument);
  FtpSession* session = job->session;
  ftp_transfer(session, job->remote, job->local, job->limits);
  string_free(job->local);
  string_free(job->remote);
  main_free(job);
  // Last touch of the session: from here on it may be closed and freed.
  store_shared(session->transfer_running, 0);
}

// The session of a download about to start, marked as running one; null
// when there is none or it runs one already (one download at a time).
FtpSession* start_download(ObjectId session_id) {
  FtpSession* session = ftp_lookup(session_id);
  if (session == nullptr || load_shared(session->transfer_running) != 0) return nullptr;
  store_shared(session->abort, 0);
  store_shared(session->transfer_status, FTP_STATUS_STARTING);
  store_shared(session->transfer_running, 1);
  return session;
}

std::int32_t receive_file(ObjectId session_id, const char* remote, const char* local,
                          std::int32_t asynchronous, const FtpReceiveOptions& limits) {
  if (remote == nullptr || local == nullptr) return 0;
  FtpSession* session = start_download(session_id);
  if (session == nullptr) return 0;

  if (asynchronous == 0) {
    const std::int32_t result = ftp_transfer(session, remote, local, limits);
    store_shared(session->transfer_running, 0);
    return result;
  }

  auto* job = static_cast<FtpTransferJob*>(main_alloc(sizeof(FtpTransferJob)));
  if (job != nullptr) {
    job->session = session;
    job->limits = limits;
    string_new_copy(&job->local, local);
    string_new_copy(&job->remote, remote);
    if (job->local != nullptr && job->remote != nullptr &&
        os::start_detached_thread(ftp_transfer_worker, job, FTP_WORKER_STACK_SIZE)) {
      return 1;
    }
    string_free(job->local);
    string_free(job->remote);
    main_free(job);
  }
  // No worker runs: the session must not look busy.
  store_shared(session->transfer_status, FTP_STATUS_FAILED);
  store_shared(session->transfer_running, 0);
  return 0;
}

}  // namespace

std::int32_t ftp_receive_file(ObjectId session, const char* remote, const char* local) {
  return receive_file(session, remote, local, 0, FtpReceiveOptions{});
}

std::int32_t ftp_receive_file_with(ObjectId session, const char* remote, const char* local,
                                   const FtpReceiveOptions& limits) {
  return receive_file(session, remote, local, 0, limits);
}

std::int32_t ftp_receive_stream(ObjectId session_id, const char* remote, std::int64_t max_size,
                                FtpRangeSink sink, void* context) {
  if (remote == nullptr || sink == nullptr) return 0;
  FtpSession* session = start_download(session_id);
  if (session == nullptr) return 0;
  FtpReceiveOptions limits;
  limits.max_size = max_size;
  const std::int32_t result = ftp_transfer(session, remote, nullptr, limits, sink, context);
  store_shared(session->transfer_running, 0);
  return result;
}

std::int32_t ftp_receive_file_ex(ObjectId session, const char* remote, const char* local,
                                 std::int32_t asynchronous) {
  return receive_file(session, remote, local, asynchronous, FtpReceiveOptions{});
}

}  // namespace brindax
