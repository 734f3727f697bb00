// Pieces of a remote file over an FTP session: its size ("SIZE", RFC 3659)
// and a run of its bytes from an offset ("REST" before "RETR"). A ranged
// fetch ends its transfer as soon as the range is read, so that the session
// is ready for the next command.
#pragma once

#include <cstdint>

#include "net/transfer.h"
#include "runtime/core/types.h"

namespace brindax {

// The size of `remote` in binary type ("TYPE I", then "SIZE" answered by
// 213), or -1 when the server gives none.
std::int64_t ftp_remote_size(ObjectId session, const char* remote);

// Takes the bytes of a range in order; false stops the fetch.
using FtpRangeSink = RangeSink;

// Fetches `length` (> 0) bytes of `remote` from `offset` on: "TYPE I", the
// data channel, "REST offset" (350), "RETR remote" (125 or 150). Once the
// range is read, the data connection is closed and the server's final reply
// (226, or 426 / 451 for the transfer cut short) is read, whatever it says.
// Fewer than FTP_MIN_BYTES_PER_TIMEOUT bytes within a time-out window fail
// the range, as they fail a whole download.
// 1 when every byte of the range arrived and went to the sink, 0 otherwise;
// after a refused "REST" or "RETR" the session stays usable too.
std::int32_t ftp_receive_range(ObjectId session, const char* remote, std::uint64_t offset,
                               std::uint64_t length, FtpRangeSink sink, void* context);

// Downloads the whole of `remote` into `sink` instead of a file (offsets
// from 0 on), with the bounds of ftp_receive_file_with: it fails past
// `max_size` bytes (0: no bound) or when the sink returns false. 1 when the
// server ended the transfer with a positive reply and the sink took every
// byte, 0 otherwise.
std::int32_t ftp_receive_stream(ObjectId session, const char* remote, std::int64_t max_size,
                                FtpRangeSink sink, void* context);

}  // namespace brindax
