// Where package entries may be written, and under which names: only inside
// the current folder, and only names that Windows takes as plain file names
// (the packages are made for Windows, so the rules hold on every platform).
#pragma once

#include <string>

namespace brindax {

class FileTransaction;

enum class EntryNameProblem {
  none,
  leaves_folder,   // absolute, a drive or stream (":"), a ".." component
  own_file,        // "LocalVersion.ver" / "ServerVersion.ver" / "LocalVersion.seq", or a temporary's name
  device_name,     // CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, any case or extension
  bad_ending,      // a component that is empty, ".", or ends in a dot or a blank
  bad_character,   // < > " | ? * or a control character
};

// Why a name cannot be installed; `none` when it can. "/" and "\" both
// separate folders; one "/" at the end marks a directory entry. Pure: no
// file is looked at.
EntryNameProblem entry_name_problem(const char* name);
// entry_name_problem(name) == none.
bool entry_name_is_safe(const char* name);

// The form under which Windows would find the name: letters in one case,
// "\" as "/". Two entries of the same key would land on the same file.
std::string entry_name_key(const char* name);

// True for a directory entry (its stored name ends in "/").
bool entry_is_directory(const char* name);

// Creates the folders leading to `name` (for a directory entry, the folder
// itself too), one level at a time, as part of `transaction`. False when one
// could not be made.
bool make_entry_folders(const char* name, FileTransaction& transaction);

// True for the characters that separate folders in a path on this system
// ("/" everywhere, "\" on Windows too).
bool is_folder_separator(char c);

}  // namespace brindax
