#include "updater/install.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "pack/pack.h"
#include "pack/parallel_unpack.h"
#include "pack/zip_backend.h"
#include "runtime/core/file.h"
#include "runtime/core/file_transaction.h"
#include "runtime/core/mapped_file.h"
#include "runtime/core/os_file.h"
#include "runtime/core/strings.h"
#include "runtime/process/launcher.h"
#include "runtime/process/message.h"
#include "runtime/process/runtime.h"
#include "updater/delta_update.h"
#include "updater/entry_path.h"
#include "updater/file_digests.h"
#include "updater/package_download.h"
#include "updater/ranged_package.h"
#include "updater/release_check.h"
#include "updater/settings.h"
#include "updater/update_server.h"
#include "updater/version_list.h"

namespace brindax {
namespace {

// What a failed install reports; the clean-up has happened by the time it
// is shown.
struct Failure {
  const char* title;
  std::string text;
};
using Outcome = std::optional<Failure>;

[[noreturn]] void report(const Failure& failure) {
  show_notice(failure.title, failure.text.c_str());
  end_program(0);
}

Failure unpack_failure(std::string_view entry_name) {
  return {"unzip Error", "Canot uncompress file" + std::string(entry_name)};
}
Failure download_failure() { return {"Ftp Error", "Canot dowload Zip file"}; }
Failure open_failure() { return {"unzip Error", "Canot open Zip file"}; }

void read_list(StringVar& into, const char* file_name) {
  StackMark mark;
  read_version_list(file_name, mark.offset());
  into.take_from_stack(mark.offset());
}

// Fetches the package named `remote_name` on the server into the local file
// `local_temp`; false when that failed. With a publisher key built in, the
// package is also checked against its signature (a failing one ends the run).
bool download_package(const char* remote_name, const char* local_temp) {
  return receive_signed_package(remote_name, local_temp) != 0;
}

// The package of this run: downloaded under a private name of its own, open
// as a pack, and on every path closed and deleted again.
class Package {
 public:
  Package() = default;
  ~Package() { close(); }
  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;

  // Downloads and opens the package; the failure to report otherwise. With
  // `only_entries`, just the pieces of the package those entries need are
  // fetched when the server and the package allow it, else the whole package.
  Outcome fetch_and_open(std::string_view remote_name,
                         const std::vector<std::string>* only_entries = nullptr) {
    const std::string remote(remote_name);
    // A name that would leave the folder is not asked for at all.
    if (!entry_name_is_safe(remote.c_str()) || !file_.create("package")) {
      close_update_server();
      return download_failure();
    }
    if (!fetch_pieces(remote, only_entries)) {
      // The whole package goes to the file that stays for the next run when
      // this one ends before it is complete; once complete it is this run's.
      file_.remove();
      if (!download_package(remote.c_str(), PARTIAL_PACKAGE_FILE)) {
        close_update_server();
        return download_failure();
      }
      file_.take(PARTIAL_PACKAGE_FILE);
    }
    zip_backend_register();
    pack_ = pack_open(OBJECT_DYNAMIC, file_.path().c_str());
    if (pack_ == 0 || pack_examine(pack_) == 0) {
      close_update_server();
      return open_failure();
    }
    return std::nullopt;
  }
  std::intptr_t pack() const { return pack_; }
  // Closes the pack and deletes the file (the pack holds the file open).
  void close() {
    if (pack_ != 0) pack_close(pack_);
    pack_ = 0;
    file_.remove();
  }

 private:
  // A signature covers the whole package, so a signed release is fetched
  // whole.
  bool fetch_pieces(const std::string& remote, const std::vector<std::string>* entries) {
    return entries != nullptr && !release_signatures_checked() &&
           fetch_changed_entries(update_server(), remote.c_str(),
                                 file_.path().c_str(), *entries);
  }

  TemporaryFile file_;
  std::intptr_t pack_ = 0;
};

// What one install writes, checked before anything is: every name by the
// name rules, no two landing on the same file, and the declared sizes
// together within the free space of the installation's volume.
class InstallPlan {
 public:
  InstallPlan() : free_space_(os::free_space(".")) {}

  // Adds an entry of `declared_size` bytes (negative: the size is unknown or
  // too large to unpack); the failure to report otherwise.
  Outcome add(const std::string& name, std::int64_t declared_size) {
    if (name.empty() || !entry_name_is_safe(name.c_str()) ||
        !keys_.insert(entry_name_key(name.c_str())).second || declared_size < 0) {
      return unpack_failure(name);
    }
    bytes_ += declared_size;
    if (free_space_ >= 0 && bytes_ > free_space_) return unpack_failure(name);
    names_.push_back(name);
    return std::nullopt;
  }
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::int64_t free_space_;
  std::int64_t bytes_ = 0;
  std::set<std::string> keys_;
  std::vector<std::string> names_;
};

// Unpacks the entries `names` each to a temporary beside its destination,
// making the folders on the way; a directory entry only makes its folders.
// The entries are found by name when `by_name` is set, else `names` is the
// package's every entry in its order. The files are unpacked on two workers
// per core while this thread stages the ones after them (the transaction
// is this thread's alone). The entry reported is the first in order that
// failed, as when they were unpacked one by one.
Outcome stage_entries(FileTransaction& transaction, std::intptr_t pack,
                      const std::vector<std::string>& names, bool by_name) {
  std::vector<UnpackJob> jobs(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (by_name) jobs[i].name = names[i];
    else jobs[i].index = static_cast<std::int64_t>(i);
  }
  const auto stage = [&](std::size_t i, UnpackJob& job) {
    const char* name = names[i].c_str();
    if (!make_entry_folders(name, transaction)) return JobReadiness::failed;
    if (entry_is_directory(name)) return JobReadiness::nothing_to_write;
    job.destination = transaction.stage(name, FileTransaction::Flush::by_writer);  // flushed on the worker
    return job.destination.empty() ? JobReadiness::failed : JobReadiness::ready;
  };
  const std::size_t failed = first_unfinished(unpack_entries(
      pack_archive_path(pack).c_str(), jobs, unpack_worker_count(jobs.size()), stage));
  if (failed < names.size()) return unpack_failure(names[failed]);
  return std::nullopt;
}

// Moves everything staged into place; a destination that cannot be replaced
// is reported as its entry's failure, the list's as the list's.
Outcome commit(FileTransaction& transaction) {
  std::string failed;
  if (transaction.commit(&failed)) return std::nullopt;
  if (failed == LOCAL_VERSION_FILE) return Failure{"Ftp Error", "Canot dowload version file"};
  return unpack_failure(failed);
}

std::string current_entry_name(std::intptr_t pack) {
  StackMark mark;
  return pack_entry_name(pack, mark.offset());
}

// Brings `files` of the release the manifest describes by the cheapest
// verified path each (a delta from the installed file, else the entry's
// bytes), the rest from the whole package, and commits them all together
// with the release record and, for a full install, the server's list.
//
// In a full install (`server_list` given), a file whose delta fails is read,
// and left as it is (added to `*kept`) when it already has the release's
// content: its digest may have been assumed rather than read.
Outcome update_by_pieces(const ReleaseManifest& manifest, const std::vector<const ManifestFile*>& files,
                         const std::vector<std::optional<Digest256>>& installed,
                         TemporaryFile* server_list, std::vector<const ManifestFile*>* kept = nullptr) {
  InstallPlan plan;
  for (const ManifestFile* file : files) {
    const std::int64_t size = file->size > static_cast<std::uint64_t>(INT64_MAX)
                                  ? -1 : static_cast<std::int64_t>(file->size);
    if (Outcome failure = plan.add(file->name, size)) return failure;
  }
  FileTransaction transaction;
  std::vector<PieceWork> work;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const char* name = files[i]->name.c_str();
    if (!make_entry_folders(name, transaction)) return unpack_failure(name);
    if (entry_is_directory(name)) continue;
    const std::string& destination = transaction.stage(name);
    if (destination.empty()) return unpack_failure(name);
    work.push_back({files[i], destination, installed[i]});
    work.back().may_already_be_the_releases = server_list != nullptr;
  }
  bring_by_pieces(update_server(), manifest, work);
  for (const auto& item : work) {
    if (!item.already_the_releases) continue;
    transaction.drop(item.destination);
    if (kept != nullptr) kept->push_back(item.file);
  }

  // What no piece brought comes from the whole package, unpacked into the
  // same staged files.
  std::vector<UnpackJob> jobs;
  for (const auto& item : work) {
    if (!item.done) jobs.push_back({-1, item.file->name, item.destination});
  }
  Package package;
  if (!jobs.empty()) {
    if (Outcome failure = package.fetch_and_open(manifest.package)) return failure;
    const std::size_t failed = first_unfinished(unpack_entries(
        pack_archive_path(package.pack()).c_str(), jobs, unpack_worker_count(jobs.size())));
    if (failed < jobs.size()) return unpack_failure(jobs[failed].name);
  }
  if (!stage_release_record(transaction)) return unpack_failure(RELEASE_RECORD_FILE);
  if (server_list != nullptr) {
    transaction.adopt(SERVER_VERSION_FILE, LOCAL_VERSION_FILE);  // moved last
    server_list->release();
  }
  if (Outcome failure = commit(transaction)) return failure;
  package.close();
  close_update_server();
  return std::nullopt;
}

// The digests of the installed files that `files` name (none for folders),
// as far as the update needs them; hashing a large file costs about as much
// as rebuilding it. A large file (UNREAD_INSTALLED_FILE_BYTES) is not read
// when the one delta offered for it is from the installed release: that
// release's file's digest stands in, and the digest check of the rebuilt
// file catches a file the user changed (a full install then reads it after
// all, to leave it as it is if it already has the release's content). A
// partial update does not read a file whose way does not depend on its
// content either; a full install reads the others, as any may already be
// the release's.
std::vector<std::optional<Digest256>> installed_digests(const ReleaseManifest& manifest,
                                                        const std::vector<const ManifestFile*>& files,
                                                        bool full_install) {
  const std::string installed_deltas = deltas_from_installed_release(manifest, LOCAL_VERSION_FILE);
  std::vector<std::string> paths;
  std::vector<std::optional<Digest256>> assumed(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const ManifestFile& file = *files[i];
    std::string path = entry_is_directory(file.name.c_str()) ? std::string() : file.name;
    const std::int64_t size = path.empty() ? -1 : os::path_size(path.c_str());
    if (size >= 0) {
      const ManifestDelta* only = size >= UNREAD_INSTALLED_FILE_BYTES
                                      ? only_delta_from_installed_release(file, installed_deltas)
                                      : nullptr;
      if (only != nullptr) {
        assumed[i] = only->base;
        path.clear();
      } else if (!full_install && !way_depends_on_installed(file)) {
        path.clear();
      }
    }
    paths.push_back(std::move(path));
  }
  std::vector<std::optional<Digest256>> digests = digest_files(paths);
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (assumed[i]) digests[i] = assumed[i];
  }
  return digests;
}

// Whether the pieces of `files` come to at most half the package; the
// whole package is the cheaper way otherwise.
bool pieces_worth_it(const ReleaseManifest& manifest, const std::vector<const ManifestFile*>& files,
                     const std::vector<std::optional<Digest256>>& installed) {
  std::vector<PieceWork> work;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!entry_is_directory(files[i]->name.c_str())) work.push_back({files[i], {}, installed[i]});
  }
  return piece_bytes(manifest, work) * 2 <= manifest.package_size;
}

// The full install with a manifest: the files in the folder that already
// have the release's content stay as they are, the others come by pieces.
// nullopt when the whole package is the better way (an empty folder, or
// pieces of more than half of it).
std::optional<Outcome> install_by_manifest(const ReleaseManifest& manifest, TemporaryFile& server_list) {
  std::vector<const ManifestFile*> all;
  for (const auto& file : manifest.files) all.push_back(&file);
  const auto digests = installed_digests(manifest, all, true);
  if (std::none_of(digests.begin(), digests.end(), [](const auto& d) { return d.has_value(); })) {
    return std::nullopt;
  }
  std::vector<const ManifestFile*> files, kept;
  std::vector<std::optional<Digest256>> installed;
  for (std::size_t i = 0; i < all.size(); ++i) {
    const bool folder = entry_is_directory(all[i]->name.c_str());
    if (!folder && digests[i] == all[i]->digest) {
      kept.push_back(all[i]);
      continue;
    }
    files.push_back(all[i]);
    installed.push_back(digests[i]);
  }
  if (!pieces_worth_it(manifest, files, installed)) return std::nullopt;
  Outcome outcome = update_by_pieces(manifest, files, installed, &server_list, &kept);
  // A file kept for its content still gets the mode its entry records, as
  // an unpack of the package would give it: a release may change no more
  // of a file than its executable bit.
  if (!outcome) {
    for (const ManifestFile* file : kept) {
      os::ReadOnlyFile current;
      if (current.open(file->name.c_str()) && current.executable() != file->executable) {
        current.close();
        os::set_executable(file->name.c_str(), file->executable);
      }
    }
  }
  return outcome;
}

// The full install after the server's list arrived as "ServerVersion.ver":
// every entry of the package, then that list as the local one.
Outcome install_everything() {
  TemporaryFile server_list;  // deleted unless it becomes the local list
  server_list.take(SERVER_VERSION_FILE);
  StringVar list_text;
  read_list(list_text, SERVER_VERSION_FILE);
  if (const auto manifest = fetch_release_manifest(update_server(), updater_settings().remote_version_file,
                                                   SERVER_VERSION_FILE, package_name_of(list_text.c_str()))) {
    if (auto outcome = install_by_manifest(*manifest, server_list)) return *outcome;
  }

  Package package;
  if (Outcome failure = package.fetch_and_open(package_name_of(list_text.c_str()))) return failure;
  const std::intptr_t pack = package.pack();

  InstallPlan plan;
  while (pack_next_entry(pack) != 0) {
    if (Outcome failure = plan.add(current_entry_name(pack), pack_entry_size(pack, 0))) {
      return failure;
    }
  }
  FileTransaction transaction;
  // The plan holds every entry in the package's order.
  if (Outcome failure = stage_entries(transaction, pack, plan.names(), false)) return failure;
  if (!stage_release_record(transaction)) return unpack_failure(RELEASE_RECORD_FILE);
  transaction.adopt(SERVER_VERSION_FILE, LOCAL_VERSION_FILE);  // moved last
  server_list.release();
  if (Outcome failure = commit(transaction)) return failure;
  package.close();
  close_update_server();
  return std::nullopt;
}

// The partial update of the entries named in `changed` from the package
// named `package_name` on the server, by pieces when the manifest describes
// them all and the pieces come to at most half the package.
Outcome update_entries(std::string_view package_name, const std::vector<std::string>& changed,
                       const std::optional<ReleaseManifest>& manifest) {
  if (manifest) {
    std::map<std::string_view, const ManifestFile*> by_name;
    for (const auto& file : manifest->files) by_name.emplace(file.name, &file);
    std::vector<const ManifestFile*> files;
    for (const auto& name : changed) {
      const auto found = by_name.find(name);
      if (found == by_name.end()) break;
      files.push_back(found->second);
    }
    if (files.size() == changed.size()) {
      const auto installed = installed_digests(*manifest, files, false);
      if (pieces_worth_it(*manifest, files, installed)) {
        return update_by_pieces(*manifest, files, installed, nullptr);
      }
    }
  }
  Package package;
  if (Outcome failure = package.fetch_and_open(package_name, &changed)) return failure;
  const std::intptr_t pack = package.pack();

  std::map<std::string, std::int32_t> sizes;  // the first entry of each name
  while (pack_next_entry(pack) != 0) sizes.emplace(current_entry_name(pack), pack_entry_size(pack, 0));

  InstallPlan plan;
  for (const std::string& name : changed) {
    // A folder needs no entry of its own in the package.
    const auto found = sizes.find(name);
    const std::int64_t size = entry_is_directory(name.c_str()) ? 0
                              : found == sizes.end()          ? -1
                                                              : found->second;
    if (Outcome failure = plan.add(name, size)) return failure;
  }
  FileTransaction transaction;
  if (Outcome failure = stage_entries(transaction, pack, plan.names(), true)) return failure;
  if (!stage_release_record(transaction)) return unpack_failure(RELEASE_RECORD_FILE);
  return commit(transaction);
}

}  // namespace

void full_install() {
  // Before anything else, also without a server: a commit an earlier run
  // left half done is completed or undone.
  FileTransaction::recover(".");
  discard_unusable_partial_package();
  open_update_server();
  // The server's list waits under its transient name until every entry is
  // in place, so that a failed install leaves the local list as it was and
  // the next check still reports the update.
  fetch_server_list();
  if (Outcome failure = install_everything()) report(*failure);

  UpdaterSettings& settings = updater_settings();
  if (settings.app_executable == nullptr || *settings.app_executable == '\0') {
    show_notice("Reveriv", "UnZip success");
  } else {
    launch_application(settings.app_executable);
  }
}

void partial_update() {
  FileTransaction::recover(".");
  discard_unusable_partial_package();
  open_update_server();
  fetch_server_list();
  StringVar local, server;
  read_list(local, LOCAL_VERSION_FILE);
  read_list(server, SERVER_VERSION_FILE);

  // Records are matched by line number; only as many lines as the local list
  // has are visited, and a line where the server's list has no record (past
  // its end, or empty) has nothing to install.
  const std::int32_t local_feeds = string_count(local.c_str(), "\n");
  ListLines local_lines(local.c_str());
  ListLines server_lines(server.c_str());
  local_lines.next();
  server_lines.next();
  std::vector<std::string> changed;
  for (std::int32_t i = 2; i <= local_feeds + 1; ++i) {
    const std::string_view local_record = local_lines.next();
    const std::string_view server_record = server_lines.next();
    if (server_record.empty()) continue;
    if (record_field(local_record, 2) == record_field(server_record, 2)) continue;
    changed.emplace_back(record_field(server_record, 1));
  }
  // The manifest is asked for only when something changed; it is held to
  // the list's copy, which goes right after.
  std::optional<ReleaseManifest> manifest;
  if (!changed.empty()) {
    manifest = fetch_release_manifest(update_server(), updater_settings().remote_version_file,
                                      SERVER_VERSION_FILE, package_name_of(server.c_str()));
  }
  file_delete(SERVER_VERSION_FILE);
  if (!changed.empty()) {
    if (Outcome failure = update_entries(package_name_of(server.c_str()), changed, manifest)) {
      report(*failure);
    }
  }
  end_program(0);
}

}  // namespace brindax
