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
// ends at its first 0 byte, as a list read from a file does. While the two
// agree nothing of either is kept; from the first difference on, the rest of
// the arrived list is, and the answer needs the installed list's whole text.
class ArrivingListComparison {
 public:
  // The next bytes of the installed list into `into` (at most `size`), 0 at
  // its end; called in order from its first byte.
  using LocalReader = std::function<std::size_t(char* into, std::size_t size)>;

  explicit ArrivingListComparison(LocalReader read_local);

  // Forgets every piece taken: the list arrives again from its first byte.
  void restart();
  void take(std::string_view piece);
  // Once the list has arrived: 0 when its records are the installed ones,
  // nullopt when the answer needs the installed list's whole text.
  std::optional<std::int32_t> quick_answer();
  // The answer with `local`, the installed list's whole text.
  std::int32_t answer(const char* local) const;

 private:
  // The next window of the installed list's records (from its first LF on);
  // false at their end.
  bool next_local_window();

  LocalReader read_local_;
  std::unique_ptr<char[]> window_;
  std::size_t window_size_ = 0, window_at_ = 0;
  bool local_in_records_ = false, local_ended_ = false;

  bool taken_ = false;       // a byte has arrived
  std::string head_;         // the arrived first line, LF excluded
  bool in_records_ = false;  // the first LF has arrived
  std::size_t matched_ = 0;  // record bytes equal to the installed ones
  bool diverged_ = false;    // a byte differed: the rest is kept
  std::string rest_;         // the arrived record bytes from the difference on
  bool ended_ = false;       // a 0 byte ended the arrived text
};

}  // namespace brindax
