// start_program on Windows. The started program is this test executable
// itself: when BRINDAX_LAUNCHER_CHILD is set it acts as a small child
// program before any test runs, and ends.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "runtime/process/launcher.h"
#include "runtime/process/launcher_win32.h"
#include "runtime/process/win32_test_support.h"

namespace brindax {
namespace {

using test::own_path;
using test::variable;

// "echo": copies standard input to standard output, then writes "err" to
// standard error. "marker": waits a little, then writes the file named by
// BRINDAX_LAUNCHER_MARKER. "where": writes its working folder and its first
// argument into that file.
const bool child_ran = [] {
  const std::string mode = variable("BRINDAX_LAUNCHER_CHILD");
  if (mode == "echo") {
    char buffer[256];
    DWORD got = 0, written = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) {
      WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, got, &written, nullptr);
    }
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "err", 3, &written, nullptr);
    ExitProcess(0);
  }
  if (mode == "marker") {
    Sleep(300);
    if (FILE* file = std::fopen(variable("BRINDAX_LAUNCHER_MARKER").c_str(), "w")) {
      std::fputs("done", file);
      std::fclose(file);
    }
    ExitProcess(0);
  }
  if (mode == "where") {
    char folder[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(sizeof folder, folder);
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (FILE* file = std::fopen(variable("BRINDAX_LAUNCHER_MARKER").c_str(), "w")) {
      std::fprintf(file, "%.*s\n%ls", static_cast<int>(length), folder,
                   count > 1 ? arguments[1] : L"");
      std::fclose(file);
    }
    ExitProcess(0);
  }
  return false;
}();

class ChildMode {
 public:
  explicit ChildMode(const char* mode) { SetEnvironmentVariableA("BRINDAX_LAUNCHER_CHILD", mode); }
  ChildMode(const ChildMode&) = delete;
  ChildMode& operator=(const ChildMode&) = delete;
  ~ChildMode() { SetEnvironmentVariableA("BRINDAX_LAUNCHER_CHILD", nullptr); }
};

LaunchedProgram* record_of(std::intptr_t result) {
  return reinterpret_cast<LaunchedProgram*>(result);
}
HANDLE handle_of(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

std::string read_all(std::intptr_t pipe) {
  std::string text;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(handle_of(pipe), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  return text;
}

bool inheritable(std::intptr_t handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle_of(handle), &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
}

// True when the program ends within a few seconds; it is ended otherwise, so
// that a program that never sees the end of its input fails the test instead
// of hanging it.
bool ends_soon(LaunchedProgram* record) {
  if (WaitForSingleObject(handle_of(record->process), 10000) == WAIT_OBJECT_0) return true;
  TerminateProcess(handle_of(record->process), 1);
  return false;
}

void close_record(LaunchedProgram* record) {
  WaitForSingleObject(handle_of(record->process), INFINITE);
  for (std::intptr_t handle : {record->process, record->stdin_write, record->stdout_read,
                               record->stderr_read}) {
    if (handle != 0) CloseHandle(handle_of(handle));
  }
}

std::filesystem::path temp_folder(const char* name) {
  std::filesystem::path folder = std::filesystem::temp_directory_path() / name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

TEST(StartProgramWindows, ConnectsPipesThatTheUpdaterKeepsPrivate) {
  ChildMode mode("echo");
  const std::intptr_t result =
      start_program(own_path().c_str(), "", nullptr,
                    LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDIN | LAUNCH_PIPE_STDOUT | LAUNCH_PIPE_STDERR,
                    nullptr);
  ASSERT_GT(result, 1);
  LaunchedProgram* record = record_of(result);
  EXPECT_EQ(static_cast<DWORD>(record->process_id), GetProcessId(handle_of(record->process)));
  EXPECT_EQ(record->flags,
            LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDIN | LAUNCH_PIPE_STDOUT | LAUNCH_PIPE_STDERR);
  EXPECT_FALSE(inheritable(record->stdin_write));
  EXPECT_FALSE(inheritable(record->stdout_read));
  EXPECT_FALSE(inheritable(record->stderr_read));

  DWORD written = 0;
  ASSERT_TRUE(WriteFile(handle_of(record->stdin_write), "abc", 3, &written, nullptr));
  CloseHandle(handle_of(record->stdin_write));
  record->stdin_write = 0;
  // The end of input arrives, so no copy of the write end went to the child.
  ASSERT_TRUE(ends_soon(record));
  EXPECT_EQ(read_all(record->stdout_read), "abc");
  EXPECT_EQ(read_all(record->stderr_read), "err");
  close_record(record);
}

TEST(StartProgramWindows, ReadsInputFromTheSender) {
  ChildMode mode("echo");
  const std::intptr_t first = start_program(
      own_path().c_str(), "", nullptr,
      LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDIN | LAUNCH_PIPE_STDOUT | LAUNCH_PIPE_STDERR, nullptr);
  ASSERT_GT(first, 1);
  LaunchedProgram* sender = record_of(first);
  const std::intptr_t second = start_program(
      own_path().c_str(), "", nullptr,
      LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT | LAUNCH_PIPE_STDERR | LAUNCH_STDIN_FROM_SENDER,
      sender);
  ASSERT_GT(second, 1);

  DWORD written = 0;
  WriteFile(handle_of(sender->stdin_write), "hello", 5, &written, nullptr);
  CloseHandle(handle_of(sender->stdin_write));
  sender->stdin_write = 0;
  ASSERT_TRUE(ends_soon(sender));
  ASSERT_TRUE(ends_soon(record_of(second)));
  EXPECT_EQ(read_all(record_of(second)->stdout_read), "hello");
  EXPECT_EQ(read_all(record_of(second)->stderr_read), "err");
  EXPECT_EQ(read_all(sender->stderr_read), "err");
  close_record(record_of(second));
  close_record(sender);
}

TEST(StartProgramWindows, WaitsAndQuotesNamesWithBlanks) {
  const std::filesystem::path folder = temp_folder("brindax launcher test");
  const std::filesystem::path copy = folder / "child program.exe";
  std::filesystem::copy_file(own_path(), copy);
  const std::string marker = (folder / "marker").string();
  SetEnvironmentVariableA("BRINDAX_LAUNCHER_MARKER", marker.c_str());
  ChildMode mode("marker");

  EXPECT_EQ(start_program(copy.string().c_str(), "", "", LAUNCH_WAIT_EXIT, nullptr), 1);
  EXPECT_TRUE(std::filesystem::exists(marker));  // waited for
  std::filesystem::remove(marker);

  // Already quoted, with a parameter behind it; started in another folder.
  const std::string quoted = "\"" + copy.string() + "\" -x";
  EXPECT_EQ(start_program(quoted.c_str(), "more", folder.string().c_str(),
                          LAUNCH_WAIT_EXIT | LAUNCH_HIDDEN, nullptr),
            1);
  EXPECT_TRUE(std::filesystem::exists(marker));
  std::filesystem::remove(marker);

  // Not waited for: the program is still busy when start_program returns.
  EXPECT_EQ(launch_application(copy.string().c_str()), 1);
  EXPECT_FALSE(std::filesystem::exists(marker));
  for (int i = 0; i < 100 && !std::filesystem::exists(marker); ++i) Sleep(50);
  EXPECT_TRUE(std::filesystem::exists(marker));

  SetEnvironmentVariableA("BRINDAX_LAUNCHER_MARKER", nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

TEST(StartProgramWindows, FailsWithoutFallbackWhenPipesAreAsked) {
  EXPECT_EQ(start_program("brindax-no-such-program.exe", "", nullptr,
                          LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT, nullptr),
            0);
  EXPECT_EQ(start_program("brindax-no-such-program.exe", "", nullptr, LAUNCH_STDIN_FROM_SENDER,
                          nullptr),
            0);
  // Nothing the shell can open either.
  EXPECT_EQ(start_program("C:\\brindax-no-such-folder\\nothing.exe", "", nullptr, 0, nullptr), 0);
}

// A document type, registered for the test and opened by this test program:
// what the shell fallback can start when CreateProcessA cannot.
class DocumentType {
 public:
  explicit DocumentType(const std::string& command) {
    ok_ = set(".brxdoc", "BrindaxTest.Document") &&
          set("BrindaxTest.Document\\shell\\open\\command", command);
  }
  ~DocumentType() {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "BrindaxTest.Document");
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ".brxdoc");
  }
  DocumentType(const DocumentType&) = delete;
  DocumentType& operator=(const DocumentType&) = delete;
  bool ok() const { return ok_; }

 private:
  static bool set(const char* key, const std::string& value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    const bool done = RegSetValueExA(handle, nullptr, 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return done;
  }
  bool ok_ = false;
};

TEST(StartProgramWindows, ShellOpensWhatCannotBeStartedInTheDocumentsFolder) {
  DocumentType type("\"" + own_path() + "\" \"%1\"");
  ASSERT_TRUE(type.ok());
  const std::filesystem::path folder = temp_folder("brindax shell test");
  const std::filesystem::path document = folder / "notes.brxdoc";
  { std::FILE* file = std::fopen(document.string().c_str(), "w"); std::fclose(file); }
  const std::string marker = (std::filesystem::temp_directory_path() / "brindax-shell-marker").string();
  std::filesystem::remove(marker);
  SetEnvironmentVariableA("BRINDAX_LAUNCHER_MARKER", marker.c_str());
  ChildMode mode("where");

  // Pipes or a sender rule the shell out: nothing is started.
  EXPECT_EQ(start_program(document.string().c_str(), "", nullptr,
                          LAUNCH_KEEP_RECORD | LAUNCH_PIPE_STDOUT, nullptr),
            0);
  Sleep(300);
  EXPECT_FALSE(std::filesystem::exists(marker));

  // Otherwise the shell opens the document, in the document's folder.
  EXPECT_EQ(start_program(document.string().c_str(), "", nullptr, LAUNCH_WAIT_EXIT, nullptr), 1);
  ASSERT_TRUE(std::filesystem::exists(marker));
  std::FILE* file = std::fopen(marker.c_str(), "r");
  char where[MAX_PATH] = {}, opened[MAX_PATH] = {};
  ASSERT_EQ(std::fscanf(file, "%259[^\n]\n%259[^\n]", where, opened), 2);
  std::fclose(file);
  EXPECT_TRUE(std::filesystem::equivalent(where, folder)) << where;
  EXPECT_TRUE(std::filesystem::equivalent(opened, document)) << opened;

  SetEnvironmentVariableA("BRINDAX_LAUNCHER_MARKER", nullptr);
  std::error_code ignored;
  std::filesystem::remove(marker, ignored);
  std::filesystem::remove_all(folder, ignored);
}

TEST(StartProgramWindows, MakeHandlePrivate) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &attributes, 0));
  void* kept = read_end;
  make_handle_private(kept);
  EXPECT_FALSE(inheritable(reinterpret_cast<std::intptr_t>(kept)));
  DWORD written = 0, got = 0;
  char byte = 0;
  WriteFile(write_end, "x", 1, &written, nullptr);
  EXPECT_TRUE(ReadFile(kept, &byte, 1, &got, nullptr));  // the copy is the same pipe
  EXPECT_EQ(byte, 'x');
  CloseHandle(kept);
  CloseHandle(write_end);
}

}  // namespace
}  // namespace brindax
