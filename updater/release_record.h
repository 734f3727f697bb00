// The record of the installed release, "LocalVersion.seq": written with an
// install of a signed release, read to refuse older ones. Two lines:
//
//   Brindax installed release sequence
//   <sequence, decimal>
//
// Pure functions over bytes; reading the file is the caller's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brindax {

struct ReleaseRecord {
  enum class State {
    absent,      // no record: any release is accepted
    value,       // `sequence` is the installed release's
    unreadable,  // something stands there that says nothing comparable
  };
  State state = State::absent;
  std::uint64_t sequence = 0;
};

// A record is never longer than this; a longer file is no record.
inline constexpr std::size_t RELEASE_RECORD_MAX_BYTES = 128;

std::string format_release_record(std::uint64_t sequence);

// The record in `bytes` (the whole file): `value` for exactly the two lines
// above (a CR before each LF is allowed, leading zeros too) with a number
// up to 2^64-1, `unreadable` for anything else: empty, cut short, another
// heading, a number out of range, text after it.
ReleaseRecord parse_release_record(std::string_view bytes);

}  // namespace brindax
