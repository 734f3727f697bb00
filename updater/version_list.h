// Version lists and the update check.
//
// A version list is 8-bit text: line 1 names the package (the ZIP file that
// holds the whole application); every further line is a record
// "entry name@version[@ignored...]". Lines are separated by a single LF; a CR
// before it stays part of the line. Records of two lists are matched by line
// number, and versions are compared byte for byte.
#pragma once

#include <cstdint>
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

}  // namespace brindax
