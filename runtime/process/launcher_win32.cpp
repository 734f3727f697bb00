// Program launcher on Windows: CreateProcessA with an optional set of pipes,
// and ShellExecuteExA for what CreateProcessA cannot start.
#include "runtime/process/launcher.h"

#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <memory>
#include <string>

#include "runtime/core/heap.h"
#include "runtime/process/launcher_win32.h"

namespace brindax {
namespace {

CRITICAL_SECTION launch_lock;

struct MainHeapDelete {
  void operator()(char* block) const { main_free(block); }
};
using CommandLine = std::unique_ptr<char, MainHeapDelete>;

void close_handle(HANDLE& handle) {
  if (handle != nullptr) {
    CloseHandle(handle);
    handle = nullptr;
  }
}

// The six pipe ends that one start may make; whatever is still held when the
// start is over is closed.
struct PipeEnds {
  HANDLE stdin_read = nullptr;
  HANDLE stdin_write = nullptr;
  HANDLE stdout_read = nullptr;
  HANDLE stdout_write = nullptr;
  HANDLE stderr_read = nullptr;
  HANDLE stderr_write = nullptr;
  HANDLE sender_copy = nullptr;  // inheritable copy of the sender's read end

  void close_child_ends() {
    close_handle(stdin_read);
    close_handle(stdout_write);
    close_handle(stderr_write);
    close_handle(sender_copy);
  }
  void close_all() {
    close_child_ends();
    close_handle(stdin_write);
    close_handle(stdout_read);
    close_handle(stderr_read);
  }
  ~PipeEnds() { close_all(); }
};

// Links a new zero-filled record into launched_programs under the lock.
LaunchedProgram* link_record() {
  EnterCriticalSection(&launch_lock);
  void* payload = list_add_node(&launched_programs, sizeof(ListNode) + sizeof(LaunchedProgram));
  LeaveCriticalSection(&launch_lock);
  return static_cast<LaunchedProgram*>(payload);
}

// What follows a started process: the wait, then the record or the handle
// closed. Takes over `process`.
std::intptr_t finish_start(HANDLE process, std::int32_t process_id, PipeEnds& pipes,
                           std::uint32_t flags) {
  if ((flags & LAUNCH_WAIT_EXIT) != 0 && process != nullptr) {
    WaitForSingleObject(process, INFINITE);
  }
  if ((flags & LAUNCH_KEEP_RECORD) == 0) {
    close_handle(process);
    return 1;
  }
  LaunchedProgram* record = link_record();
  if (record == nullptr) {
    // No room for the record: a 1 would be taken for a record address, so
    // the start is given up as far as the caller can see.
    close_handle(process);
    return 0;
  }
  record->process = reinterpret_cast<std::intptr_t>(process);
  record->process_id = process_id;
  record->stdin_write = reinterpret_cast<std::intptr_t>(pipes.stdin_write);
  record->stdout_read = reinterpret_cast<std::intptr_t>(pipes.stdout_read);
  record->stderr_read = reinterpret_cast<std::intptr_t>(pipes.stderr_read);
  record->flags = flags;
  pipes.stdin_write = pipes.stdout_read = pipes.stderr_read = nullptr;  // the record holds them
  return reinterpret_cast<std::intptr_t>(record);
}

std::intptr_t start_through_shell(const char* program, const char* parameters,
                                  const char* directory, WORD show, std::uint32_t flags) {
  std::string folder;
  if (directory == nullptr && program[0] != '\0') {
    const char* last = std::strrchr(program + 1, '\\');
    if (last != nullptr) {
      folder.assign(program, static_cast<std::size_t>(last - program) + 1);
      directory = folder.c_str();
    }
  }
  SHELLEXECUTEINFOA info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_FLAG_NO_UI;  // 0x540
  info.hwnd = nullptr;
  info.lpVerb = nullptr;
  info.lpFile = program;
  info.lpParameters = parameters;
  info.lpDirectory = directory;
  info.nShow = show;
  if (!ShellExecuteExA(&info)) return 0;
  PipeEnds none;
  return finish_start(info.hProcess, -1, none, flags);
}

}  // namespace

void make_handle_private(void*& handle) {
  HANDLE copy = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    CloseHandle(handle);
    handle = copy;
  }
}

void launch_library_init() { InitializeCriticalSection(&launch_lock); }

std::intptr_t start_program(const char* program, const char* parameters, const char* directory,
                            std::uint32_t flags, LaunchedProgram* sender) {
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  DWORD creation = NORMAL_PRIORITY_CLASS;
  BOOL inherit = FALSE;
  PipeEnds pipes;
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = TRUE;

  if ((flags & LAUNCH_HIDDEN) != 0) {
    startup.wShowWindow = SW_HIDE;
    creation |= DETACHED_PROCESS;
  }

  const bool keep = (flags & LAUNCH_KEEP_RECORD) != 0;
  if ((flags & LAUNCH_STDIN_FROM_SENDER) != 0 && sender != nullptr && sender->stdout_read != 0) {
    // The sender's read end was made private when its pipe was made; the
    // child can only receive an inheritable handle, so it gets a copy.
    HANDLE source = reinterpret_cast<HANDLE>(sender->stdout_read);
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
      copy = source;
    } else {
      pipes.sender_copy = copy;
    }
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.hStdInput = copy;
    inherit = TRUE;
    creation &= ~static_cast<DWORD>(DETACHED_PROCESS);
  } else if (keep && (flags & LAUNCH_PIPE_STDIN) != 0) {
    if (CreatePipe(&pipes.stdin_read, &pipes.stdin_write, &attributes, 0)) {
      startup.dwFlags |= STARTF_USESTDHANDLES;
      startup.hStdInput = pipes.stdin_read;
      make_handle_private(pipes.stdin_write);
      inherit = TRUE;
      creation &= ~static_cast<DWORD>(DETACHED_PROCESS);
    }
  }

  // Standard output, then standard error, each into a pipe of its own whose
  // read end the updater keeps; a pipe that cannot be made leaves that
  // stream unconnected.
  auto pipe_output = [&](HANDLE& kept_read, HANDLE& child_write, HANDLE& standard) {
    if (!CreatePipe(&kept_read, &child_write, &attributes, 0)) return;
    standard = child_write;
    make_handle_private(kept_read);
    startup.dwFlags |= STARTF_USESTDHANDLES;
    inherit = TRUE;
    creation &= ~static_cast<DWORD>(DETACHED_PROCESS);
  };
  if (keep && (flags & LAUNCH_PIPE_STDOUT) != 0) {
    pipe_output(pipes.stdout_read, pipes.stdout_write, startup.hStdOutput);
  }
  if (keep && (flags & LAUNCH_PIPE_STDERR) != 0) {
    pipe_output(pipes.stderr_read, pipes.stderr_write, startup.hStdError);
  }

  if ((startup.dwFlags & STARTF_USESTDHANDLES) != 0) {
    if (startup.hStdInput == nullptr) startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    if (startup.hStdOutput == nullptr) startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    if (startup.hStdError == nullptr) startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }

  if (program == nullptr) program = "";
  if (parameters == nullptr) parameters = "";
  CommandLine command_line(build_command_line(program, parameters));
  if (!command_line) return 0;
  if (directory != nullptr && directory[0] == '\0') directory = nullptr;

  PROCESS_INFORMATION started;
  std::memset(&started, 0, sizeof started);
  if (CreateProcessA(nullptr, command_line.get(), nullptr, nullptr, inherit, creation, nullptr,
                     directory, &startup, &started)) {
    pipes.close_child_ends();
    CloseHandle(started.hThread);
    return finish_start(started.hProcess, static_cast<std::int32_t>(started.dwProcessId), pipes,
                        flags);
  }

  pipes.close_all();
  if ((flags & LAUNCH_STREAM_FLAGS) != 0) return 0;
  return start_through_shell(program, parameters, directory, startup.wShowWindow, flags);
}

}  // namespace brindax
