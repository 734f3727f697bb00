// The publisher's view of a version list: which names may go on it, how the
// records of a new release are laid out against the previous one, and what is
// wrong with a list made by any means. Pure functions over texts, so tests
// call them without files.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindax::publish {

inline constexpr const char* kListFile = "Brindax.ver";
inline constexpr const char* kDefaultPackage = "Brindax.zip";

// Why the updater could not use `name` (an 8-bit entry name) as a record and
// an entry; empty when it can.
std::string name_problem(std::string_view name);

// Pairs of names that the updater would write to one file or folder on
// Windows: the same name in another letter case ("readme.txt" and
// "README.txt"), or a name that is also a folder of another ("docs" and
// "docs/readme.txt", in any letter case). Exact repeats are not reported.
// One line per pair naming both, in the order of `names`.
std::vector<std::string> name_conflicts(const std::vector<std::string>& names);

struct Record {
  std::string name;
  std::string version;
};

// A list cut into its package name and records. A last empty line (the list
// ends with LF) is no record.
struct ParsedList {
  std::string package;
  std::vector<std::string> lines;  // record lines as they stand, from line 2 on
};
ParsedList parse_list(std::string_view text);

// The text of a list: the package name, then "name@version" per record, every
// line ended by LF.
std::string render_list(const std::string& package, const std::vector<Record>& records);

// A file of the new release with its version.
struct SourceRecord {
  std::string name;
  std::string version;
};

// How the new records relate to the previous list.
struct ReleasePlan {
  std::vector<Record> records;            // in list (and package) order
  std::vector<bool> from_previous;        // per record: entry copied from the previous package
  std::vector<std::string> changed, added, removed;
};

// Without a previous list: the files sorted by name. With one: its records in
// their order (a file no longer in the folder keeps its record), then the new
// files sorted by name. `files` need not be sorted.
ReleasePlan plan_release(std::vector<SourceRecord> files, const ParsedList* previous);

// What an installation at the previous release sees of the new one.
struct InstalledView {
  int check_answer = 0;           // the update check's exit code
  bool partial_update_reaches_new = true;
  std::string first_added;        // the only added record a partial update installs
};
InstalledView installed_view(std::string_view previous_text, std::string_view new_text);

// Every problem of a list, one line each; empty when the list is sound.
// `package_present` says whether the package named on line 1 lies beside the
// list, `has_entry` whether the package holds an entry of an 8-bit name.
std::vector<std::string> list_problems(std::string_view text, bool package_present,
                                       const std::function<bool(const std::string&)>& has_entry,
                                       const std::string_view* previous_text = nullptr);

}  // namespace brindax::publish
