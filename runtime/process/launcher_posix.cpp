// Program launcher on POSIX systems.
//
// A program is started with fork and execve in a session of its own (setsid),
// so that it outlives the updater and its terminal. When the caller neither
// waits for it nor keeps a record, the start goes through an intermediate
// process that exits at once (double fork): the program is then a child of
// the system's reaper and never lingers as a zombie of the updater. With
// LAUNCH_WAIT_EXIT or LAUNCH_KEEP_RECORD it stays a direct child, so that it
// can be waited for; a kept record's holder reaps it.
//
// The command line is built as on Windows and cut into arguments with
// split_command_line. A name without '/' is looked for in the current folder
// first, then on PATH. Descriptors other than the three standard ones are not
// passed on to the program. LAUNCH_HIDDEN, when no pipe is made, connects the
// program's standard streams to /dev/null (the counterpart of a detached
// process without a console); with a pipe, the streams that are not piped are
// the updater's own.
//
// Names, parameters and the folder are runtime text (Latin-1 here) and go to
// the system as UTF-8, like every file name of the runtime.
//
// When the program cannot be executed (missing, not executable, not a known
// format) and no pipe or sender was asked for, the name is handed to
// xdg-open, found on PATH, which opens documents and addresses with the
// desktop's chosen application; the parameters are not passed to it. Its
// working folder is the document's folder when no directory was given and the
// name holds a '/' after its first character, as on Windows with '\'.
#include "runtime/process/launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/core/encoding.h"
#include "runtime/core/heap.h"
#include "runtime/process/launcher_posix.h"

extern char** environ;

namespace brindax {
namespace {

std::mutex launch_lock;

struct MainHeapDelete {
  void operator()(char* block) const { main_free(block); }
};
using CommandLine = std::unique_ptr<char, MainHeapDelete>;

// An owned descriptor; -1 when empty.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Keeps a close-on-exec descriptor out of the standard range 0 to 2, so that
// moving descriptors onto 0, 1 and 2 in the child never overwrites a source,
// and so that 0 in a record always means "none".
int above_standard(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

bool make_pipe(Descriptor& read_end, Descriptor& write_end) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  read_end.reset(above_standard(ends[0]));
  write_end.reset(above_standard(ends[1]));
  if (read_end.valid() && write_end.valid()) return true;
  read_end.reset();
  write_end.reset();
  return false;
}

std::string current_directory() {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool is_file(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool is_executable_file(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The file to execute for the first argument, or empty when there is none.
std::string resolve_program(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return absolute_path(name);
  std::string here = absolute_path(name);
  if (is_file(here)) return here;
  return find_on_path(name);
}

pid_t wait_for(pid_t pid) {
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(pid, &status, 0);
  } while (result < 0 && errno == EINTR);
  return result;
}

// What one fork and exec needs, all prepared before the fork: after it the
// child may only call async-signal-safe functions.
struct ChildSetup {
  std::string path;
  std::vector<std::string> arguments;
  const char* directory = nullptr;  // null: the updater's current folder
  int streams[3] = {-1, -1, -1};    // descriptors for 0, 1, 2; -1: inherited
  bool detach_stdio = false;        // streams still inherited go to /dev/null
  bool double_fork = false;         // the program is not a child of the updater
};

[[noreturn]] void report_and_exit(int status_fd, int error) {
  ssize_t ignored = ::write(status_fd, &error, sizeof error);
  static_cast<void>(ignored);
  ::_exit(127);
}

[[noreturn]] void run_child(const ChildSetup& setup, char* const* argv, int null_fd,
                            int status_fd) {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard;
  std::memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &standard, nullptr);

  ::setsid();
  if (setup.double_fork) {
    const pid_t grandchild = ::fork();
    if (grandchild < 0) report_and_exit(status_fd, errno);
    if (grandchild > 0) ::_exit(0);
  }

  for (int target = 0; target < 3; ++target) {
    int source = setup.streams[target];
    if (source < 0 && setup.detach_stdio) source = null_fd;
    if (source >= 0 && ::dup2(source, target) < 0) report_and_exit(status_fd, errno);
  }
  // Nothing beyond the standard streams reaches the program; the status pipe
  // is close-on-exec already and tells the parent that execve succeeded.
  ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);

  if (setup.directory != nullptr && ::chdir(setup.directory) != 0) {
    report_and_exit(status_fd, errno);
  }
  ::execve(setup.path.c_str(), argv, environ);
  report_and_exit(status_fd, errno);
}

// Starts the program. Returns its process id when it is a direct child, 0
// when it was started through an intermediate process, -1 when it could not
// be executed.
pid_t spawn(const ChildSetup& setup) {
  if (setup.path.empty() || setup.arguments.empty()) return -1;
  std::vector<char*> argv;
  argv.reserve(setup.arguments.size() + 1);
  for (const std::string& argument : setup.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  Descriptor null_stream;
  if (setup.detach_stdio) {
    null_stream.reset(above_standard(::open("/dev/null", O_RDWR | O_CLOEXEC)));
    if (!null_stream.valid()) return -1;
  }
  Descriptor status_read;
  Descriptor status_write;
  if (!make_pipe(status_read, status_write)) return -1;

  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) run_child(setup, argv.data(), null_stream.get(), status_write.get());

  status_write.reset();
  if (setup.double_fork) wait_for(pid);  // the intermediate process ends at once

  int error = 0;
  ssize_t got;
  do {
    got = ::read(status_read.get(), &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return setup.double_fork ? 0 : pid;  // execve succeeded
  if (!setup.double_fork) wait_for(pid);
  return -1;
}

LaunchedProgram* link_record() {
  std::lock_guard<std::mutex> hold(launch_lock);
  return static_cast<LaunchedProgram*>(
      list_add_node(&launched_programs, sizeof(ListNode) + sizeof(LaunchedProgram)));
}

// The pipe ends kept for the caller.
struct KeptEnds {
  Descriptor stdin_write;
  Descriptor stdout_read;
  Descriptor stderr_read;
};

// What follows a started program: the wait, then the record.
std::intptr_t finish_start(pid_t pid, std::int32_t process_id, KeptEnds& kept,
                           std::uint32_t flags) {
  if ((flags & LAUNCH_WAIT_EXIT) != 0 && pid > 0) wait_for(pid);
  if ((flags & LAUNCH_KEEP_RECORD) == 0) return 1;
  LaunchedProgram* record = link_record();
  if (record == nullptr) return 0;  // a 1 would be taken for a record address
  record->process = pid;
  record->process_id = process_id;
  record->stdin_write = kept.stdin_write.valid() ? kept.stdin_write.release() : 0;
  record->stdout_read = kept.stdout_read.valid() ? kept.stdout_read.release() : 0;
  record->stderr_read = kept.stderr_read.valid() ? kept.stderr_read.release() : 0;
  record->flags = flags;
  return reinterpret_cast<std::intptr_t>(record);
}

std::intptr_t start_through_shell(const std::string& document, const char* directory,
                                  std::uint32_t flags, bool detach_stdio) {
  if (document.empty()) return 0;
  ChildSetup setup;
  setup.path = find_on_path("xdg-open");
  if (setup.path.empty()) return 0;

  std::string folder;
  if (directory == nullptr) {
    const std::size_t last = document.rfind('/');
    if (last != std::string::npos && last > 0) {
      folder = document.substr(0, last + 1);
      directory = folder.c_str();
    }
  }
  // The working folder may change, so an existing file is named by a path
  // that does not depend on it; anything else (an address) goes as it is.
  const std::string file = absolute_path(document);
  setup.arguments = {"xdg-open", is_file(file) ? file : document};
  setup.directory = directory;
  setup.detach_stdio = detach_stdio;
  setup.double_fork = (flags & (LAUNCH_WAIT_EXIT | LAUNCH_KEEP_RECORD)) == 0;

  const pid_t pid = spawn(setup);
  if (pid < 0) return 0;
  KeptEnds none;
  return finish_start(pid, -1, none, flags);
}

}  // namespace

std::string absolute_path(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::string folder = current_directory();
  if (folder.empty()) return path;
  if (folder.back() != '/') folder.push_back('/');
  return folder + path;
}

std::string find_on_path(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos) return {};
  const char* variable = std::getenv("PATH");
  const std::string_view folders = variable != nullptr ? variable : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = folders.find(':', start);
    std::string folder(folders.substr(start, end == std::string_view::npos ? end : end - start));
    if (folder.empty()) folder = ".";
    std::string candidate = absolute_path(folder + "/" + std::string(name));
    if (is_executable_file(candidate)) return candidate;
    if (end == std::string_view::npos) return {};
    start = end + 1;
  }
}

void launch_library_init() {
  // The lock is a std::mutex, ready from the program's start; nothing to do.
}

std::intptr_t start_program(const char* program, const char* parameters, const char* directory,
                            std::uint32_t flags, LaunchedProgram* sender) {
  const std::string program_text = latin1_to_utf8(program != nullptr ? program : "");
  const std::string parameter_text = latin1_to_utf8(parameters != nullptr ? parameters : "");
  const std::string directory_text = latin1_to_utf8(directory != nullptr ? directory : "");
  program = program_text.c_str();
  parameters = parameter_text.c_str();
  directory = directory_text.empty() ? nullptr : directory_text.c_str();
  const bool keep = (flags & LAUNCH_KEEP_RECORD) != 0;

  ChildSetup setup;
  Descriptor stdin_read, stdout_write, stderr_write;  // the child's ends
  KeptEnds kept;
  bool uses_pipes = false;
  if ((flags & LAUNCH_STDIN_FROM_SENDER) != 0 && sender != nullptr && sender->stdout_read != 0) {
    setup.streams[0] = static_cast<int>(sender->stdout_read);
    uses_pipes = true;
  } else if (keep && (flags & LAUNCH_PIPE_STDIN) != 0 && make_pipe(stdin_read, kept.stdin_write)) {
    setup.streams[0] = stdin_read.get();
    uses_pipes = true;
  }
  if (keep && (flags & LAUNCH_PIPE_STDOUT) != 0 && make_pipe(kept.stdout_read, stdout_write)) {
    setup.streams[1] = stdout_write.get();
    uses_pipes = true;
  }
  if (keep && (flags & LAUNCH_PIPE_STDERR) != 0 && make_pipe(kept.stderr_read, stderr_write)) {
    setup.streams[2] = stderr_write.get();
    uses_pipes = true;
  }
  const bool detach_stdio = (flags & LAUNCH_HIDDEN) != 0 && !uses_pipes;

  CommandLine command_line(build_command_line(program, parameters));
  if (!command_line) return 0;
  setup.arguments = split_command_line(command_line.get());
  const std::string name = setup.arguments.empty() ? std::string() : setup.arguments.front();
  setup.path = resolve_program(name);
  setup.directory = directory;
  setup.detach_stdio = detach_stdio;
  setup.double_fork = (flags & (LAUNCH_WAIT_EXIT | LAUNCH_KEEP_RECORD)) == 0;

  const pid_t pid = spawn(setup);
  stdin_read.reset();
  stdout_write.reset();
  stderr_write.reset();
  if (pid >= 0) return finish_start(pid, static_cast<std::int32_t>(pid), kept, flags);

  kept.stdin_write.reset();
  kept.stdout_read.reset();
  kept.stderr_read.reset();
  if ((flags & LAUNCH_STREAM_FLAGS) != 0) return 0;
  return start_through_shell(name, directory, flags, detach_stdio);
}

}  // namespace brindax
