// The release server over FTP: one logged-in session in the update
// directory.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "net/ftp.h"
#include "net/ftp_range.h"
#include "net/transport.h"

namespace brindax {
namespace {

constexpr std::int32_t kReplyTextSize = 1024;

class FtpTransport final : public Transport {
 public:
  explicit FtpTransport(std::intptr_t session) : session_(session) {}
  ~FtpTransport() override { close(); }

  bool receive_file(const char* remote, const char* local, const ReceiveOptions& options) override {
    return session_ != 0 && ftp_receive_file_with(session_, remote, local, options) != 0;
  }

  bool receive_stream(const char* remote, std::int64_t max_size, RangeSink sink,
                      void* context) override {
    return session_ != 0 && ftp_receive_stream(session_, remote, max_size, sink, context) != 0;
  }

  RangeReply receive_range(const char* remote, std::uint64_t offset, std::uint64_t length,
                           RangeSink sink, void* context) override {
    if (session_ == 0) return RangeReply::failed;
    return ftp_receive_range(session_, remote, offset, length, sink, context) != 0
               ? RangeReply::range
               : RangeReply::failed;
  }

  std::optional<RemoteFileInfo> remote_file(const char* remote) override {
    if (session_ == 0) return std::nullopt;
    RemoteFileInfo info;
    info.size = ftp_remote_size(session_, remote);
    info.identity = modification_time(remote);
    if (info.size < 0 && info.identity.empty()) return std::nullopt;
    return info;
  }

  std::int64_t remote_size(const char* remote) override {
    return session_ == 0 ? -1 : ftp_remote_size(session_, remote);
  }

  void give_up_at(std::optional<std::chrono::steady_clock::time_point> until) override {
    FtpSession* session = session_ == 0 ? nullptr : ftp_lookup(session_);
    if (session == nullptr) return;
    session->give_up_at_ms =
        until ? std::max<std::int64_t>(1, std::chrono::duration_cast<std::chrono::milliseconds>(
                                              until->time_since_epoch())
                                              .count())
              : 0;
  }

  void close() override {
    if (session_ != 0) ftp_close(session_);
    session_ = 0;
  }

 private:
  // The text of the server's "213" answer to "MDTM" (RFC 3659), or empty.
  std::string modification_time(const char* remote) {
    FtpSession* session = ftp_lookup(session_);
    char reply[kReplyTextSize];
    if (session == nullptr || ftp_send_command(session, "MDTM ", remote) == 0 ||
        ftp_expect(session, "213", reply, sizeof reply) == 0) {
      return std::string();
    }
    const char* text = reply + 3;
    while (*text == ' ') ++text;
    return std::string(text);
  }

  std::intptr_t session_;
};

}  // namespace

std::unique_ptr<Transport> open_ftp_transport(const char* hosts, std::int32_t port,
                                              const char* user, const char* password,
                                              std::int32_t passive, const char* directory,
                                              OpenFailure* failure) {
  *failure = OpenFailure::none;
  // ftp_open tries every host of the list and every address of each until
  // one greets; only when none does is the connection reported as failed.
  const std::intptr_t session = ftp_open(OBJECT_DYNAMIC, hosts, user, password, passive, port);
  if (session == 0) {
    *failure = OpenFailure::unreachable;
    return nullptr;
  }
  auto transport = std::make_unique<FtpTransport>(session);
  if (ftp_change_directory(session, directory) == 0) {
    *failure = OpenFailure::directory;
    return nullptr;
  }
  return transport;
}

}  // namespace brindax
