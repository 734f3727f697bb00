// FTP reply reading over plain bytes: cutting reply lines off received
// bytes, assembling whole replies (multi-line ones included) and parsing the
// 227 answer to "PASV". Pure functions: no sockets, files, clocks or heap
// allocation, so the control session, unit tests and fuzz targets all call
// the same code on any byte buffer.
//
// A reply, as this client reads it:
//   - Lines end in LF; a CR right before the LF is not part of the line.
//   - Empty lines in front of a reply are passed over.
//   - The code is the first three characters of the reply's first line when
//     they are digits; a line without one is a whole reply of code 0.
//   - A first line "xyz-..." opens a multi-line reply that runs up to the
//     first later line that is "xyz" alone or begins with "xyz ". The lines
//     between may carry any text, other codes included.
//   - A line "matches" when it begins with the reply's code and that code is
//     one of the accepted codes (";"-separated, as in "125;150").
//
// Entry points for a fuzz target: read_reply (any bytes, any accepted text)
// and parse_passive_reply (any text). Neither reads outside the view given
// nor keeps anything between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brindax::ftp_reply {

// The next line of `bytes`: its text without the line end (and without a CR
// before the LF), and how many bytes it takes with its LF. `complete` is
// false when no LF came yet: then `line` is all of `bytes` and `consumed` 0.
struct LineCut {
  std::string_view line;
  std::size_t consumed;
  bool complete;
};
LineCut cut_line(std::string_view bytes);

// The reply code at the start of a line (three digits), or 0.
std::int32_t code_of(std::string_view line);

// Whether the code of `line` (its first three characters) is one of the
// ";"-separated three-digit codes of `accepted`.
bool code_accepted(std::string_view accepted, std::string_view line);

// Assembles one reply from its lines, fed one at a time.
class ReplyAssembler {
 public:
  // `accepted`: the codes that make the reply a success ("" for none).
  explicit ReplyAssembler(std::string_view accepted = {}) : accepted_(accepted) {}

  struct Verdict {
    bool matches;  // this line carries the reply's code and the code is accepted
    bool last;     // this line completes the reply
  };
  // Feeds the next line (without its line end). Lines fed after the reply
  // is complete are ignored (no match, last).
  Verdict feed(std::string_view line);

  bool complete() const { return complete_; }
  bool started() const { return started_; }
  // The code of the first line (0 when it carries none).
  std::int32_t code() const { return code_; }
  // Whether any line matched.
  bool accepted() const { return matched_; }

 private:
  std::string_view accepted_;
  char prefix_[3] = {0, 0, 0};
  std::int32_t code_ = 0;
  bool started_ = false;
  bool multi_line_ = false;
  bool complete_ = false;
  bool matched_ = false;
};

// One whole reply read from the front of `bytes`.
struct Reply {
  bool complete;              // the bytes hold the whole reply
  std::size_t consumed;       // bytes of the reply with its last line end (0 when incomplete)
  std::int32_t code;          // the first line's code, 0 when none
  bool accepted;              // a line matched (see above)
  std::string_view matching;  // the last matching line ("" when none)
  std::int32_t lines;         // lines of the reply read, blank lines in front included
};
Reply read_reply(std::string_view bytes, std::string_view accepted = {});

// The data address of a 227 reply: the first run "h1,h2,h3,h4,p1,p2" of
// numbers 0..255 (at most three digits each, blanks allowed after a comma)
// in the text after the three-character code, not preceded by a digit.
struct PassiveAddress {
  std::uint8_t host[4];
  std::uint16_t port;  // p1 * 256 + p2
};
// `line`: the reply line, code included. False when no such run is there.
bool parse_passive_reply(std::string_view line, PassiveAddress* address);

}  // namespace brindax::ftp_reply
