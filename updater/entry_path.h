// Where package entries may be written: only inside the current folder.
#pragma once

namespace brindax {

// False for a name that would leave the current folder: an absolute path
// (leading "/" or "\"), any ":" (drive letters, streams), or a ".." component
// ("/" and "\" both count as separators).
bool entry_name_is_safe(const char* name);

// True for a directory entry (its stored name ends in "/").
bool entry_is_directory(const char* name);

// Creates the folders leading to `name` (for a directory entry, the folder
// itself too), one level at a time. False when one could not be made.
bool make_entry_folders(const char* name);

// True for the characters that separate folders in a path on this system
// ("/" everywhere, "\" on Windows too).
bool is_folder_separator(char c);

}  // namespace brindax
