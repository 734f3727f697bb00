// Changing a set of files all together or not at all, also across a kill or
// a power cut.
//
// Each new file is first written to a private temporary beside its
// destination. commit() puts every temporary's data on the disk, writes a
// journal of what it is about to do (flushed too), and then moves the files
// into place one after the other, the last one only once the others are on
// the disk. A file that stood at a destination is replaced in one step where
// the system allows it, so that the name never goes missing, while a second
// name of the old file is kept until every move has succeeded; where the
// old file cannot be replaced (Windows: the old program still runs) it is
// renamed aside first. When a move fails, the files already moved are put
// back. Until commit() succeeds, destruction (or rollback()) removes every
// temporary and every folder the transaction made, so the folder is as it
// was. When the process dies during the commit, recover() of a later run
// completes the commit or undoes it, as the journal says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindax {

// A fresh name "<base>.brindax-new-<pid>-<n>" for a temporary of this
// program's own: a later run deletes it once this process has ended.
std::string temporary_name(std::string_view base);

// A file of this program's own under a fresh name "<base>.brindax-new-<pid>-<n>"
// (created empty, so that no existing file is ever taken), deleted again on
// destruction unless released.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile();
  TemporaryFile(TemporaryFile&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // False when no fresh name could be created beside `base`.
  bool create(const char* base);
  const std::string& path() const { return path_; }
  // Deletes the file now; false when it is still there.
  bool remove();
  // Takes an existing file of this program's own to delete.
  void take(std::string path) { path_ = std::move(path); }
  // The file is no longer this object's to delete (it was moved away).
  void release() { path_.clear(); }

 private:
  std::string path_;
};

// One line of a commit's journal: a destination, the temporary that holds
// its new content, the two spare names of the file it replaces (a second
// name kept while committing, and the name it is renamed to where it cannot
// be replaced in place; both empty when nothing stood at the destination),
// and the new file's identity (os::file_identity; empty when unknown): an
// undo touches a destination only while the new file is still there.
struct JournalEntry {
  std::string destination;
  std::string temporary;
  std::string kept;
  std::string aside;
  std::string identity;
  bool operator==(const JournalEntry&) const = default;
};

// A commit's journal: its files in the order moved, and the folders made
// for them in the order made (removed again, when empty, if the commit is
// undone).
struct Journal {
  std::vector<JournalEntry> entries;
  std::vector<std::string> folders;
  bool operator==(const Journal&) const = default;
};

// The journal's text, and back; nullopt for anything that is not a complete
// journal (a run killed while writing it had not moved anything yet), or
// for names the journal cannot hold (empty, tab, line feed).
std::optional<std::string> journal_text(const Journal& journal);
std::optional<Journal> parse_journal(std::string_view text);

class FileTransaction {
 public:
  // Who puts a staged file's data on the disk before it is moved into place.
  enum class Flush : std::uint8_t { by_commit, by_writer };

  FileTransaction();
  ~FileTransaction();
  FileTransaction(const FileTransaction&) = delete;
  FileTransaction& operator=(const FileTransaction&) = delete;

  // Makes a folder unless it exists; one made here is removed by rollback().
  bool make_folder(const char* path);
  // A new temporary beside `destination` to write its new content to; the
  // path, or empty on failure. With Flush::by_writer the writer promises to
  // have flushed it (os::flush) once complete, else commit() does it.
  const std::string& stage(const char* destination, Flush flush = Flush::by_commit);
  // Takes a file written elsewhere in the same folder (its own temporary) as
  // the new content of `destination`: moved there by commit(), deleted by
  // rollback().
  void adopt(const char* file, const char* destination);
  // Gives up the staged temporary `temporary` (as stage() named it): it is
  // deleted and its destination left as it is. Before commit() only.
  void drop(const std::string& temporary);

  // The folder the commit's journal is written to (default: the current
  // folder); recover() looks there.
  void keep_journal_in(std::string folder) { journal_folder_ = std::move(folder); }

  // Moves every staged file into place in the order staged. False when one
  // could not be flushed or moved (or the journal not written); then
  // `failed` is its destination, the moved ones are back and the
  // transaction is rolled back.
  bool commit(std::string* failed);
  // Removes what was staged and made; does nothing after a commit.
  void rollback();
  // Rolls back every transaction still open: for a run that ends where it
  // stands, without unwinding (a refusal of the release).
  static void roll_back_open();

  // Finishes the commits of ended runs whose journals are in `folder`: each
  // is completed when every new file is in place or still there to move,
  // else undone; then remove_leftovers(folder). Files of runs still going
  // are left alone.
  static void recover(const char* folder);
  // Below `folder`, for the files of ended runs: an old file whose
  // destination is missing goes back there, other old files and every
  // temporary are deleted.
  static void remove_leftovers(const char* folder);
  // True for a file name of the form this class gives its temporaries, the
  // files it renames aside and its journals, and for the names of a partial
  // download kept for the next run ("<name>.brindax-part",
  // "<name>.brindax-part-..."). remove_leftovers() leaves the latter alone.
  static bool is_private_name(std::string_view name);

 private:
  enum class Moved : std::uint8_t { no, in_place, after_aside };
  struct Staged {
    TemporaryFile file;
    std::string destination;
    std::string identity;  // of the new file
    std::string kept;   // a second name of the old file while committing
    std::string aside;  // where the old file went when it could not be replaced
    bool flushed = false;
    Moved moved = Moved::no;
  };
  bool prepare(Staged& entry);
  bool write_journal();
  void remove_journal();
  void undo_moves();
  void flush_folders() const;

  std::list<Staged> staged_;  // a list: an entry may be dropped from the middle
  std::vector<std::string> folders_;  // in the order made
  std::string journal_folder_;
  std::string journal_;  // the journal's path while it exists
  std::string no_path_;
};

}  // namespace brindax
