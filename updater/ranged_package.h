// A partial update's package, fetched in pieces: only the end of the package
// (its central directory) and the bytes of the entries the update unpacks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/transport.h"

namespace brindax {

// Fetches from the server's `remote_package` (over the release server's
// transport) what unpacking `entry_names` needs,
// into `local_path`: a sparse file of the package's size that holds the end
// of the package and each named entry's local header, data and any data
// descriptor at their offsets. libzip opens it like the whole package.
// Directory entries (names ending in "/") need no bytes.
//
// When the server answers a range with the whole package instead, the file
// then holds all of it, and that is taken as it is: true, nothing fetched
// twice.
//
// False, with nothing left at `local_path`, whenever that does not fit:
// the server gives no size or refuses "REST", the package is too small, or
// its size would not leave KEEP_FREE_BYTES free on the volume, its end
// cannot be read or holds more than one end record, its central directory
// is larger than a version list may be, a name is not found, the pieces come
// to more than half of the package, a fetched piece does not begin with the
// expected local header (the package changed meanwhile), or libzip, opening
// the file, reads another directory than the one the pieces were chosen by.
// The caller then fetches the whole package as usual.
bool fetch_changed_entries(Transport& server, const char* remote_package,
                           const char* local_path, const std::vector<std::string>& entry_names);

}  // namespace brindax
