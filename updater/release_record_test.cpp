// The record of the installed release: every sequence a binding can name
// reads back, and anything else is unreadable rather than absent.
#include "updater/release_record.h"

#include <gtest/gtest.h>

#include <string>

namespace brindax {
namespace {

using State = ReleaseRecord::State;

TEST(ReleaseRecord, ReadsWhatItWritesAndNothingElse) {
  const std::string heading = "Brindax installed release sequence";
  struct Case {
    std::string bytes;
    State state;
    std::uint64_t sequence = 0;
  };
  const Case cases[] = {
      {format_release_record(1), State::value, 1},
      {format_release_record(18446744073709551610ull), State::value, 18446744073709551610ull},
      {format_release_record(18446744073709551615ull), State::value, 18446744073709551615ull},
      {heading + "\r\n0042\r\n", State::value, 42},
      {"", State::unreadable},
      {heading, State::unreadable},
      {heading + "\n", State::unreadable},
      {heading + "\n17", State::unreadable},  // cut short: no line end after the number
      {heading + "\n18446744073709551616\n", State::unreadable},
      {heading + "\n99999999999999999999999\n", State::unreadable},
      {heading + "\n-3\n", State::unreadable},
      {heading + "\n 3\n", State::unreadable},
      {heading + "\n3\nmore\n", State::unreadable},
      {heading + "\n3\n\n", State::unreadable},
      {"Brindax installed release sequencf\n3\n", State::unreadable},
      {std::string("\0\0\0\0", 4), State::unreadable},
      {heading + "\n" + std::string(200, '1') + "\n", State::unreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    const ReleaseRecord record = parse_release_record(c.bytes);
    EXPECT_EQ(record.state, c.state);
    EXPECT_EQ(record.sequence, c.sequence);
  }
}

}  // namespace
}  // namespace brindax
