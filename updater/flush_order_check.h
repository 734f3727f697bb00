// A check of the order in which a run wrote, flushed and renamed its files,
// read from a trace of its system calls (`strace -f -y`): no file may be
// renamed into place before its data went to the disk, and the version list
// only after every other new file and its name are on the disk. A pure
// function over the trace's text, so that its own tests need no process.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace brindax::process_test {

struct FlushOrderReport {
  std::vector<std::string> faults;  // empty: the order is sound
  int renames = 0;                  // renames checked
  bool list_renamed = false;        // the version list was renamed into place
};

// `folder` is the run's current folder (absolute), `list` the version
// list's name in it, and `unflushed` the names that may be renamed into
// place without a flush (files that only live for a moment).
inline FlushOrderReport check_flush_order(std::string_view trace, const std::string& folder,
                                          const std::string& list,
                                          const std::vector<std::string>& unflushed) {
  struct Call {
    std::string name, arguments;
  };
  const auto parent_of = [](const std::string& path) { return path.substr(0, path.rfind('/')); };
  const auto absolute = [&](const std::string& path) {
    return !path.empty() && path[0] == '/' ? path : folder + "/" + path;
  };
  // The path strace -y shows for the first descriptor argument.
  const auto path_of = [](const std::string& arguments) {
    const std::size_t open = arguments.find('<');
    const std::size_t close = arguments.find('>', open);
    return open == std::string::npos || close == std::string::npos
               ? std::string()
               : arguments.substr(open + 1, close - open - 1);
  };
  // The first two quoted strings of the arguments.
  const auto quoted = [](const std::string& arguments) {
    std::vector<std::string> strings;
    for (std::size_t at = 0; strings.size() < 2 && (at = arguments.find('"', at)) != std::string::npos;) {
      std::string text;
      for (++at; at < arguments.size() && arguments[at] != '"'; ++at) {
        if (arguments[at] == '\\' && at + 1 < arguments.size()) ++at;
        text += arguments[at];
      }
      strings.push_back(text);
      ++at;
    }
    return strings;
  };

  FlushOrderReport report;
  std::map<std::string, Call> pending;             // thread -> its unfinished call
  std::map<std::string, int> last_write;           // path -> event number
  std::map<std::string, int> last_flush;           // path -> event number
  std::map<std::string, int> folder_flush;         // folder -> event number
  std::vector<std::pair<std::string, int>> moved;  // destination, event number
  int event = 0;
  std::size_t start = 0;
  while (start < trace.size()) {
    std::size_t end = trace.find('\n', start);
    if (end == std::string_view::npos) end = trace.size();
    const std::string line(trace.substr(start, end - start));
    start = end + 1;
    ++event;
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string thread = line.substr(0, space);
    const std::size_t call_start = line.find_first_not_of(' ', space);
    if (call_start == std::string::npos) continue;
    std::string rest = line.substr(call_start);
    Call call;
    std::string result;
    if (rest.rfind("<... ", 0) == 0) {  // the end of an unfinished call
      const auto found = pending.find(thread);
      if (found == pending.end()) continue;
      call = found->second;
      pending.erase(found);
      result = rest.substr(rest.rfind(" = ") == std::string::npos ? rest.size() : rest.rfind(" = ") + 3);
    } else {
      const std::size_t paren = rest.find('(');
      if (paren == std::string::npos) continue;
      call = {rest.substr(0, paren), rest.substr(paren + 1)};
      if (rest.find("<unfinished ...>") != std::string::npos) {
        // A rename counts from its start, a flush or write once it ended.
        if (call.name != "rename" && call.name != "renameat" && call.name != "renameat2") {
          pending[thread] = call;
          continue;
        }
        result = "0";
      } else {
        result = rest.substr(rest.rfind(" = ") == std::string::npos ? rest.size() : rest.rfind(" = ") + 3);
      }
    }
    if (result.empty() || result[0] == '-' || result[0] == '?') continue;  // failed
    if (call.name == "write" || call.name == "pwrite64" || call.name == "writev" || call.name == "pwritev") {
      last_write[path_of(call.arguments)] = event;
    } else if (call.name == "fsync" || call.name == "fdatasync") {
      const std::string path = path_of(call.arguments);
      last_flush[path] = event;
      folder_flush[path] = event;
    } else if (call.name == "rename" || call.name == "renameat" || call.name == "renameat2") {
      const std::vector<std::string> names = quoted(call.arguments);
      if (names.size() != 2) continue;
      const std::string from = absolute(names[0]);
      const std::string to = absolute(names[1]);
      const std::string base = to.substr(to.rfind('/') + 1);
      bool exempt = false;
      for (const std::string& name : unflushed) exempt = exempt || base == name;
      if (exempt) continue;
      ++report.renames;
      const auto flushed = last_flush.find(from);
      const auto written = last_write.find(from);
      if (flushed == last_flush.end() || (written != last_write.end() && written->second > flushed->second)) {
        report.faults.push_back(names[1] + " renamed into place before its flush");
      }
      if (to == absolute(list)) {
        report.list_renamed = true;
        for (const auto& [other, at] : moved) {
          const auto folder_flushed = folder_flush.find(parent_of(other));
          if (folder_flushed == folder_flush.end() || folder_flushed->second < at) {
            report.faults.push_back(list + " renamed before the name of " + other + " was flushed");
          }
        }
      } else if (report.list_renamed) {
        report.faults.push_back(names[1] + " renamed into place after " + list);
      }
      moved.emplace_back(to, event);
      last_flush.erase(from);
    }
  }
  return report;
}

}  // namespace brindax::process_test
