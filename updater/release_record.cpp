#include "updater/release_record.h"

#include <limits>

namespace brindax {
namespace {

constexpr std::string_view kHeading = "Brindax installed release sequence";

// Takes one line end (LF, or CR LF) off the front of `rest`.
bool take_line_end(std::string_view& rest) {
  if (!rest.empty() && rest.front() == '\r') rest.remove_prefix(1);
  if (rest.empty() || rest.front() != '\n') return false;
  rest.remove_prefix(1);
  return true;
}

}  // namespace

std::string format_release_record(std::uint64_t sequence) {
  return std::string(kHeading) + "\n" + std::to_string(sequence) + "\n";
}

ReleaseRecord parse_release_record(std::string_view bytes) {
  const ReleaseRecord unreadable{ReleaseRecord::State::unreadable, 0};
  if (bytes.size() > RELEASE_RECORD_MAX_BYTES || bytes.substr(0, kHeading.size()) != kHeading) {
    return unreadable;
  }
  std::string_view rest = bytes.substr(kHeading.size());
  if (!take_line_end(rest)) return unreadable;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9'; ++digits) {
    const auto digit = static_cast<std::uint64_t>(rest[digits] - '0');
    if (value > (kMax - digit) / 10) return unreadable;
    value = value * 10 + digit;
  }
  rest.remove_prefix(digits);
  // The number's own line end tells a complete record from one cut short.
  if (digits == 0 || !take_line_end(rest) || !rest.empty()) return unreadable;
  return {ReleaseRecord::State::value, value};
}

}  // namespace brindax
