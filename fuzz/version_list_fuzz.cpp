// Version lists: the one-pass walk (ListLines, record_field) and the update
// check against the runtime's string-stack producers (version_line,
// version_field), which are the reference.
//
// Input: the local list, a NUL byte, the server's list. Without a NUL the
// input is compared with itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "runtime/core/heap.h"
#include "runtime/core/strings.h"
#include "updater/version_list.h"

using namespace brindax;

namespace {

std::int32_t line_feeds(std::string_view text) {
  std::int32_t count = 0;
  for (char c : text) count += c == '\n';
  return count;
}

// The answer of the update check, line by line through the string stack.
std::int32_t reference_compare(const char* local, const char* server) {
  const std::int32_t feeds = line_feeds(local);
  if (feeds != line_feeds(server)) return 1;
  for (std::int32_t i = 2; i <= feeds + 1; ++i) {
    StackMark mark;
    std::string local_version(version_field(version_line(local, i, mark.offset()), 2, mark.offset()));
    std::string server_version(version_field(version_line(server, i, mark.offset()), 2, mark.offset()));
    if (local_version != server_version) return 2;
  }
  return 0;
}

// ListLines yields exactly version_line's lines, one past the end is empty,
// and record_field agrees with version_field on every field of each.
void check_walk(const char* text) {
  const std::int32_t lines = line_feeds(text) + 1;
  ListLines walk(text);
  for (std::int32_t i = 1; i <= lines + 1; ++i) {
    StackMark mark;
    const std::string_view line = walk.next();
    const std::string expected(version_line(text, i, mark.offset()));
    FUZZ_CHECK(line == expected);
    if (i > lines) FUZZ_CHECK(line.empty());
    std::int32_t fields = 1;
    for (char c : expected) fields += c == '@';
    for (std::int32_t k = 0; k <= fields + 1; ++k) {
      StackMark field_mark;
      FUZZ_CHECK(record_field(line, k) ==
                 std::string_view(version_field(expected.c_str(), k, field_mark.offset())));
    }
  }
  FUZZ_CHECK(walk.next().empty());
}

// The update check as the server's list arrives in pieces of `piece` bytes,
// the installed list read a few bytes at a time.
std::int32_t arriving_compare(const std::string& local, const std::string& server, std::size_t piece) {
  std::size_t at = 0;
  ArrivingListComparison arriving(
      [&](char* into, std::size_t size) {
        const std::size_t n = std::min({size, std::size_t{7}, local.size() - at});
        local.copy(into, n, at);
        at += n;
        return n;
      },
      [&] { at = 0; });
  for (std::size_t from = 0; from < server.size(); from += piece) arriving.take(std::string_view(server).substr(from, piece));
  return arriving.answer();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  main_heap_create();
  string_library_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::int32_t position = string_stack_position();
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string local = input.substr(0, split);
  const std::string server = split == std::string::npos ? local : input.substr(split + 1).c_str();

  check_walk(local.c_str());
  check_walk(server.c_str());

  const std::int32_t answer = compare_version_lists(local.c_str(), server.c_str());
  FUZZ_CHECK(answer == reference_compare(local.c_str(), server.c_str()));
  FUZZ_CHECK(answer == compare_version_lists(server.c_str(), local.c_str()));
  FUZZ_CHECK(answer == arriving_compare(local, server, 1 + size % 5));
  FUZZ_CHECK(compare_version_lists(local.c_str(), local.c_str()) == 0);
  FUZZ_CHECK(string_stack_position() == position);
  return 0;
}
