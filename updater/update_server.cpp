// The update server's side of the version lists: opening the session, fetching
// the server's list and the update check.
#include <cstdint>

#include "net/ftp.h"
#include "net/network.h"
#include "runtime/core/file.h"
#include "runtime/core/strings.h"
#include "runtime/process/message.h"
#include "runtime/process/runtime.h"
#include "updater/release_check.h"
#include "updater/settings.h"
#include "updater/version_list.h"

namespace brindax {

void open_update_server() {
  UpdaterSettings& settings = updater_settings();
  network_start();
  ftp_set_timeout(builtin_settings().ftp_timeout_seconds);
  // ftp_open tries every host of the list and every address of each until
  // one greets; only when none does is the connection reported as failed.
  settings.ftp_connection = ftp_open(OBJECT_DYNAMIC, settings.ftp_host, settings.ftp_user,
                                     settings.ftp_password, settings.ftp_passive, settings.ftp_port);
  if (settings.ftp_connection == 0) {
    show_notice("Ftp Error", "Canot open Ftp connection");
    end_program(0);
  }
  if (ftp_change_directory(settings.ftp_connection, settings.remote_directory) == 0) {
    show_notice("Ftp Error", "Canot open Ftp directory");
    end_program(0);
  }
}

void fetch_server_list() {
  UpdaterSettings& settings = updater_settings();
  FtpReceiveOptions limits;
  limits.max_size = VERSION_LIST_MAX_BYTES;  // a larger "list" is refused
  if (ftp_receive_file_with(settings.ftp_connection, settings.remote_version_file,
                               SERVER_VERSION_FILE, limits) == 0) {
    show_notice("Ftp Error", "Canot dowload version file");
    end_program(0);
  }
  require_signed_list(SERVER_VERSION_FILE);
}

void check_for_update() {
  open_update_server();
  fetch_server_list();
  // Both lists stay on the string stack, one behind the other, for the one
  // pass that compares them.
  StackMark mark;
  read_version_list(LOCAL_VERSION_FILE, mark.offset());
  const std::int32_t server_offset = string_stack_position() + 1;  // behind the terminator
  string_stack_set_position(server_offset);
  read_version_list(SERVER_VERSION_FILE, server_offset);
  file_delete(SERVER_VERSION_FILE);
  end_program(static_cast<std::uint32_t>(compare_version_lists(
      string_stack_address(mark.offset()), string_stack_address(server_offset))));
}

}  // namespace brindax
