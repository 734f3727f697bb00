// The update server's side of the version lists: opening the transport,
// fetching the server's list and the update check.
#include "updater/update_server.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>

#include "net/ftp.h"
#include "net/network.h"
#include "runtime/core/file.h"
#include "runtime/core/os_file.h"
#include "runtime/core/strings.h"
#include "runtime/process/message.h"
#include "runtime/process/runtime.h"
#include "updater/release_check.h"
#include "updater/release_signature.h"
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

[[noreturn]] void report_list_failure() {
  if (update_server().unreachable()) report_unreachable();
  show_notice("Ftp Error", "Canot dowload version file");
  end_program(0);
}

// The server's list as it arrives in the check: compared with the installed
// one and, when signatures are checked, hashed; it is never written down.
struct ArrivingList {
  explicit ArrivingList(std::FILE* local)
      : comparison(
            [local](char* into, std::size_t size) { return local != nullptr ? std::fread(into, 1, size, local) : 0; },
            [local] {
              if (local != nullptr) std::rewind(local);
            }) {}

  static bool take(void* context, std::uint64_t offset, const char* data, std::int32_t n) {
    auto* list = static_cast<ArrivingList*>(context);
    if (offset == 0) {
      list->comparison.restart();
      if (list->hash) list->hash.emplace();
    }
    list->comparison.take(std::string_view(data, static_cast<std::size_t>(n)));
    if (list->hash) list->hash->update(data, static_cast<std::size_t>(n));
    return true;
  }

  ArrivingListComparison comparison;
  std::optional<ReleaseHash> hash;
};

}  // namespace

void open_update_server() {
  UpdaterSettings& settings = updater_settings();
  const std::int32_t timeout = builtin_settings().ftp_timeout_seconds;
  if (settings.release_url != nullptr && *settings.release_url != '\0') {
    // Connections are made by the first request; a release server that
    // cannot be reached is reported as FTP's is.
    transport() = open_release_url_transport(settings.release_url, timeout);
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
  // The copy is this program's own: a folder or anything else that stands
  // at its name is removed, not written into.
  os::clear_private_name(SERVER_VERSION_FILE);
  if (!update_server().receive_file(settings.remote_version_file, SERVER_VERSION_FILE, limits)) {
    report_list_failure();
  }
  require_signed_list(SERVER_VERSION_FILE);
}

void check_for_update() {
  // The server's list is compared with the installed one as it arrives,
  // a window of each at a time.
  // Only a plain file is read (a FIFO there would be waited on for ever).
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> local(
      file_size(LOCAL_VERSION_FILE) >= 0 ? std::fopen(LOCAL_VERSION_FILE, "rb") : nullptr, std::fclose);
  ArrivingList list(local.get());
  if (release_signatures_checked()) list.hash.emplace();
  open_update_server();
  if (!update_server().receive_stream(updater_settings().remote_version_file,
                                      VERSION_LIST_MAX_BYTES, &ArrivingList::take, &list)) {
    report_list_failure();
  }
  if (list.hash) require_signed_list_digest(list.hash->finish());
  close_update_server();
  // The check writes and deletes nothing: "ServerVersion.ver" may be the
  // copy of an install running beside it.
  end_program(static_cast<std::uint32_t>(list.comparison.answer()));
}

}  // namespace brindax
