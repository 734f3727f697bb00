// A release server in memory for unit tests of what goes through the
// transport: its transfers come in small pieces and can misbehave.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "net/transport.h"

namespace brindax {

class MemoryServer final : public Transport {
 public:
  std::map<std::string, std::string> files;
  std::uint64_t cut_after = UINT64_MAX;  // bytes a transfer brings before it breaks
  bool whole_instead = false;            // ranges are answered with the whole file
  bool stream_restarts = false;          // a stream breaks once and starts over at 0
  int requests = 0;

  bool receive_file(const char*, const char*, const ReceiveOptions&) override { return false; }
  bool receive_stream(const char* remote, std::int64_t max_size, RangeSink sink,
                      void* context) override {
    ++requests;
    const auto file = files.find(remote);
    if (file == files.end()) return false;
    if (max_size > 0 && file->second.size() > static_cast<std::uint64_t>(max_size)) return false;
    if (stream_restarts && !send(file->second, 0, file->second.size() / 2, sink, context)) return false;
    return send(file->second, 0, file->second.size(), sink, context);
  }
  RangeReply receive_range(const char* remote, std::uint64_t offset, std::uint64_t length,
                           RangeSink sink, void* context) override {
    ++requests;
    const auto file = files.find(remote);
    if (file == files.end() || offset + length > file->second.size()) return RangeReply::failed;
    if (whole_instead) {
      return send(file->second, 0, file->second.size(), sink, context) ? RangeReply::whole
                                                                          : RangeReply::failed;
    }
    return send(file->second, offset, length, sink, context) ? RangeReply::range : RangeReply::failed;
  }
  std::optional<RemoteFileInfo> remote_file(const char*) override { return std::nullopt; }
  void close() override {}

 private:
  bool send(const std::string& data, std::uint64_t offset, std::uint64_t length, RangeSink sink,
            void* context) const {
    std::uint64_t sent = 0;
    while (sent < length) {
      if (sent >= cut_after) return false;
      const std::uint64_t n = std::min<std::uint64_t>({7, length - sent, cut_after - sent});
      if (!sink(context, offset + sent, data.data() + offset + sent, static_cast<std::int32_t>(n))) {
        return false;
      }
      sent += n;
    }
    return true;
  }
};

}  // namespace brindax
