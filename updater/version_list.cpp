#include "updater/version_list.h"

#include <string_view>

#include "net/ftp.h"
#include "net/network.h"
#include "runtime/core/file.h"
#include "runtime/core/strings.h"
#include "runtime/core/text.h"
#include "runtime/process/message.h"
#include "runtime/process/runtime.h"
#include "updater/release_check.h"
#include "updater/settings.h"

namespace brindax {
namespace {

std::int32_t count_line_feeds(const char* text) { return string_count(text, "\n"); }

}  // namespace

std::string_view ListLines::next() {
  std::size_t end = rest_.find('\n');
  std::string_view line = rest_.substr(0, end);
  rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
  return line;
}

std::string_view package_name_of(const char* text) {
  std::string_view line = ListLines(text).next();
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string_view record_field(std::string_view line, std::int32_t k) {
  if (k < 1) return {};
  for (std::int32_t field = 1; field < k; ++field) {
    std::size_t at = line.find('@');
    if (at == std::string_view::npos) return {};
    line.remove_prefix(at + 1);
  }
  return line.substr(0, line.find('@'));
}

char* read_version_list(const char* file_name, std::int32_t offset) {
  if (file_size(file_name) < 0) return string_stack_set_empty(offset);
  std::intptr_t handle = file_open(OBJECT_DYNAMIC, file_name);
  if (handle == 0) return string_stack_set_empty(offset);
  char* text = file_read_string(handle, READ_WHOLE_TEXT, offset);
  file_close(handle);
  return text;
}

char* version_line(const char* text, std::int32_t i, std::int32_t offset) {
  return string_field(text, i, "\n", offset);
}

char* version_field(const char* line, std::int32_t k, std::int32_t offset) {
  return string_field(line, k, "@", offset);
}

std::int32_t compare_version_lists(const char* local, const char* server) {
  std::int32_t local_feeds = count_line_feeds(local);
  if (local_feeds != count_line_feeds(server)) return 1;
  ListLines local_lines(local);
  ListLines server_lines(server);
  local_lines.next();  // the package names are not compared
  server_lines.next();
  for (std::int32_t i = 2; i <= local_feeds + 1; ++i) {
    if (record_field(local_lines.next(), 2) != record_field(server_lines.next(), 2)) return 2;
  }
  return 0;
}

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
