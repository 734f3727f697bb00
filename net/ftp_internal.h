// Shared between the control session (ftp.cpp) and the transfer
// (ftp_transfer.cpp).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "net/ftp.h"

namespace brindax::ftp_detail {

// The status, the abort request and the running mark are plain 32-bit words
// of the session that a worker thread and the requesting thread share.
inline std::int32_t load_shared(std::int32_t& word) {
  return std::atomic_ref<std::int32_t>(word).load(std::memory_order_acquire);
}
inline void store_shared(std::int32_t& word, std::int32_t value) {
  std::atomic_ref<std::int32_t>(word).store(value, std::memory_order_release);
}
inline void add_shared(std::int32_t& word, std::int32_t value) {
  std::atomic_ref<std::int32_t>(word).fetch_add(value, std::memory_order_acq_rel);
}

// The session's time-out in milliseconds, shortened to what is left before
// the session's give-up time when one is set (at least 1 ms).
inline std::int32_t timeout_ms(const FtpSession* session) {
  const std::int32_t full = session->timeout * 1000;
  const std::int64_t until = session->give_up_at_ms;
  if (until == 0) return full;
  const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(until - now, 1, full));
}

}  // namespace brindax::ftp_detail

namespace brindax {
// The data channel of a transfer (ftp_transfer.cpp), shared with the ranged
// fetch (ftp_range.cpp): prepare it (PASV and connect, or listen and PORT),
// take the server's connection in active mode, close it. A positive
// `receive_buffer` caps the passive connection's receive buffer from the start
// (the most the server can have in flight when the client stops reading).
bool ftp_open_data_channel(FtpSession* session, std::int32_t receive_buffer = 0);
bool ftp_accept_data_connection(FtpSession* session);
void ftp_close_data_channel(FtpSession* session);
}  // namespace brindax
