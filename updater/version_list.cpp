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
}  // namespace

ArrivingListComparison::ArrivingListComparison(LocalReader read_local)
    : read_local_(std::move(read_local)),
      window_(std::make_unique_for_overwrite<char[]>(kLocalWindowBytes)) {}

bool ArrivingListComparison::next_local_window() {
  while (!local_ended_) {
    std::size_t got = read_local_(window_.get(), kLocalWindowBytes);
    if (got == 0) break;
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
    }
    if (from < bytes.size()) {
      window_at_ = from;
      window_size_ = bytes.size();
      return true;
    }
  }
  local_ended_ = true;
  window_at_ = window_size_ = 0;
  return false;
}

void ArrivingListComparison::restart() {
  if (!taken_) return;
  // Rare (a transfer that starts over): the installed list is not read
  // again; everything that arrives from now on is kept instead.
  head_.clear();
  in_records_ = false;
  matched_ = 0;
  diverged_ = true;
  rest_.clear();
  ended_ = false;
}

void ArrivingListComparison::take(std::string_view piece) {
  taken_ = taken_ || !piece.empty();
  if (ended_) return;
  const std::size_t zero = piece.find('\0');
  if (zero != std::string_view::npos) {
    piece = piece.substr(0, zero);
    ended_ = true;
  }
  if (!in_records_) {
    const std::size_t feed = piece.find('\n');
    head_.append(piece.substr(0, feed));
    if (feed == std::string_view::npos) return;
    in_records_ = true;
    piece.remove_prefix(feed);
  }
  while (!diverged_ && !piece.empty()) {
    if (window_at_ == window_size_ && !next_local_window()) {
      diverged_ = true;  // the arrived list is the longer one
      break;
    }
    const std::string_view expected(window_.get() + window_at_,
                                    std::min(piece.size(), window_size_ - window_at_));
    // Pieces that repeat the installed list, the usual case, cost a memcmp.
    std::size_t same = expected.size();
    if (std::memcmp(expected.data(), piece.data(), same) != 0) {
      same = static_cast<std::size_t>(
          std::mismatch(expected.begin(), expected.end(), piece.begin()).first - expected.begin());
      diverged_ = true;
    }
    matched_ += same;
    window_at_ += same;
    piece.remove_prefix(same);
  }
  if (diverged_) rest_.append(piece);
}

std::optional<std::int32_t> ArrivingListComparison::quick_answer() {
  // Every arrived record byte matched: the same records unless the
  // installed list has more of them.
  if (!diverged_ && window_at_ == window_size_ && !next_local_window()) return 0;
  return std::nullopt;
}

std::int32_t ArrivingListComparison::answer(const char* local) const {
  const std::string_view local_text(local);
  const std::string_view local_records = local_text.substr(std::min(local_text.find('\n'), local_text.size()));
  std::string server = head_;
  if (in_records_) {
    server.append(local_records.substr(0, matched_));
    server.append(rest_);
  }
  return compare_version_lists(local, server.c_str());
}

}  // namespace brindax
