// Files changed all together or not at all.
#include "runtime/core/file_transaction.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>

#include "runtime/core/file.h"
#include "runtime/core/os_file.h"

namespace brindax {

namespace {

constexpr int kNameAttempts = 100;
constexpr std::string_view kNewTag = ".brindax-new-";
constexpr std::string_view kOldTag = ".brindax-old-";
constexpr std::string_view kPartTag = ".brindax-part";
constexpr std::string_view kJournalTag = ".brindax-journal-";
constexpr std::string_view kJournalHeading =
    "Brindax commit journal: destination, new file, kept and aside name of the old file, "
    "identity of the new";
constexpr std::string_view kJournalEnd = "end";
constexpr std::int64_t kJournalMaxSize = 64 << 20;
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

// The name before "<tag><pid>-<n>" when `name` has that suffix and the
// process `pid` has ended; nullopt otherwise (also for a process still
// running: its files are its own).
std::optional<std::string_view> base_of_ended(std::string_view name, std::string_view tag) {
  if (!has_private_suffix(name, tag)) return std::nullopt;
  const std::size_t at = name.rfind(tag);
  const std::string_view numbers = name.substr(at + tag.size());
  const std::string_view pid = numbers.substr(0, numbers.find('-'));
  if (pid.size() > 10) return std::nullopt;
  const std::uint64_t id = std::stoull(std::string(pid));
  if (id > UINT32_MAX || !os::process_has_ended(static_cast<std::uint32_t>(id))) return std::nullopt;
  return name.substr(0, at);
}

bool is_file(const std::string& path) { return file_size(path.c_str()) >= 0; }

// A name beside `base` that nothing has yet.
std::string free_name(const std::string& base, std::string_view tag) {
  std::string name;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name = fresh_name(base, tag);
    if (file_size(name.c_str()) == -1) break;
  }
  return name;
}

std::string path_in(const std::string& folder, std::string_view name) {
  if (folder.empty() || folder == ".") return std::string(name);
  const char last = folder.back();
  return folder + (last == '/' || last == '\\' ? "" : "/") + std::string(name);
}

// The old file at `entry.destination` back in place of what stands there;
// false when there was no old file left to put back.
bool restore_old(const JournalEntry& entry) {
  for (const std::string* old : {&entry.aside, &entry.kept}) {
    if (old->empty() || !is_file(*old)) continue;
    const char* destination = entry.destination.c_str();
    if (is_file(entry.destination) ? os::replace_file(old->c_str(), destination)
                                   : os::move_file(old->c_str(), destination)) {
      return true;
    }
  }
  return false;
}

// Deletes the spare names of the old file, unless the destination is
// missing: then the old file goes back there.
void drop_spare_names(const JournalEntry& entry) {
  for (const std::string* old : {&entry.aside, &entry.kept}) {
    if (old->empty() || !is_file(*old)) continue;
    if (!is_file(entry.destination) && os::move_file(old->c_str(), entry.destination.c_str())) continue;
    os::delete_file(old->c_str());
  }
}

// Undoes the move of a new file into place: the old file goes back, and
// where nothing stood before, the new file is deleted. A destination that
// another run has replaced since is left to it.
void undo_move(const JournalEntry& entry) {
  if (!entry.identity.empty() && os::file_identity(entry.destination.c_str()) != entry.identity) return;
  if (!restore_old(entry) && entry.kept.empty()) os::delete_file(entry.destination.c_str());
}

// Completes or undoes the commit an ended run journaled. The new files are
// all there when every temporary has gone (moved into place): then the
// commit is completed. Otherwise it is undone: a new file already in place
// gives way to the old one again, and where nothing stood before, the new
// file (this commit's own) is deleted.
void finish_commit(const Journal& journal) {
  const std::vector<JournalEntry>& entries = journal.entries;
  const bool complete = std::none_of(entries.begin(), entries.end(),
                                     [](const JournalEntry& entry) { return is_file(entry.temporary); });
  std::set<std::string> folders;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    folders.insert(os::folder_of(entry->destination));
    if (!complete) {
      if (is_file(entry->temporary)) {
        os::delete_file(entry->temporary.c_str());
      } else {
        undo_move(*entry);
      }
    }
    drop_spare_names(*entry);
  }
  if (!complete) {
    for (auto folder = journal.folders.rbegin(); folder != journal.folders.rend(); ++folder) {
      os::remove_directory(folder->c_str());  // only when empty
    }
  }
  for (const std::string& folder : folders) os::flush_folder(folder.c_str());
}

std::string read_small_file(const std::string& path) {
  const std::int64_t size = file_size(path.c_str());
  if (size < 0 || size > kJournalMaxSize) return std::string();
  const os::FileHandle file = os::open_always(path.c_str());
  if (file == os::NO_FILE) return std::string();
  std::string text(static_cast<std::size_t>(size), '\0');
  text.resize(static_cast<std::size_t>(os::read(file, text.data(), static_cast<std::int32_t>(size))));
  os::close(file);
  return text;
}

bool journal_can_hold(const std::string& name) {
  return name.find_first_of("\t\n") == std::string::npos;
}

}  // namespace

std::string temporary_name(std::string_view base) { return fresh_name(std::string(base), kNewTag); }

std::optional<std::string> journal_text(const Journal& journal) {
  std::string text = std::string(kJournalHeading) + "\n";
  for (const JournalEntry& entry : journal.entries) {
    for (const std::string* name :
         {&entry.destination, &entry.temporary, &entry.kept, &entry.aside, &entry.identity}) {
      if (!journal_can_hold(*name)) return std::nullopt;
    }
    if (entry.destination.empty() || entry.temporary.empty() || entry.kept.empty() != entry.aside.empty()) {
      return std::nullopt;
    }
    text += entry.destination + "\t" + entry.temporary + "\t" + entry.kept + "\t" + entry.aside + "\t" +
            entry.identity + "\n";
  }
  // A folder is a line of one name.
  for (const std::string& folder : journal.folders) {
    if (folder.empty() || !journal_can_hold(folder)) return std::nullopt;
    text += folder + "\n";
  }
  return text + std::string(kJournalEnd) + "\n";
}

std::optional<Journal> parse_journal(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (lines.size() < 2 || lines.front() != kJournalHeading || lines.back() != kJournalEnd) {
    return std::nullopt;
  }
  Journal journal;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    std::string_view rest = lines[i];
    if (rest.find('\t') == std::string_view::npos) {
      if (rest.empty() || rest == kJournalEnd) return std::nullopt;
      journal.folders.emplace_back(rest);
      continue;
    }
    if (!journal.folders.empty()) return std::nullopt;  // files come first
    constexpr int kFields = 5;
    std::string fields[kFields];
    for (int field = 0; field < kFields; ++field) {
      const std::size_t tab = rest.find('\t');
      if ((tab == std::string_view::npos) != (field == kFields - 1)) return std::nullopt;
      fields[field] = std::string(rest.substr(0, tab));
      rest.remove_prefix(field == kFields - 1 ? rest.size() : tab + 1);
    }
    JournalEntry entry{fields[0], fields[1], fields[2], fields[3], fields[4]};
    if (entry.destination.empty() || entry.temporary.empty() || entry.kept.empty() != entry.aside.empty()) {
      return std::nullopt;
    }
    journal.entries.push_back(std::move(entry));
  }
  return journal;
}

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

const std::string& FileTransaction::stage(const char* destination, Flush flush) {
  Staged entry;
  if (destination == nullptr || !entry.file.create(destination)) return no_path_;
  entry.destination = destination;
  entry.flushed = flush == Flush::by_writer;
  staged_.push_back(std::move(entry));
  return staged_.back().file.path();
}

void FileTransaction::adopt(const char* file, const char* destination) {
  Staged entry;
  entry.file.take(file);
  entry.destination = destination;
  staged_.push_back(std::move(entry));
}

void FileTransaction::drop(const std::string& temporary) {
  staged_.remove_if([&](const Staged& entry) { return entry.file.path() == temporary; });
}

// Ready to move: its data on the disk, and free spare names for the file it
// replaces. False when it cannot be committed.
bool FileTransaction::prepare(Staged& entry) {
  const std::int64_t existing = file_size(entry.destination.c_str());
  if (existing == -2) return false;  // a folder is never replaced by a file
  if (existing != -1) {
    entry.kept = free_name(entry.destination, kOldTag);
    entry.aside = free_name(entry.destination, kOldTag);
  }
  if (!entry.flushed) entry.flushed = os::flush_file(entry.file.path().c_str());
  entry.identity = os::file_identity(entry.file.path().c_str());
  return entry.flushed;
}

bool FileTransaction::write_journal() {
  Journal journal;
  for (const Staged& entry : staged_) {
    journal.entries.push_back(
        {entry.destination, entry.file.path(), entry.kept, entry.aside, entry.identity});
  }
  journal.folders = folders_;
  const std::optional<std::string> text = journal_text(journal);
  if (!text || text->size() > static_cast<std::size_t>(kJournalMaxSize)) return false;
  const std::string path = free_name(path_in(journal_folder_, "commit"), kJournalTag);
  const os::FileHandle file = os::create_new(path.c_str());
  if (file == os::NO_FILE) return false;
  journal_ = path;
  const bool written = os::write_all(file, text->data(), static_cast<std::int32_t>(text->size())) &&
                       os::flush(file);
  // The journal's name, and the folders made for the new files, on the disk
  // before anything is moved.
  bool flushed = os::close(file) && written && os::flush_folder(journal_folder_.c_str());
  std::set<std::string> parents;
  for (const std::string& folder : folders_) {
    parents.insert(os::folder_of(folder.substr(0, folder.find_last_not_of("/\\") + 1)));
  }
  for (const std::string& parent : parents) flushed = os::flush_folder(parent.c_str()) && flushed;
  return flushed;
}

void FileTransaction::remove_journal() {
  if (journal_.empty()) return;
  os::delete_file(journal_.c_str());
  os::flush_folder(journal_folder_.c_str());
  journal_.clear();
}

void FileTransaction::flush_folders() const {
  std::set<std::string> folders;
  for (const Staged& entry : staged_) {
    if (entry.moved != Moved::no) folders.insert(os::folder_of(entry.destination));
  }
  for (const std::string& folder : folders) os::flush_folder(folder.c_str());
}

bool FileTransaction::commit(std::string* failed) {
  const auto fail = [&](const Staged& entry) {
    if (failed) *failed = entry.destination;
    rollback();
    return false;
  };
  for (Staged& entry : staged_) {
    if (!prepare(entry)) return fail(entry);
  }
  if (!staged_.empty() && !write_journal()) return fail(staged_.front());
  for (Staged& entry : staged_) {
    const char* destination = entry.destination.c_str();
    const char* file = entry.file.path().c_str();
    // The last file (a list naming what is installed) only once every
    // other one is on the disk under its name.
    if (&entry == &staged_.back()) flush_folders();
    if (entry.kept.empty()) {
      // Nothing stood there; nor may anything have come meanwhile.
      if (!os::move_file(file, destination)) return fail(entry);
      entry.moved = Moved::in_place;
    } else if (os::link_file(destination, entry.kept.c_str()) && os::replace_file(file, destination)) {
      entry.moved = Moved::in_place;
    } else {
      // Not replaceable in place (Windows: a running program can be
      // renamed, not replaced; a volume without second names): the old
      // file goes aside, and comes back if anything fails.
      if (!os::move_file(destination, entry.aside.c_str())) return fail(entry);
      if (!os::move_file(file, destination)) {
        os::move_file(entry.aside.c_str(), destination);
        return fail(entry);
      }
      entry.moved = Moved::after_aside;
    }
    entry.file.release();
  }
  flush_folders();
  // Everything is in place: the old files go. One that cannot be deleted
  // yet is left to remove_leftovers() of a later run.
  for (const Staged& entry : staged_) {
    for (const std::string* old : {&entry.kept, &entry.aside}) {
      if (!old->empty()) os::delete_file(old->c_str());
    }
  }
  remove_journal();
  staged_.clear();
  folders_.clear();
  return true;
}

void FileTransaction::undo_moves() {
  bool undone = false;
  for (auto entry = staged_.rbegin(); entry != staged_.rend(); ++entry) {
    if (entry->moved == Moved::no) continue;
    undo_move({entry->destination, std::string(), entry->kept, entry->aside, entry->identity});
    entry->moved = Moved::no;
    undone = true;
  }
  // Spare names of an entry whose move failed half-way.
  for (const Staged& entry : staged_) {
    drop_spare_names({entry.destination, std::string(), entry.kept, entry.aside, std::string()});
  }
  if (undone) {
    std::set<std::string> folders;
    for (const Staged& entry : staged_) folders.insert(os::folder_of(entry.destination));
    for (const std::string& folder : folders) os::flush_folder(folder.c_str());
  }
}

namespace {

// The transactions alive, for roll_back_open().
std::mutex open_transactions_mutex;
std::vector<FileTransaction*>& open_transactions() {
  static std::vector<FileTransaction*> open;
  return open;
}

}  // namespace

FileTransaction::FileTransaction() {
  const std::lock_guard<std::mutex> lock(open_transactions_mutex);
  open_transactions().push_back(this);
}

FileTransaction::~FileTransaction() {
  rollback();
  const std::lock_guard<std::mutex> lock(open_transactions_mutex);
  auto& open = open_transactions();
  open.erase(std::remove(open.begin(), open.end(), this), open.end());
}

void FileTransaction::roll_back_open() {
  std::vector<FileTransaction*> open;
  {
    const std::lock_guard<std::mutex> lock(open_transactions_mutex);
    open = open_transactions();
  }
  for (FileTransaction* transaction : open) transaction->rollback();
}

void FileTransaction::rollback() {
  undo_moves();
  staged_.clear();  // the temporaries delete themselves
  remove_journal();
  for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
    os::remove_directory(folder->c_str());
  }
  folders_.clear();
}

void FileTransaction::recover(const char* folder) {
  const std::string where = folder == nullptr ? std::string() : std::string(folder);
  bool any = false;
  for (const os::FolderItem& item : os::folder_items(where.c_str())) {
    if (item.is_folder || !base_of_ended(item.name, kJournalTag)) continue;
    const std::string path = path_in(where, item.name);
    if (const auto journal = parse_journal(read_small_file(path))) finish_commit(*journal);
    os::delete_file(path.c_str());
    any = true;
  }
  if (any) os::flush_folder(where.c_str());
  remove_leftovers(folder);
}

void FileTransaction::remove_leftovers(const char* folder) {
  const std::string where = folder == nullptr ? std::string() : std::string(folder);
  for (const os::FolderItem& item : os::folder_items(where.c_str())) {
    const std::string path = path_in(where, item.name);
    if (item.is_folder) {
      remove_leftovers(path.c_str());
    } else if (const auto base = base_of_ended(item.name, kOldTag)) {
      // An old file whose destination is gone is the only copy left.
      const JournalEntry entry{path_in(where, *base), std::string(), path, path, std::string()};
      drop_spare_names(entry);
    } else if (base_of_ended(item.name, kNewTag)) {
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
  return partial || has_private_suffix(name, kNewTag) || has_private_suffix(name, kOldTag) ||
         has_private_suffix(name, kJournalTag);
}

}  // namespace brindax
