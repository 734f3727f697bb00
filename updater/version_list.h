// Version lists and the update check.
//
// A version list is 8-bit text: line 1 names the package (the ZIP file that
// holds the whole application); every further line is a record
// "entry name@version[@ignored...]". Lines are separated by a single LF; a CR
// before it stays part of the line. Records of two lists are matched by line
// number, and versions are compared byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace brindax {

// Producing operation: the whole text of the named file, or the empty string
// when there is no such file (a missing list is not created).
char* read_version_list(const char* file_name, std::int32_t offset);
// Line i (1-based) of a list, field k of a line; empty past the end.
char* version_line(const char* text, std::int32_t i, std::int32_t offset);
char* version_field(const char* line, std::int32_t k, std::int32_t offset);

// Walks the lines of a list text once, front to back: the same lines that
// version_line gives for 1, 2, 3, ... without rescanning from the start.
class ListLines {
 public:
  explicit ListLines(const char* text) : rest_(text ? text : "") {}
  // The next line without its LF (a CR before the LF stays); empty past the end.
  std::string_view next();

 private:
  std::string_view rest_;
};

// The package's name on a list: line 1, without the CR that a list saved
// with CR LF line ends has there (that CR is no part of a file name).
std::string_view package_name_of(const char* text);

// Field k (1-based) of a record line cut at "@", as version_field gives it.
std::string_view record_field(std::string_view line, std::int32_t k);

// The check's answer for two list texts: 0 same, 1 different number of lines,
// 2 a version differs. One pass over both texts.
std::int32_t compare_version_lists(const char* local, const char* server);

// The check's answer for a server's list taken as it arrives, piece by
// piece, beside the installed list read a window at a time: the answer of
// compare_version_lists(installed text, arrived text), where either text
// ends at its first 0 byte, as a list read from a file does. Neither list is
// kept: while the two agree byte for byte, a piece costs a memcmp; from the
// first difference on, both are walked on, the versions (field 2) of their
// lines compared and their LFs counted, with no more memory than a window.
class ArrivingListComparison {
 public:
  // The next bytes of the installed list into `into` (at most `size`), 0 at
  // its end; called in order from its first byte, or from the first byte
  // again after a call of the rewinder.
  using LocalReader = std::function<std::size_t(char* into, std::size_t size)>;
  using LocalRewinder = std::function<void()>;

  ArrivingListComparison(LocalReader read_local, LocalRewinder rewind_local);

  // Forgets every piece taken: the list arrives again from its first byte.
  void restart();
  void take(std::string_view piece);
  // Once the list has arrived: 0 same, 1 different number of lines, 2 a
  // version differs.
  std::int32_t answer();
  // The bytes the comparison holds, whatever the lists' sizes.
  std::size_t held_bytes() const;

 private:
  enum class Phase { head, matching, walking, counting };

  // The installed list's bytes from its first LF on (its first line, the
  // package name, is not compared): the current window; false at their end.
  bool local_window();
  // Enters the walk at the first byte that differs (or where one list ends).
  void diverge();
  // Compares the versions of the arrived bytes with the installed list's.
  void walk(std::string_view arrived);
  // Up to `size` bytes of the installed list's versions-and-LFs from the
  // cursor on; fewer at its end.
  std::size_t local_versions(char* into, std::size_t size);

  LocalReader read_local_;
  LocalRewinder rewind_local_;
  std::unique_ptr<char[]> window_;
  std::size_t window_from_ = 0, window_at_ = 0, window_size_ = 0;
  bool local_in_records_ = false, local_ended_ = false;
  std::int32_t field_at_window_ = 1;  // field of window_[window_from_] (3: 3 or later)

  Phase phase_ = Phase::head;
  bool taken_ = false;   // a byte has arrived
  bool ended_ = false;   // a 0 byte ended the arrived text
  // From the first difference on: the field each side is in, and the LFs
  // each has brought since.
  std::int32_t field_ = 1, local_field_ = 1;
  std::int64_t feeds_ = 0, local_feeds_ = 0;
  std::unique_ptr<char[]> scratch_;  // versions of both sides, side by side
};

}  // namespace brindax
