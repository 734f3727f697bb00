// What every download of the release server shares, whatever protocol
// carries it: the bounds of one download, the observer of its data, the
// sink that takes a range's bytes, and the least progress a transfer must
// make. The transport (net/transport.h) and the FTP client both speak these.
#pragma once

#include <cstdint>

namespace brindax {

// A download fails when fewer bytes than this arrive within one time-out.
inline constexpr std::int32_t MIN_BYTES_PER_TIMEOUT = 1024;
// A download stops when the local volume's free space would fall under this.
inline constexpr std::int64_t KEEP_FREE_BYTES = std::int64_t{64} << 20;

// Receives each piece of a download's data once it is written to the file.
struct DataObserver {
  virtual void received(const char* data, std::int32_t size) = 0;

 protected:
  ~DataObserver() = default;
};

// How one download goes: it fails when more than `max_size` bytes come (0: no
// bound; the bytes past the bound are not written), or when writing would
// leave less than `keep_free` bytes on the local file's volume (checked every
// few MiB). An `observer` is handed every piece of the data as it is written.
struct ReceiveOptions {
  std::int64_t max_size = 0;
  std::int64_t keep_free = KEEP_FREE_BYTES;
  DataObserver* observer = nullptr;
};

// Takes the bytes of a range in order, each piece at its offset in the
// remote file; false stops the transfer.
using RangeSink = bool (*)(void* context, std::uint64_t offset, const char* data,
                           std::int32_t n);

}  // namespace brindax
