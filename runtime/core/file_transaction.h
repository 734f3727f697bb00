// Changing a set of files all together or not at all.
//
// Each new file is first written to a private temporary beside its
// destination. commit() then moves them into place one after the other; a
// file that stood at a destination is renamed aside first and deleted only
// once every move has succeeded. When a move fails, the files already moved
// are put back. Until commit() succeeds, destruction (or rollback()) removes
// every temporary and every folder the transaction made, so the folder is
// as it was. A replaced file that cannot be deleted yet (Windows: the old
// program still runs) keeps its aside name, which remove_leftovers() of a
// later run deletes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindax {

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

class FileTransaction {
 public:
  FileTransaction() = default;
  ~FileTransaction() { rollback(); }
  FileTransaction(const FileTransaction&) = delete;
  FileTransaction& operator=(const FileTransaction&) = delete;

  // Makes a folder unless it exists; one made here is removed by rollback().
  bool make_folder(const char* path);
  // A new temporary beside `destination` to write its new content to; the
  // path, or empty on failure.
  const std::string& stage(const char* destination);
  // Takes a file written elsewhere in the same folder (its own temporary) as
  // the new content of `destination`: moved there by commit(), deleted by
  // rollback().
  void adopt(const char* file, const char* destination);

  // Moves every staged file into place in the order staged. False when one
  // could not be moved; then `failed` is its destination, the moved ones are
  // back and the transaction is rolled back.
  bool commit(std::string* failed);
  // Removes what was staged and made; does nothing after a commit.
  void rollback();

  // Deletes the replaced files that earlier runs left below `folder`.
  static void remove_leftovers(const char* folder);
  // True for a file name of the form this class gives its temporaries and
  // the files it renames aside, and for the names of a partial download
  // kept for the next run ("<name>.brindax-part", "<name>.brindax-part-...").
  // remove_leftovers() leaves the latter alone.
  static bool is_private_name(std::string_view name);

 private:
  struct Staged {
    TemporaryFile file;
    std::string destination;
    std::string aside;  // where the old file went while committing
    bool moved = false;
  };
  void undo_moves();

  std::vector<Staged> staged_;
  std::vector<std::string> folders_;  // in the order made
  std::string no_path_;
};

}  // namespace brindax
