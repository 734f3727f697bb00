#include "updater/version_list.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "runtime/core/file.h"
#include "runtime/core/strings.h"
#include "runtime/core/text.h"

namespace brindax {
namespace {

std::int32_t count_line_feeds(const char* text) { return string_count(text, "\n"); }

}  // namespace

std::string_view ListLines::next() {
  std::size_t end = rest_.find('\n');
  std::string_view line = rest_.substr(0, end);
  rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
  return line;
}

std::string_view package_name_of(const char* text) {
  std::string_view line = ListLines(text).next();
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string_view record_field(std::string_view line, std::int32_t k) {
  if (k < 1) return {};
  for (std::int32_t field = 1; field < k; ++field) {
    std::size_t at = line.find('@');
    if (at == std::string_view::npos) return {};
    line.remove_prefix(at + 1);
  }
  return line.substr(0, line.find('@'));
}

char* read_version_list(const char* file_name, std::int32_t offset) {
  if (file_size(file_name) < 0) return string_stack_set_empty(offset);
  std::intptr_t handle = file_open(OBJECT_DYNAMIC, file_name);
  if (handle == 0) return string_stack_set_empty(offset);
  char* text = file_read_string(handle, READ_WHOLE_TEXT, offset);
  file_close(handle);
  return text;
}

char* version_line(const char* text, std::int32_t i, std::int32_t offset) {
  return string_field(text, i, "\n", offset);
}

char* version_field(const char* line, std::int32_t k, std::int32_t offset) {
  return string_field(line, k, "@", offset);
}

std::int32_t compare_version_lists(const char* local, const char* server) {
  // The usual answer, nothing changed since the install, in one comparison
  // of the records as bytes (from the first line's LF on: the package names
  // are not compared).
  const std::string_view local_text(local);
  const std::string_view server_text(server);
  const std::size_t local_records = std::min(local_text.find('\n'), local_text.size());
  const std::size_t server_records = std::min(server_text.find('\n'), server_text.size());
  if (local_text.substr(local_records) == server_text.substr(server_records)) return 0;

  std::int32_t local_feeds = count_line_feeds(local);
  if (local_feeds != count_line_feeds(server)) return 1;
  ListLines local_lines(local);
  ListLines server_lines(server);
  local_lines.next();  // the package names are not compared
  server_lines.next();
  for (std::int32_t i = 2; i <= local_feeds + 1; ++i) {
    if (record_field(local_lines.next(), 2) != record_field(server_lines.next(), 2)) return 2;
  }
  return 0;
}

namespace {

constexpr std::size_t kLocalWindowBytes = 128 * 1024;
// Versions are compared this many bytes at a time once the lists differ.
constexpr std::size_t kVersionBytes = 16 * 1024;

// The field of a line after `bytes` when it was `field` before them (3
// stands for the third and every later field).
std::int32_t field_after(std::int32_t field, std::string_view bytes) {
  const std::size_t feed = bytes.rfind('\n');
  if (feed != std::string_view::npos) {
    field = 1;
    bytes.remove_prefix(feed + 1);
  }
  for (std::size_t at = bytes.find('@'); field < 3 && at != std::string_view::npos; at = bytes.find('@', at + 1)) {
    ++field;
  }
  return field;
}

// Copies the bytes of `in` that are versions (field 2 of a line) or LFs to
// `out`, at most `room` of them, keeping `field` and counting the LFs in
// `feeds`. Returns the bytes of `in` read; `*written` gets those copied.
std::size_t versions_of(std::string_view in, char* out, std::size_t room, std::size_t* written,
                        std::int32_t& field, std::int64_t& feeds) {
  std::size_t read = 0, copied = 0;
  for (; read < in.size() && copied < room; ++read) {
    const char c = in[read];
    if (c == '\n') {
      field = 1;
      ++feeds;
      out[copied++] = c;
    } else if (c == '@') {
      if (field < 3) ++field;
    } else if (field == 2) {
      out[copied++] = c;
    }
  }
  *written = copied;
  return read;
}

}  // namespace

// With both lists' LFs counted and their versions compared line by line,
// the answer is compare_version_lists's: a different LF count is 1, else a
// different version is 2. The versions and LFs of a list, in order, make one
// byte sequence (a version holds no LF), so with as many LFs on both sides,
// two such sequences are equal exactly when every line's version is. Before
// the first difference both lists are the same bytes: only the field where
// they part is needed, and the LFs are counted from there on.
ArrivingListComparison::ArrivingListComparison(LocalReader read_local, LocalRewinder rewind_local)
    : read_local_(std::move(read_local)),
      rewind_local_(std::move(rewind_local)),
      window_(std::make_unique_for_overwrite<char[]>(kLocalWindowBytes)),
      scratch_(std::make_unique_for_overwrite<char[]>(2 * kVersionBytes)) {}

std::size_t ArrivingListComparison::held_bytes() const { return kLocalWindowBytes + 2 * kVersionBytes; }

bool ArrivingListComparison::local_window() {
  if (window_at_ < window_size_) return true;
  while (!local_ended_) {
    // The field where the next window starts, kept only once it has come.
    const std::int32_t next_field =
        field_after(field_at_window_, std::string_view(window_.get() + window_from_, window_size_ - window_from_));
    const std::size_t got = read_local_(window_.get(), kLocalWindowBytes);
    if (got == 0) {
      local_ended_ = true;
      break;
    }
    std::string_view bytes(window_.get(), got);
    const std::size_t zero = bytes.find('\0');
    if (zero != std::string_view::npos) {
      bytes = bytes.substr(0, zero);
      local_ended_ = true;
    }
    std::size_t from = 0;
    if (!local_in_records_) {  // the package name is not compared
      from = std::min(bytes.find('\n'), bytes.size());
      local_in_records_ = from < bytes.size();
    } else {
      field_at_window_ = next_field;
    }
    window_from_ = window_at_ = from;
    window_size_ = bytes.size();
    if (from < bytes.size()) return true;
  }
  return false;
}

void ArrivingListComparison::restart() {
  if (!taken_) return;
  // Rare (a transfer that starts over): both lists from their first byte.
  rewind_local_();
  window_from_ = window_at_ = window_size_ = 0;
  local_in_records_ = local_ended_ = false;
  field_at_window_ = 1;
  phase_ = Phase::head;
  taken_ = ended_ = false;
  field_ = local_field_ = 1;
  feeds_ = local_feeds_ = 0;
}

void ArrivingListComparison::diverge() {
  field_ = local_field_ =
      field_after(field_at_window_, std::string_view(window_.get() + window_from_, window_at_ - window_from_));
  phase_ = Phase::walking;
}

std::size_t ArrivingListComparison::local_versions(char* into, std::size_t size) {
  std::size_t n = 0;
  while (n < size && local_window()) {
    std::size_t written = 0;
    window_at_ += versions_of(std::string_view(window_.get() + window_at_, window_size_ - window_at_), into + n,
                              size - n, &written, local_field_, local_feeds_);
    n += written;
  }
  return n;
}

void ArrivingListComparison::walk(std::string_view arrived) {
  char* const theirs = scratch_.get();
  char* const mine = theirs + kVersionBytes;
  while (phase_ == Phase::walking && !arrived.empty()) {
    std::size_t produced = 0;
    arrived.remove_prefix(versions_of(arrived, theirs, kVersionBytes, &produced, field_, feeds_));
    if (local_versions(mine, produced) != produced || std::memcmp(theirs, mine, produced) != 0) {
      phase_ = Phase::counting;  // a version differs, or a list has more lines
    }
  }
  if (phase_ == Phase::counting) feeds_ += std::count(arrived.begin(), arrived.end(), '\n');
}

void ArrivingListComparison::take(std::string_view piece) {
  taken_ = taken_ || !piece.empty();
  if (ended_) return;
  const std::size_t zero = piece.find('\0');
  if (zero != std::string_view::npos) {
    piece = piece.substr(0, zero);
    ended_ = true;
  }
  if (phase_ == Phase::head) {  // the package name is not compared
    const std::size_t feed = piece.find('\n');
    if (feed == std::string_view::npos) return;
    piece.remove_prefix(feed);
    phase_ = Phase::matching;
  }
  while (phase_ == Phase::matching && !piece.empty()) {
    if (!local_window()) {  // the arrived list is the longer one
      diverge();
      break;
    }
    // Pieces that repeat the installed list, the usual case, cost a memcmp.
    const std::string_view expected(window_.get() + window_at_, std::min(piece.size(), window_size_ - window_at_));
    std::size_t same = expected.size();
    if (std::memcmp(expected.data(), piece.data(), same) != 0) {
      same = static_cast<std::size_t>(
          std::mismatch(expected.begin(), expected.end(), piece.begin()).first - expected.begin());
    }
    window_at_ += same;
    piece.remove_prefix(same);
    if (same < expected.size()) diverge();
  }
  walk(piece);
}

std::int32_t ArrivingListComparison::answer() {
  if (phase_ == Phase::head) return local_window() ? 1 : 0;  // one line against one with an LF, or not
  if (phase_ == Phase::matching) {
    if (!local_window()) return 0;  // both ended together
    diverge();                      // the installed list is the longer one
  }
  if (phase_ == Phase::walking && local_versions(scratch_.get(), 1) != 0) phase_ = Phase::counting;
  if (phase_ == Phase::counting) {
    while (local_window()) {
      local_feeds_ += std::count(window_.get() + window_at_, window_.get() + window_size_, '\n');
      window_at_ = window_size_;
    }
  }
  if (feeds_ != local_feeds_) return 1;
  return phase_ == Phase::counting ? 2 : 0;
}

}  // namespace brindax
