// Program launcher: starts another program as a separate process.
//
// start_program builds a quoted command line, starts the program and, when
// that is impossible and no pipe was asked for, hands the name to the desktop
// shell, which also opens documents. The updater itself only calls
// launch_application, to start the installed application without waiting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/core/registry.h"

namespace brindax {

// Flags of start_program; bits may be combined.
inline constexpr std::uint32_t LAUNCH_WAIT_EXIT = 0x1;    // wait until the program ends
inline constexpr std::uint32_t LAUNCH_HIDDEN = 0x2;       // hidden, detached unless piped
inline constexpr std::uint32_t LAUNCH_KEEP_RECORD = 0x4;  // return a LaunchedProgram
inline constexpr std::uint32_t LAUNCH_PIPE_STDOUT = 0x8;  // with 0x4: stdout into a pipe
inline constexpr std::uint32_t LAUNCH_PIPE_STDIN = 0x10;  // with 0x4: stdin from a pipe
inline constexpr std::uint32_t LAUNCH_PIPE_STDERR = 0x20; // with 0x4: stderr into a pipe
inline constexpr std::uint32_t LAUNCH_STDIN_FROM_SENDER = 0x40;  // stdin = sender's stdout pipe

// Any of these forbids the shell fallback.
inline constexpr std::uint32_t LAUNCH_STREAM_FLAGS =
    LAUNCH_PIPE_STDOUT | LAUNCH_PIPE_STDIN | LAUNCH_PIPE_STDERR | LAUNCH_STDIN_FROM_SENDER;

// One started program, kept when LAUNCH_KEEP_RECORD is given. Handles are
// pointer-sized. On Windows `process` is the process handle; on POSIX it is
// the process id of a direct child, which the holder may wait for (after
// LAUNCH_WAIT_EXIT it has been waited for already). Pipe ends are 0 when not
// made; on POSIX kept pipe descriptors are always 3 or more, so 0 stays
// unambiguous.
struct LaunchedProgram {
  std::intptr_t process;
  std::int32_t process_id;   // -1 when started through the shell
  std::intptr_t stdin_write;  // write end of the standard-input pipe
  std::intptr_t stdout_read;  // read end of the standard-output pipe
  std::intptr_t stderr_read;  // read end of the standard-error pipe
  std::uint32_t flags;        // the flags given
};

// Every kept record, newest first. Nothing removes them.
extern ListNode* launched_programs;

// Starts `program` with `parameters` in `directory` (each may be null; an
// empty directory means the current one). Returns 0 when nothing was started,
// else the LaunchedProgram (as an integer) with LAUNCH_KEEP_RECORD, else 1.
std::intptr_t start_program(const char* program, const char* parameters, const char* directory,
                            std::uint32_t flags, LaunchedProgram* sender);

// start_program(program, "", "", 0, null).
std::intptr_t launch_application(const char* program);

// Start-up of the launcher: prepares the lock that guards launched_programs.
void launch_library_init();

// The command line for `program` and `parameters` (null reads as empty), in a
// block of length(program) + length(parameters) + 4 bytes from the main heap,
// to be released with main_free: the program enclosed in double quotes unless
// it already begins with one, then one blank and the parameters when there
// are any. Null when the heap has no room.
char* build_command_line(const char* program, const char* parameters);

// Cuts a command line into arguments: blanks and tabs separate them, a double
// quote starts or ends a quoted stretch in which blanks are kept, and the
// quotes themselves are dropped. `""` is an empty argument. There is no
// escape character: a backslash is an ordinary character.
std::vector<std::string> split_command_line(const char* command_line);

}  // namespace brindax
