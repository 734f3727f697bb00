// FTP reply reading over plain bytes (see ftp_reply.h).
#include "net/ftp_reply.h"

namespace brindax::ftp_reply {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A number of one to three digits, no larger than 255, at the front of
// `text`; advances past it. False when there is none.
bool take_byte_number(std::string_view& text, std::int32_t* value) {
  std::int32_t number = 0;
  std::size_t digits = 0;
  while (digits < text.size() && is_digit(text[digits])) {
    if (++digits > 3) return false;
    number = number * 10 + (text[digits - 1] - '0');
  }
  if (digits == 0 || number > 255) return false;
  text.remove_prefix(digits);
  *value = number;
  return true;
}

// Six numbers "a,b,c,d,e,f" at the front of `text`.
bool take_six(std::string_view text, std::int32_t numbers[6]) {
  for (int i = 0; i < 6; ++i) {
    if (!take_byte_number(text, &numbers[i])) return false;
    if (i == 5) return true;
    if (text.empty() || text.front() != ',') return false;
    text.remove_prefix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  }
  return true;
}

}  // namespace

LineCut cut_line(std::string_view bytes) {
  const std::size_t newline = bytes.find('\n');
  if (newline == std::string_view::npos) return {bytes, 0, false};
  std::string_view line = bytes.substr(0, newline);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return {line, newline + 1, true};
}

std::int32_t code_of(std::string_view line) {
  if (line.size() < 3 || !is_digit(line[0]) || !is_digit(line[1]) || !is_digit(line[2])) {
    return 0;
  }
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool code_accepted(std::string_view accepted, std::string_view line) {
  if (line.size() < 3) return false;
  const std::string_view code = line.substr(0, 3);
  while (!accepted.empty()) {
    const std::size_t end = accepted.find(';');
    const std::string_view token = accepted.substr(0, end);
    if (token == code) return true;
    if (end == std::string_view::npos) break;
    accepted.remove_prefix(end + 1);
  }
  return false;
}

ReplyAssembler::Verdict ReplyAssembler::feed(std::string_view line) {
  if (complete_) return {false, true};
  if (!started_) {
    if (line.empty()) return {false, false};  // blank lines in front of a reply
    started_ = true;
    code_ = code_of(line);
    if (code_ == 0) {
      complete_ = true;
      return {false, true};
    }
    prefix_[0] = line[0];
    prefix_[1] = line[1];
    prefix_[2] = line[2];
    multi_line_ = line.size() > 3 && line[3] == '-';
    complete_ = !multi_line_;
    const bool matches = code_accepted(accepted_, line);
    matched_ = matches;
    return {matches, complete_};
  }
  const bool same_code = line.size() >= 3 && line.substr(0, 3) == std::string_view(prefix_, 3);
  const bool matches = same_code && code_accepted(accepted_, line);
  matched_ = matched_ || matches;
  complete_ = same_code && (line.size() == 3 || line[3] == ' ');
  return {matches, complete_};
}

Reply read_reply(std::string_view bytes, std::string_view accepted) {
  ReplyAssembler assembler(accepted);
  Reply reply{false, 0, 0, false, {}, 0};
  std::size_t offset = 0;
  while (!assembler.complete()) {
    const LineCut cut = cut_line(bytes.substr(offset));
    if (!cut.complete) return Reply{false, 0, assembler.code(), assembler.accepted(),
                                    reply.matching, reply.lines};
    offset += cut.consumed;
    ++reply.lines;
    if (assembler.feed(cut.line).matches) reply.matching = cut.line;
  }
  reply.complete = true;
  reply.consumed = offset;
  reply.code = assembler.code();
  reply.accepted = assembler.accepted();
  return reply;
}

bool parse_passive_reply(std::string_view line, PassiveAddress* address) {
  if (line.size() <= 3) return false;
  const std::string_view text = line.substr(3);
  for (std::size_t start = 0; start < text.size(); ++start) {
    if (!is_digit(text[start]) || (start > 0 && is_digit(text[start - 1]))) continue;
    std::int32_t numbers[6];
    if (!take_six(text.substr(start), numbers)) continue;
    for (int i = 0; i < 4; ++i) address->host[i] = static_cast<std::uint8_t>(numbers[i]);
    address->port = static_cast<std::uint16_t>(numbers[4] * 256 + numbers[5]);
    return true;
  }
  return false;
}

}  // namespace brindax::ftp_reply
