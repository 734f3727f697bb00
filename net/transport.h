// The release server as the updater's procedures see it: whole files, byte
// ranges, and what identifies a remote file, whatever protocol carries them.
// One implementation speaks FTP (net/ftp_transport.cpp), one HTTPS
// (net/https_transport.cpp). Installs, ranged updates, signatures and mirrors
// talk to this interface only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/transfer.h"

namespace brindax {

// What tells one remote file from a replaced one.
struct RemoteFileInfo {
  std::int64_t size = -1;  // -1: the server gives none
  // Changes when the file is replaced: FTP's modification time ("MDTM"),
  // HTTP's ETag, else its Last-Modified; empty when the server gives none.
  std::string identity;
};

enum class RangeReply {
  failed,  // nothing usable: refused, cut short, or the file changed
  range,   // exactly the asked bytes went to the sink
  whole,   // the server sent the whole file instead: every byte of it went
           // to the sink at its offset (from 0 to the file's size)
};

class Transport {
 public:
  virtual ~Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Downloads `remote` (a name relative to the update directory) into
  // `local`; the file appears, replacing an earlier one, only when the whole
  // download succeeded. False otherwise.
  virtual bool receive_file(const char* remote, const char* local,
                            const ReceiveOptions& options) = 0;

  // Downloads the whole of `remote` into `sink` and nowhere else, in
  // order, each piece at its offset from 0 on; a sink handed offset 0 again
  // sees the transfer start over and forgets what it took. Fails past
  // `max_size` bytes (0: no bound), when the sink returns false, or when the
  // transfer does not end as the server framed it. The bounds on time are
  // those of receive_file.
  virtual bool receive_stream(const char* remote, std::int64_t max_size, RangeSink sink,
                              void* context) = 0;

  // Fetches `length` (> 0) bytes of `remote` from `offset` on into `sink`.
  // Every piece after the first of one file is asked for on the condition
  // that the file is still the one the first answer came from.
  virtual RangeReply receive_range(const char* remote, std::uint64_t offset,
                                   std::uint64_t length, RangeSink sink, void* context) = 0;

  // The size and identity of `remote`; nullopt when the server gives neither.
  virtual std::optional<RemoteFileInfo> remote_file(const char* remote) = 0;

  // Only the size of `remote`, or -1 when the server gives none.
  virtual std::int64_t remote_size(const char* remote) {
    const auto info = remote_file(remote);
    return info ? info->size : -1;
  }

  // Bounds every wait of the following requests (connects, replies, data)
  // by `until`, so that several requests together end by then; nullopt lifts
  // the bound. A transport without such a bound keeps its own time-outs.
  virtual void give_up_at(std::optional<std::chrono::steady_clock::time_point> until) {
    (void)until;
  }

  // Ends the session (nothing more is fetched). Closing twice is harmless.
  virtual void close() = 0;

  // True once a request found no server of the list that could be reached
  // (every address refused, timed out or failed its TLS handshake). A
  // transport that connects when it opens never sets it.
  virtual bool unreachable() const { return false; }

 protected:
  Transport() = default;
};

// Why opening a transport failed.
enum class OpenFailure {
  none,
  unreachable,  // no server of the list could be reached or logged in to
  directory,    // the update directory could not be entered
};

// FTP: logs in to the first host of `hosts` (";" between mirrors) that
// greets, and enters `directory`. Null, with `failure` set, otherwise.
std::unique_ptr<Transport> open_ftp_transport(const char* hosts, std::int32_t port,
                                              const char* user, const char* password,
                                              std::int32_t passive, const char* directory,
                                              OpenFailure* failure);

// HTTPS: `base_urls` holds one or more base URLs separated by ";" (each
// ending in "/"); a remote name is appended to a base, percent-encoded per
// path segment. Connections are made when the first request needs one: the
// bases are tried in order, each host at every address, and only while a
// connection opens (connect, TLS handshake); the first that answers serves
// the whole run over one kept-alive connection. `timeout_seconds` bounds the
// connect, every response's headers, and the window in which a transfer
// must bring at least MIN_BYTES_PER_TIMEOUT bytes. Servers are trusted
// through the system's store; `extra_ca_file` (test programs only, else
// null) names a PEM file of one more CA, ignored when it cannot be read.
std::unique_ptr<Transport> open_https_transport(const char* base_urls,
                                                std::int32_t timeout_seconds,
                                                const char* extra_ca_file = nullptr);

}  // namespace brindax
