// Message requester on POSIX systems.
//
// Every notice is written to standard error as one line, "title: text", so
// that it is seen in a terminal and kept in logs. In a graphical session
// (DISPLAY or WAYLAND_DISPLAY set) it is also shown by the first dialog
// program found on PATH among zenity, kdialog and xmessage, and the requester
// waits until the dialog is dismissed, as a modal box would make it wait.
// Without a display no dialog is tried, so a headless run never hangs. The
// dialog's own output is discarded: standard error carries the one line only.
// The runtime's 8-bit text (Latin-1 here) is written as UTF-8, as terminals
// and dialog programs expect it.
#include "runtime/process/message.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/core/encoding.h"
#include "runtime/process/launcher_posix.h"

extern char** environ;

namespace brindax {
namespace {

bool set(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0';
}

bool graphical_session() { return set("DISPLAY") || set("WAYLAND_DISPLAY"); }

void write_line(const std::string& title, const std::string& text) {
  std::string line = title + ": " + text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';  // one notice, one line
  }
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// The command for the first dialog program installed, or an empty list.
std::vector<std::string> dialog_command(const std::string& title, const std::string& text) {
  if (std::string path = find_on_path("zenity"); !path.empty()) {
    return {path, "--info", "--no-markup", "--title=" + title, "--text=" + text};
  }
  if (std::string path = find_on_path("kdialog"); !path.empty()) {
    return {path, "--title=" + title, "--msgbox=" + text};
  }
  if (std::string path = find_on_path("xmessage"); !path.empty()) {
    // xmessage takes options from anywhere on its command line; a blank in
    // front keeps a text that starts with '-' from being read as one.
    std::string message = !text.empty() && text[0] == '-' ? " " + text : text;
    return {path, "-title", title, "-center", "-buttons", "OK:0", "-default", "OK", message};
  }
  return {};
}

// Runs the dialog and waits until it is dismissed.
void run_dialog(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, command[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return;

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::int32_t show_message(const char* title, const char* text, std::uint32_t /*style*/) {
  const std::string title_text = latin1_to_utf8(title != nullptr ? title : "");
  const std::string body = latin1_to_utf8(text != nullptr ? text : "");
  write_line(title_text, body);
  if (graphical_session()) {
    const std::vector<std::string> command = dialog_command(title_text, body);
    if (!command.empty()) run_dialog(command);
  }
  return 1;  // the OK button
}

void ui_library_init() {
  // Nothing to prepare: dialogs are separate programs.
}

}  // namespace brindax
