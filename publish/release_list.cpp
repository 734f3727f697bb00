#include "publish/release_list.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "pack/zip_backend.h"
#include "runtime/core/encoding.h"
#include "updater/entry_path.h"
#include "updater/version_list.h"

namespace brindax::publish {
namespace {

std::string quoted(std::string_view text) {
  std::string result(1, '"');
  result.append(text);
  result += '"';
  return result;
}

// The 8-bit name as the updater meets it again: converted to the package's
// UTF-8 on the way in and decoded one byte per character on the way out.
bool survives_the_package(std::string_view name) {
  std::unique_ptr<char, decltype(&std::free)> utf8(ansi_to_utf8(std::string(name).c_str()),
                                                   &std::free);
  if (!utf8 || (*utf8 == '\0' && !name.empty())) return false;
  return utf8_to_latin1(utf8.get(), '\0') == name && name.find('\0') == std::string_view::npos;
}

std::string line_label(std::size_t number) {
  return std::string(kListFile) + " line " + std::to_string(number) + ": ";
}

}  // namespace

std::string name_problem(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (name.find('@') != std::string_view::npos) return "the name contains \"@\"";
  if (name.find('\r') != std::string_view::npos || name.find('\n') != std::string_view::npos) {
    return "the name contains a line break";
  }
  if (!entry_name_is_safe(std::string(name).c_str()) || entry_is_directory(std::string(name).c_str())) {
    return "the updater refuses this name";
  }
  if (!survives_the_package(name)) return "the name cannot be written in the 8-bit code page";
  return {};
}

std::vector<std::string> name_conflicts(const std::vector<std::string>& names) {
  // The first name of each key, as the updater folds names.
  std::map<std::string, const std::string*> first;
  for (const std::string& name : names) first.emplace(entry_name_key(name.c_str()), &name);
  std::vector<std::string> conflicts;
  for (const std::string& name : names) {
    const std::string key = entry_name_key(name.c_str());
    const std::string& same = *first.at(key);
    if (&same != &name && same != name) {
      conflicts.push_back(quoted(same) + " and " + quoted(name) +
                          " are one file on Windows, where letter case does not count");
    }
    for (std::size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
      const auto folder = first.find(key.substr(0, slash));
      if (folder != first.end()) {
        conflicts.push_back(quoted(*folder->second) + " is a file, but " + quoted(name) +
                            " needs a folder of that name");
      }
    }
  }
  return conflicts;
}

ParsedList parse_list(std::string_view text) {
  ParsedList list;
  const std::string copy(text);
  ListLines lines(copy.c_str());
  list.package = std::string(lines.next());
  std::size_t rest = text.find('\n');
  if (rest == std::string_view::npos) return list;
  for (std::string_view remaining = text.substr(rest + 1); !remaining.empty();) {
    const std::size_t end = remaining.find('\n');
    list.lines.emplace_back(remaining.substr(0, end));
    remaining = end == std::string_view::npos ? std::string_view{} : remaining.substr(end + 1);
  }
  return list;
}

std::string render_list(const std::string& package, const std::vector<Record>& records) {
  std::string text = package + "\n";
  for (const Record& record : records) text += record.name + "@" + record.version + "\n";
  return text;
}

ReleasePlan plan_release(std::vector<SourceRecord> files, const ParsedList* previous) {
  std::sort(files.begin(), files.end(),
            [](const SourceRecord& a, const SourceRecord& b) { return a.name < b.name; });
  ReleasePlan plan;
  std::set<std::string> placed;
  if (previous != nullptr) {
    std::map<std::string, const SourceRecord*> by_name;
    for (const SourceRecord& file : files) by_name[file.name] = &file;
    for (const std::string& line : previous->lines) {
      const std::string name(record_field(line, 1));
      const std::string old_version(record_field(line, 2));
      auto found = by_name.find(name);
      if (found == by_name.end()) {
        plan.records.push_back({name, old_version});
        plan.from_previous.push_back(true);
        plan.removed.push_back(name);
      } else {
        plan.records.push_back({name, found->second->version});
        plan.from_previous.push_back(false);
        if (found->second->version != old_version) plan.changed.push_back(name);
      }
      placed.insert(name);
    }
  }
  for (const SourceRecord& file : files) {
    if (placed.count(file.name)) continue;
    plan.records.push_back({file.name, file.version});
    plan.from_previous.push_back(false);
    if (previous != nullptr) plan.added.push_back(file.name);
  }
  return plan;
}

InstalledView installed_view(std::string_view previous_text, std::string_view new_text) {
  const std::string installed(previous_text), server(new_text);
  InstalledView view;
  view.check_answer = compare_version_lists(installed.c_str(), server.c_str());
  if (view.check_answer != 1) return view;
  // The partial update walks as many lines as the installed list has: past
  // its end it meets at most the first record the installed list lacks.
  view.partial_update_reaches_new = false;
  const auto feeds = static_cast<std::size_t>(std::count(installed.begin(), installed.end(), '\n'));
  ListLines installed_lines(installed.c_str()), server_lines(server.c_str());
  std::string_view installed_line, server_line;
  for (std::size_t i = 0; i <= feeds; ++i) {
    installed_line = installed_lines.next();
    server_line = server_lines.next();
  }
  if (feeds > 0 && record_field(installed_line, 2) != record_field(server_line, 2)) {
    view.first_added = std::string(record_field(server_line, 1));
  }
  // With a single added record that one is all it misses: what follows the
  // lines it walks must be empty.
  std::size_t walked_end = 0;
  for (std::size_t i = 0; i <= feeds && walked_end != std::string::npos; ++i) {
    walked_end = server.find('\n', i == 0 ? 0 : walked_end + 1);
  }
  view.partial_update_reaches_new =
      !view.first_added.empty() &&
      (walked_end == std::string::npos ||
       server.find_first_not_of('\n', walked_end + 1) == std::string::npos);
  return view;
}

std::vector<std::string> list_problems(std::string_view text, bool package_present,
                                       const std::function<bool(const std::string&)>& has_entry,
                                       const std::string_view* previous_text) {
  std::vector<std::string> problems;
  if (text.find('\n') == std::string_view::npos) {
    problems.push_back(std::string(kListFile) + ": no records (the list has a single line)");
  }
  const ParsedList list = parse_list(text);
  if (list.package.find('\r') != std::string::npos) {
    problems.push_back(line_label(1) + "ends in CR");
  } else if (list.package.empty() || !entry_name_is_safe(list.package.c_str())) {
    problems.push_back(line_label(1) + "no usable package name " + quoted(list.package));
  } else if (!package_present) {
    problems.push_back(line_label(1) + "the package " + quoted(list.package) +
                       " is not beside the list");
  }

  std::map<std::string, std::size_t> seen;
  std::vector<std::string> usable;  // names that pass the checks below
  for (std::size_t i = 0; i < list.lines.size(); ++i) {
    const std::string& line = list.lines[i];
    const std::size_t number = i + 2;
    const std::string label = line_label(number);
    if (line.find('\r') != std::string::npos) {
      problems.push_back(label + "ends in CR");
      continue;
    }
    if (line.empty()) {
      problems.push_back(label + "empty record");
      continue;
    }
    const std::string name(record_field(line, 1));
    if (std::count(line.begin(), line.end(), '@') > 1) {
      problems.push_back(label + "more than one \"@\" (a name containing \"@\"?) in " + quoted(line));
      continue;
    }
    if (record_field(line, 2).empty()) problems.push_back(label + "no version for " + quoted(name));
    if (const std::string why = name_problem(name); !why.empty()) {
      problems.push_back(label + quoted(name) + ": " + why);
      continue;
    }
    if (auto [at, fresh] = seen.emplace(name, number); !fresh) {
      problems.push_back(label + quoted(name) + " repeats line " + std::to_string(at->second));
      continue;
    }
    usable.push_back(name);
    if (package_present && !has_entry(name)) {
      problems.push_back(label + quoted(name) + " is not an entry of " + quoted(list.package));
    }
  }

  for (const std::string& conflict : name_conflicts(usable)) {
    problems.push_back(std::string(kListFile) + ": " + conflict + " (no full install succeeds)");
  }

  if (previous_text != nullptr) {
    const ParsedList previous = parse_list(*previous_text);
    for (std::size_t i = 0; i < previous.lines.size(); ++i) {
      const std::string_view old_name = record_field(previous.lines[i], 1);
      if (old_name.empty()) continue;
      if (i >= list.lines.size()) {
        problems.push_back(line_label(i + 2) + quoted(old_name) + " of the previous list vanished");
      } else if (record_field(list.lines[i], 1) != old_name) {
        problems.push_back(line_label(i + 2) + quoted(record_field(list.lines[i], 1)) +
                           " stands where the previous list has " + quoted(old_name) +
                           " (records moved)");
      }
    }
  }
  return problems;
}

}  // namespace brindax::publish
