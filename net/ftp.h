// FTP client: a logged-in control session (greeting, USER, PASS, CWD/CDUP,
// QUIT), the command writer and the reply reader, and file downloads over a
// passive or active data connection, on the caller's thread or on a worker.
//
// Sessions are objects of the FTP session registry, named by a number or by
// the handle (address) that ftp_open gives for OBJECT_DYNAMIC. The network
// layer must have been started (network_start) before ftp_open.
#pragma once

#include <cstdint>

#include "net/network.h"
#include "net/transfer.h"
#include "runtime/core/types.h"

namespace brindax {

inline constexpr std::int32_t FTP_REPLY_BUFFER_SIZE = 4096;  // received, not yet consumed bytes
inline constexpr std::int32_t FTP_COMMAND_BUFFER_SIZE = 1024;  // one command line with CR LF
inline constexpr std::int32_t FTP_LINE_SIZE = 2048;  // one reply line as handed out (with NUL)
inline constexpr std::int32_t FTP_DATA_BUFFER_SIZE = 65536;  // one download's read buffer
inline constexpr std::int32_t FTP_TIMEOUT_SECONDS = 30;
inline constexpr std::int32_t FTP_WORKER_STACK_SIZE = 65536;
// The FTP client's names for the bounds every download shares (net/transfer.h).
inline constexpr std::int32_t FTP_MIN_BYTES_PER_TIMEOUT = MIN_BYTES_PER_TIMEOUT;
inline constexpr std::int64_t FTP_KEEP_FREE_BYTES = KEEP_FREE_BYTES;

// Transfer status of a session: 0 before any download (and while a running
// download has opened its file but not received data), a byte count while
// receiving, or one of these.
inline constexpr std::int32_t FTP_STATUS_NONE = 0;
inline constexpr std::int32_t FTP_STATUS_STARTING = -1;
inline constexpr std::int32_t FTP_STATUS_FAILED = -2;
inline constexpr std::int32_t FTP_STATUS_DONE = -3;

struct FtpSession {
  NetConnection* control;  // first field: non-null exactly while the session is open
  NetServer* listener;     // active mode: the server taking the data connection
  NetConnection* data;     // the data connection of the running download
  char* reply_buffer;      // FTP_REPLY_BUFFER_SIZE bytes received from the server
  std::int32_t reply_start;  // first byte not yet handed out
  std::int32_t reply_end;    // end of the received bytes
  std::int32_t passive;
  std::int32_t timeout;            // seconds without progress before a wait gives up
  std::int32_t transfer_status;    // FTP_STATUS_* or a byte count (shared with a worker)
  std::int32_t abort;              // 1: the running download is asked to stop
  std::int32_t transfer_running;   // 1 from the request of a download until it has ended
  // When set (steady clock milliseconds, 0: none), no wait of the session
  // goes past it: a caller's bound over several requests.
  std::int64_t give_up_at_ms;
};

void ftp_library_init();
void ftp_library_end();

// Connects, reads the greeting and logs in. `host` is one host name or
// dotted address, or several separated by ";" (mirrors), tried in order;
// each host with every IPv4 address it resolves to, in the resolver's
// order. An address that refuses, does not connect within the time-out or
// does not greet within it is passed over; the first that greets is used
// for the log-in, and a refused log-in there fails the whole open (no other
// server is tried then). With every address dead or silent this takes at
// most two time-outs per address. The session object's address (for
// OBJECT_DYNAMIC also its handle), 0 on failure.
std::intptr_t ftp_open(ObjectId id, const char* host, const char* user, const char* password,
                       std::int32_t passive, std::int32_t port);
// "CWD " path, or "CDUP" for exactly "..": 1 when the server answered 250.
std::int32_t ftp_change_directory(ObjectId session, const char* path);
// Waits for a running download, sends "QUIT" and closes; -1 closes every
// session. 1 when a session was closed, 0 when the identifier named nothing.
std::int32_t ftp_close(ObjectId session);
FtpSession* ftp_lookup(ObjectId session);

// Downloads `remote` (relative to the server's directory) into `local`. The
// local file appears, replacing an earlier one, only when the whole download
// succeeded. 1 on success, 0 otherwise.
std::int32_t ftp_receive_file(ObjectId session, const char* remote, const char* local);
// The observer of a download's data and its bounds (net/transfer.h).
using FtpDataObserver = DataObserver;
using FtpReceiveOptions = ReceiveOptions;
// ftp_receive_file with options of the caller's (ftp_receive_file uses the
// defaults).
std::int32_t ftp_receive_file_with(ObjectId session, const char* remote, const char* local,
                                   const FtpReceiveOptions& options);
// asynchronous != 0: runs the download on a worker thread and returns 1 when
// the worker started; the session's status then tells how it went.
std::int32_t ftp_receive_file_ex(ObjectId session, const char* remote, const char* local,
                                 std::int32_t asynchronous);
// The transfer status of a session (0 for a session that is not open).
std::int32_t ftp_transfer_status(ObjectId session);
// Asks a running download to stop and returns once none runs.
void ftp_wait_transfer(ObjectId session);
void delay_ms(std::int32_t ms);

// --- the command writer and the reply reader (used by the transfer) ---------
// Sends word + argument + CR LF. 0, and nothing sent, when the argument holds
// CR or LF or the line does not fit FTP_COMMAND_BUFFER_SIZE.
std::int32_t ftp_send_command(FtpSession* session, const char* word, const char* argument);
std::int32_t ftp_send_all(FtpSession* session, const char* data, std::int32_t length);
// The next reply line (CR LF or LF ended, CR dropped, cut to FTP_LINE_SIZE - 1
// characters) into `destination` (FTP_LINE_SIZE bytes). 0 when it was not
// complete within the time-out or the connection ended. The reply reading
// itself is the pure code of net/ftp_reply.h.
std::int32_t ftp_next_line(FtpSession* session, char* destination);
// Reads one whole reply, complete within the time-out from the call however
// it trickles or however many lines it has; 1 when its code is one of `accepted` ("125;150"),
// and then `output` (when given) gets its last line carrying the code.
std::int32_t ftp_expect(FtpSession* session, const char* accepted, char* output,
                        std::int32_t output_size);
// Reads one whole reply without judging it; 1 when it was read. `code`, when
// given, receives the reply's code (0 when the first line carries none).
std::int32_t ftp_skip_reply(FtpSession* session, std::int32_t* code = nullptr);

// The time-out of sessions opened from now on, in seconds (0 or less
// restores FTP_TIMEOUT_SECONDS). It bounds the connect, each whole reply
// from when it is awaited, sending, the wait for an active-mode data
// connection, and the window in which a download must bring at least
// FTP_MIN_BYTES_PER_TIMEOUT bytes. Builds for tests shorten it.
void ftp_set_timeout(std::int32_t seconds);

}  // namespace brindax
