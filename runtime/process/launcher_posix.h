// POSIX-only helpers of the program launcher, shared with the message requester.
#pragma once

#include <string>
#include <string_view>

namespace brindax {

// The first regular, executable file called `name` in the folders of PATH (an
// empty entry is the current folder), as a path that does not depend on the
// current folder; empty when there is none.
std::string find_on_path(std::string_view name);

// `path` made independent of the current folder (the current folder is put
// in front of a relative path; nothing else is changed).
std::string absolute_path(const std::string& path);

}  // namespace brindax
