#include "updater/updater_main.h"

#include <chrono>
#include <new>

#include "runtime/core/file.h"
#include "runtime/core/folder_lock.h"
#include "runtime/core/strings.h"
#include "runtime/process/message.h"
#include "runtime/process/params.h"
#include "runtime/process/runtime.h"
#include "updater/install.h"
#include "updater/settings.h"
#include "updater/update_server.h"
#include "updater/version_list.h"

namespace brindax {

UpdaterSettings& updater_settings() {
  static UpdaterSettings settings{};
  return settings;
}

namespace {

void fill_settings() {
  const BuiltinSettings& builtin = builtin_settings();
  UpdaterSettings& settings = updater_settings();
  settings = UpdaterSettings{};
  string_assign(&settings.release_url, builtin.release_url);
  string_assign(&settings.ftp_host, builtin.ftp_host);
  string_assign(&settings.ftp_user, builtin.ftp_user);
  string_assign(&settings.ftp_password, builtin.ftp_password);
  string_assign(&settings.remote_version_file, builtin.remote_version_file);
  string_assign(&settings.remote_directory, builtin.remote_directory);
  settings.ftp_passive = builtin.ftp_passive;
  settings.ftp_port = builtin.ftp_port;
  string_assign(&settings.app_executable, builtin.app_executable);
  string_assign(&settings.release_public_key, builtin.release_public_key);
  string_assign(&settings.root_public_keys, builtin.root_public_keys);
  settings.root_threshold = builtin.root_threshold;
}

// One install or partial update at a time in the installation folder: the
// lock is taken before anything of the folder is read or written and held
// until the process ends. A run started while another works waits for it
// as long as a stalled download may take to give up (two and a half
// time-outs), then does its own work against what the other left. Where
// the other is still at work then, it ends with one message and leaves the
// folder alone. A folder that cannot be locked at all (a file system
// without locks) is updated as before.
void lock_installation() {
  static FolderLock lock;
  if (lock.held()) return;
  const std::chrono::milliseconds patience(builtin_settings().ftp_timeout_seconds * 2500);
  if (lock.acquire("", patience) == FolderLockResult::busy) {
    show_notice("Update Error",
                "Another update of this installation is still running: try again once it has "
                "ended");
    end_program(0);
  }
}

void run_mode() {
  {
    StackMark mark;  // releases the mode word afterwards
    const char* mode = program_parameter(0, mark.offset());
    // The check takes no lock: it writes nothing an install uses.
    if (string_equal(mode, MODE_CHECK)) {
      check_for_update();
    } else if (string_equal(mode, MODE_FULL_INSTALL)) {
      lock_installation();
      full_install();
    } else if (string_equal(mode, MODE_PARTIAL_UPDATE)) {
      lock_installation();
      partial_update();
    }
  }

  // A first start: nothing installed yet. A first start beside another one
  // finds, once that one has ended, the installation it made.
  if (file_size(LOCAL_VERSION_FILE) != -1) return;
  lock_installation();
  if (file_size(LOCAL_VERSION_FILE) == -1) full_install();
}

}  // namespace

void updater_main() {
  runtime_start();
  fill_settings();
  // What escapes a mode (an allocation that failed, above all) has unwound
  // the install's transaction, so the folder is as it was: it is reported
  // like any other failure, never as an abort.
  try {
    run_mode();
  } catch (const std::bad_alloc&) {
    show_notice("Update Error", "Not enough memory to update");
  } catch (...) {
    show_notice("Update Error", "The update stopped on an unexpected error");
  }
  end_program(0);
}

}  // namespace brindax
