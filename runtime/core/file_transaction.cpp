// Files changed all together or not at all.
#include "runtime/core/file_transaction.h"

#include <atomic>

#include "runtime/core/file.h"
#include "runtime/core/os_file.h"

namespace brindax {

namespace {

constexpr int kNameAttempts = 100;
constexpr std::string_view kNewTag = ".brindax-new-";
constexpr std::string_view kOldTag = ".brindax-old-";
constexpr std::string_view kPartTag = ".brindax-part";
std::atomic<std::uint32_t> g_counter{0};

std::string fresh_name(const std::string& base, std::string_view tag) {
  return base + std::string(tag) + std::to_string(os::process_id()) + "-" +
         std::to_string(g_counter.fetch_add(1));
}

bool is_digits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "<anything><tag><digits>-<digits>"
bool has_private_suffix(std::string_view name, std::string_view tag) {
  const std::size_t at = name.rfind(tag);
  if (at == std::string_view::npos || at == 0) return false;
  const std::string_view numbers = name.substr(at + tag.size());
  const std::size_t dash = numbers.find('-');
  return dash != std::string_view::npos && is_digits(numbers.substr(0, dash)) &&
         is_digits(numbers.substr(dash + 1));
}

}  // namespace

TemporaryFile::~TemporaryFile() { remove(); }

bool TemporaryFile::create(const char* base) {
  remove();
  if (base == nullptr || *base == '\0') return false;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string candidate = fresh_name(base, kNewTag);
    const os::FileHandle file = os::create_new(candidate.c_str());
    if (file != os::NO_FILE) {
      os::close(file);
      path_ = std::move(candidate);
      return true;
    }
    // Only a name that is taken is worth another try.
    if (file_size(candidate.c_str()) == -1) break;
  }
  return false;
}

bool TemporaryFile::remove() {
  if (path_.empty()) return true;
  if (os::delete_file(path_.c_str()) == 0 && file_size(path_.c_str()) != -1) return false;
  path_.clear();
  return true;
}

bool FileTransaction::make_folder(const char* path) {
  if (file_size(path) == -2) return true;
  if (!os::make_directory(path)) return false;
  folders_.emplace_back(path);
  return true;
}

const std::string& FileTransaction::stage(const char* destination) {
  Staged entry;
  if (destination == nullptr || !entry.file.create(destination)) return no_path_;
  entry.destination = destination;
  staged_.push_back(std::move(entry));
  return staged_.back().file.path();
}

void FileTransaction::adopt(const char* file, const char* destination) {
  Staged entry;
  entry.file.take(file);
  entry.destination = destination;
  staged_.push_back(std::move(entry));
}

bool FileTransaction::commit(std::string* failed) {
  for (Staged& entry : staged_) {
    const char* destination = entry.destination.c_str();
    const std::int64_t existing = file_size(destination);
    if (existing == -2) {  // a folder is never replaced by a file
      if (failed) *failed = entry.destination;
      rollback();
      return false;
    }
    if (existing != -1) {
      // The old file goes aside (a running program can be renamed, not
      // replaced), and comes back if anything fails.
      bool aside = false;
      for (int attempt = 0; attempt < kNameAttempts && !aside; ++attempt) {
        entry.aside = fresh_name(entry.destination, kOldTag);
        aside = os::move_file(destination, entry.aside.c_str());
        if (!aside && file_size(entry.aside.c_str()) == -1) break;  // not a name clash
      }
      if (!aside) entry.aside.clear();
      if (!aside) {
        if (failed) *failed = entry.destination;
        rollback();
        return false;
      }
    }
    if (!os::move_file(entry.file.path().c_str(), destination)) {
      if (!entry.aside.empty()) os::move_file(entry.aside.c_str(), destination);
      entry.aside.clear();
      if (failed) *failed = entry.destination;
      rollback();
      return false;
    }
    entry.file.release();
    entry.moved = true;
  }
  // Everything is in place: the old files go. One that cannot be deleted
  // yet is left to remove_leftovers() of a later run.
  for (Staged& entry : staged_) {
    if (!entry.aside.empty()) os::delete_file(entry.aside.c_str());
  }
  staged_.clear();
  folders_.clear();
  return true;
}

void FileTransaction::undo_moves() {
  for (auto entry = staged_.rbegin(); entry != staged_.rend(); ++entry) {
    if (!entry->moved) continue;
    const char* destination = entry->destination.c_str();
    os::delete_file(destination);  // the new file, nobody else's yet
    if (!entry->aside.empty()) os::move_file(entry->aside.c_str(), destination);
    entry->moved = false;
  }
}

void FileTransaction::rollback() {
  undo_moves();
  staged_.clear();  // the temporaries delete themselves
  for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
    os::remove_directory(folder->c_str());
  }
  folders_.clear();
}

void FileTransaction::remove_leftovers(const char* folder) {
  const std::string prefix = (folder == nullptr || *folder == '\0' || std::string_view(folder) == ".")
                                 ? std::string()
                                 : std::string(folder) + "/";
  for (const os::FolderItem& item : os::folder_items(folder)) {
    const std::string path = prefix + item.name;
    if (item.is_folder) {
      remove_leftovers(path.c_str());
    } else if (has_private_suffix(item.name, kOldTag)) {
      os::delete_file(path.c_str());
    }
  }
}

bool FileTransaction::is_private_name(std::string_view name) {
  // "<anything>.brindax-part" and "<anything>.brindax-part-<anything>": a
  // partial download kept for the next run, and its record.
  const std::size_t part = name.find(kPartTag);
  const bool partial = part != std::string_view::npos && part > 0 &&
                       (part + kPartTag.size() == name.size() || name[part + kPartTag.size()] == '-');
  return partial || has_private_suffix(name, kNewTag) || has_private_suffix(name, kOldTag);
}

}  // namespace brindax
