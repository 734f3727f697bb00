// The update server's side of the version lists: opening the transport,
// fetching the server's list and the update check.
#include "updater/update_server.h"

#include <cstdint>
#include <memory>

#include "net/network.h"
#include "runtime/core/file.h"
#include "runtime/core/strings.h"
#include "runtime/process/message.h"
#include "runtime/process/runtime.h"
#include "updater/release_check.h"
#include "updater/settings.h"
#include "updater/version_list.h"

namespace brindax {
namespace {

std::unique_ptr<Transport>& transport() {
  static std::unique_ptr<Transport> open;
  return open;
}

[[noreturn]] void report_unreachable() {
  show_notice("Ftp Error", "Canot open Ftp connection");
  end_program(0);
}

}  // namespace

void open_update_server() {
  UpdaterSettings& settings = updater_settings();
  const std::int32_t timeout = builtin_settings().ftp_timeout_seconds;
  if (settings.release_url != nullptr && *settings.release_url != '\0') {
    // Connections are made by the first request; a release server that
    // cannot be reached is reported as FTP's is.
    transport() = open_https_transport(settings.release_url, timeout);
    if (!transport()) report_unreachable();
    return;
  }
  network_start();
  ftp_set_timeout(timeout);
  OpenFailure failure = OpenFailure::none;
  transport() = open_ftp_transport(settings.ftp_host, settings.ftp_port, settings.ftp_user,
                                   settings.ftp_password, settings.ftp_passive,
                                   settings.remote_directory, &failure);
  if (failure == OpenFailure::unreachable) report_unreachable();
  if (failure == OpenFailure::directory) {
    show_notice("Ftp Error", "Canot open Ftp directory");
    end_program(0);
  }
}

Transport& update_server() { return *transport(); }

void close_update_server() {
  if (transport()) transport()->close();
}

void fetch_server_list() {
  UpdaterSettings& settings = updater_settings();
  ReceiveOptions limits;
  limits.max_size = VERSION_LIST_MAX_BYTES;  // a larger "list" is refused
  if (!update_server().receive_file(settings.remote_version_file, SERVER_VERSION_FILE, limits)) {
    if (update_server().unreachable()) report_unreachable();
    show_notice("Ftp Error", "Canot dowload version file");
    end_program(0);
  }
  require_signed_list(SERVER_VERSION_FILE);
}

void check_for_update() {
  open_update_server();
  fetch_server_list();
  close_update_server();
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
