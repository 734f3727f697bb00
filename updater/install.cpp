#include "updater/install.h"

#include <string>
#include <string_view>

#include "net/ftp.h"
#include "pack/pack.h"
#include "pack/zip_backend.h"
#include "runtime/core/file.h"
#include "runtime/core/os_file.h"
#include "runtime/core/strings.h"
#include "runtime/process/launcher.h"
#include "runtime/process/message.h"
#include "runtime/process/runtime.h"
#include "updater/entry_path.h"
#include "updater/release_check.h"
#include "updater/settings.h"
#include "updater/version_list.h"

namespace brindax {
namespace {

[[noreturn]] void fail(const char* title, const char* text) {
  show_notice(title, text);
  end_program(0);
}

// The text that reports an entry that could not be unpacked.
std::string uncompress_failure(const char* entry_name) {
  return std::string("Canot uncompress file") + (entry_name ? entry_name : "");
}

// Writes one entry of the open pack to the path it is stored under. A
// directory entry makes that folder; missing folders on the way are made.
// Names that would leave the current folder are refused. False on failure.
bool install_entry(std::intptr_t pack, const char* name) {
  if (!entry_name_is_safe(name)) return false;
  if (!make_entry_folders(name)) return false;
  if (entry_is_directory(name)) return true;
  return pack_unpack_entry_to_file(pack, name, name) >= 0;
}

// Line `i` of a list text, field `k` when k > 0, as a string variable.
void take_list_piece(StringVar& into, const char* text, std::int32_t i, std::int32_t k) {
  StackMark mark;
  char* line = version_line(text, i, mark.offset());
  if (k > 0) version_field(line, k, mark.offset());
  into.take_from_stack(mark.offset());
}

void read_list(StringVar& into, const char* file_name) {
  StackMark mark;
  read_version_list(file_name, mark.offset());
  into.take_from_stack(mark.offset());
}

// Fetches the package into the current folder under its own name. On failure
// reports it and ends the process.
// A package name that would leave the current folder is neither fetched nor
// deleted.
void fetch_package(const char* package_name, const char* extra_file_to_drop) {
  UpdaterSettings& settings = updater_settings();
  const bool safe = entry_name_is_safe(package_name);
  if (!safe || receive_signed_package(package_name, package_name) == 0) {
    ftp_close(settings.ftp_connection);
    if (safe) file_delete(package_name);
    if (extra_file_to_drop) file_delete(extra_file_to_drop);
    fail("Ftp Error", "Canot dowload Zip file");
  }
}

}  // namespace

void full_install() {
  UpdaterSettings& settings = updater_settings();
  open_update_server();
  // The server's list waits under its transient name until every entry is
  // in place, so that a failed install leaves the local list as it was and
  // the next check still reports the update.
  fetch_server_list();
  StringVar server_list, package_name;
  read_list(server_list, SERVER_VERSION_FILE);
  take_list_piece(package_name, server_list.c_str(), 1, 0);
  const char* package = package_name.c_str();

  fetch_package(package, SERVER_VERSION_FILE);

  zip_backend_register();
  std::intptr_t pack = pack_open(OBJECT_DYNAMIC, package);
  if (pack == 0) {
    ftp_close(settings.ftp_connection);
    file_delete(SERVER_VERSION_FILE);
    fail("unzip Error", "Canot open Zip file");
  }
  if (pack_examine(pack) == 0) {
    pack_close(pack);
    file_delete(package);
    file_delete(SERVER_VERSION_FILE);
    ftp_close(settings.ftp_connection);
    fail("unzip Error", "Canot open Zip file");
  }
  while (pack_next_entry(pack) != 0) {
    StringVar name;
    {
      StackMark mark;
      pack_entry_name(pack, mark.offset());
      name.take_from_stack(mark.offset());
    }
    if (!install_entry(pack, name.c_str())) {
      pack_close(pack);
      file_delete(package);
      file_delete(SERVER_VERSION_FILE);
      fail("unzip Error", uncompress_failure(name.c_str()).c_str());
    }
  }
  pack_close(pack);
  file_delete(package);
  ftp_close(settings.ftp_connection);

  if (!os::replace_file(SERVER_VERSION_FILE, LOCAL_VERSION_FILE)) {
    file_delete(SERVER_VERSION_FILE);
    fail("Ftp Error", "Canot dowload version file");
  }

  if (settings.app_executable == nullptr || *settings.app_executable == '\0') {
    show_notice("Reveriv", "UnZip success");
  } else {
    launch_application(settings.app_executable);
  }
}

void partial_update() {
  open_update_server();
  fetch_server_list();
  StringVar local, server, package_name;
  read_list(local, LOCAL_VERSION_FILE);
  take_list_piece(package_name, local.c_str(), 1, 0);
  read_list(server, SERVER_VERSION_FILE);
  file_delete(SERVER_VERSION_FILE);
  const char* package = package_name.c_str();

  // Records are matched by line number; only as many lines as the local list
  // has are visited.
  std::int32_t local_feeds = string_count(local.c_str(), "\n");
  ListLines local_lines(local.c_str());
  ListLines server_lines(server.c_str());
  local_lines.next();
  server_lines.next();
  std::intptr_t pack = 0;
  for (std::int32_t i = 2; i <= local_feeds + 1; ++i) {
    std::string_view local_record = local_lines.next();
    std::string_view server_record = server_lines.next();
    if (record_field(local_record, 2) == record_field(server_record, 2)) continue;
    std::string entry_name(record_field(server_record, 1));

    // The package is fetched once, at the first changed record, whatever an
    // earlier run may have left under its name.
    if (pack == 0) {
      fetch_package(package, nullptr);
      zip_backend_register();
      pack = pack_open(OBJECT_DYNAMIC, package);
      if (pack == 0) {
        file_delete(package);
        fail("unzip Error", "Canot open Zip file");
      }
    }
    if (!install_entry(pack, entry_name.c_str())) {
      show_notice("unzip Error", uncompress_failure(entry_name.c_str()).c_str());
      pack_close(pack);
      file_delete(package);
      end_program(0);
    }
  }
  if (pack != 0) {
    pack_close(pack);
    file_delete(package);
  }
  end_program(0);
}

}  // namespace brindax
