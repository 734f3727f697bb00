// Partial updates that fetch only the changed entries' bytes, run as a
// process against pyftpdlib (a variant that counts what it sends and can
// misbehave): the bytes sent, the requests made, and fallbacks that end as
// a whole-package partial update does.
#include <random>

#include "pack/zip_layout.h"
#include "updater/process_test_support.h"

namespace brindax::process_test {
namespace {

// pyftpdlib with byte counting, refusals and a file replaced between
// requests (testing/ftp_server_counting.py) at the built-in port.
class CountingServer {
 public:
  CountingServer(const fs::path& root, const std::vector<std::string>& options)
      : commands_(root.parent_path() / "server.commands"),
        transfers_(root.parent_path() / "server.transfers") {
    const fs::path port_file = root.parent_path() / "server.port";
    for (const auto& file : {port_file, commands_, transfers_}) fs::remove(file);
    const std::string script =
        (fs::path(BRINDAX_FTP_SERVER_SCRIPT).parent_path() / "ftp_server_counting.py").string();
    std::vector<std::string> args = {"python3", script, "--root", root.string(), "--user", kUser,
                                     "--password", kPassword, "--port", std::to_string(kPort),
                                     "--port-file", port_file.string(), "--command-log",
                                     commands_.string(), "--transfer-log", transfers_.string()};
    args.insert(args.end(), options.begin(), options.end());
    pid_ = fork();
    if (pid_ == 0) {
      const int null_fd = open("/dev/null", O_RDWR);
      for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv("/usr/bin/python3", argv.data());
      _exit(127);
    }
    for (int i = 0; i < 1000 && !ready_; ++i) {
      ready_ = fs::exists(port_file) && !read_file(port_file).empty();
      if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~CountingServer() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool ready() const { return ready_; }

 private:
  fs::path commands_, transfers_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

constexpr int kEntries = 24;
constexpr std::size_t kEntrySize = 150000;

std::string entry_name(int i) { return "d/e" + std::to_string(100 + i).substr(1) + ".bin"; }

std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// Entries of poorly compressible bytes; `seed` varies the content,
// `first_size` the size of the first entry (and so every later offset).
std::vector<Entry> release(unsigned seed, std::size_t first_size = kEntrySize) {
  std::vector<Entry> entries;
  for (int i = 0; i < kEntries; ++i) {
    // Stored, so that another seed gives the very same layout.
    entries.push_back({entry_name(i), noise(i == 0 ? first_size : kEntrySize, seed * 100 + i), 0644, true});
  }
  return entries;
}

// The lists: the local one has version 0 for the `changed` entries.
std::string version_list(const std::vector<int>& changed = {}) {
  std::string list = "Brindax.zip\n";
  for (int i = 0; i < kEntries; ++i) {
    const bool old = std::find(changed.begin(), changed.end(), i) != changed.end();
    list += entry_name(i) + (old ? "@0\n" : "@1\n");
  }
  return list;
}

// What the server of the last run logged beside the served root.
// Bytes of `name` that reached the client on data connections (what its
// system acknowledged), all transfers together.
std::uint64_t sent(const fs::path& base, const std::string& name) {
  std::istringstream lines(read_file(base / "server.transfers"));
  std::uint64_t total = 0;
  std::string file;
  for (std::int64_t bytes; lines >> file >> bytes;) {
    EXPECT_GE(bytes, 0) << "no TCP_INFO";
    total += file == name ? static_cast<std::uint64_t>(bytes) : 0;
  }
  return total;
}
int commands(const fs::path& base, const std::string& prefix) {
  std::istringstream lines(read_file(base / "server.commands"));
  int count = 0;
  for (std::string line; std::getline(lines, line);) count += line.rfind(prefix, 0) == 0;
  return count;
}

class RangedUpdate : public UpdaterProcess {
 protected:
  void SetUp() override {
    UpdaterProcess::SetUp();
    write_file(remote() / "Brindax.ver", version_list());
  }
  // Runs "MajLocal" against the counting server for the changed entries.
  RunResult run(const std::vector<int>& changed, const std::vector<std::string>& options = {}) {
    fs::remove_all(install_);
    fs::create_directories(install_);
    write_file(install_ / "LocalVersion.ver", version_list(changed));
    RunResult result;
    {
      CountingServer server(root_, options);
      EXPECT_TRUE(server.ready());
      result = updater({"MajLocal"});
    }  // the logs are complete once the server has stopped
    return result;
  }
  // The installation folder holds the list and exactly these entries (and
  // their folder d/ when anything was installed: a failed install removes
  // the folders it made).
  void expect_installed(const std::vector<Entry>& package, const std::vector<int>& entries,
                        bool folder_made = true) {
    std::map<std::string, std::string> expected = {
        {"LocalVersion.ver", read_file(install_ / "LocalVersion.ver")}};
    if (folder_made) expected["d/"] = "";
    for (int i : entries) expected[package[static_cast<std::size_t>(i)].name] = package[static_cast<std::size_t>(i)].data;
    const auto found = snapshot();
    EXPECT_TRUE(found == expected) << "found " << found.size() << " files and folders";
  }
  std::uint64_t package_size() const { return fs::file_size(remote() / "Brindax.zip"); }

  // The last run fetched the package's end and then `ranges` pieces for
  // `entries` entries. Beyond its own bytes, each of those transfers may
  // have filled the client's receive buffer (at most 256 KiB asked for, which
  // Linux doubles) before the connection was closed.
  void expect_pieces(int ranges, std::size_t entries) {
    EXPECT_EQ(commands(base_, "SIZE Brindax.zip"), 1);
    EXPECT_EQ(commands(base_, "REST "), ranges + 1);
    EXPECT_EQ(commands(base_, "RETR Brindax.zip"), ranges + 1);
    const std::uint64_t bytes = sent(base_, "Brindax.zip");
    const std::uint64_t needed = ZIP_TAIL_SEARCH_SIZE + kEntrySize * entries;
    std::printf("%zu changed entries: %llu of %llu bytes sent\n", entries,
                static_cast<unsigned long long>(bytes),
                static_cast<unsigned long long>(package_size()));
    EXPECT_GE(bytes, kEntrySize * entries);
    EXPECT_LT(bytes, needed + 600000u * static_cast<unsigned>(ranges + 1));
  }
};

TEST_F(RangedUpdate, FetchesOnlyTheChangedEntries) {
  const auto package = release(1);
  make_zip(remote() / "Brindax.zip", package);
  struct Case {
    std::vector<int> changed;
    int ranges;  // after merging neighbours
  };
  const Case cases[] = {{{5}, 1}, {{1, 2, 15}, 2}, {{kEntries - 1}, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.changed.size());
    const RunResult result = run(c.changed);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.error_output, "");
    expect_installed(package, c.changed);
    expect_pieces(c.ranges, c.changed.size());
  }
}

TEST_F(RangedUpdate, StreamedAndZip64PackagesFromInfoZip) {
  const auto package = release(2);
  const fs::path source = base_ / "release";
  for (const auto& entry : package) write_file(source / entry.name, entry.data);
  for (const char* command : {"zip -q - d/*.bin | cat > ", "zip -q -fz "}) {
    SCOPED_TRACE(command);
    fs::remove(remote() / "Brindax.zip");
    const std::string line =
        "cd '" + source.string() + "' && " + command + "'" + (remote() / "Brindax.zip").string() +
        "'" + (std::string(command).find("-fz") != std::string::npos ? " d/*.bin" : "");
    ASSERT_EQ(std::system(line.c_str()), 0);
    const RunResult result = run({6});
    EXPECT_EQ(result.error_output, "");
    expect_installed(package, {6});
    expect_pieces(1, 1);
  }
}

// Whenever the pieces cannot be had, the whole package is fetched, with the
// results of a whole-package partial update.
TEST_F(RangedUpdate, FallbacksEndAsAWholePackageUpdate) {
  const auto original = release(3);
  const auto same_layout = release(4);
  const auto moved = release(5, kEntrySize + 100);
  make_zip(base_ / "same.zip", same_layout);
  make_zip(base_ / "moved.zip", moved);
  struct Case {
    const char* what;
    std::vector<std::string> options;
    std::function<void()> prepare;
    const char* message;
    const std::vector<Entry>* installed_from;  // null: nothing installed
  };
  const std::string swap = "--swap-before-retr";
  const auto from_base = [&](const char* name) {
    return "2:" + (fs::path(kRemoteDirectory) / "Brindax.zip").string() + ":" +
           fs::relative(base_ / name, root_).string();
  };
  const Case cases[] = {
      {"no SIZE", {"--refuse", "SIZE"}, [] {}, "", &original},
      {"REST refused", {"--refuse", "REST"}, [] {}, "", &original},
      {"truncated end",
       {},
       [&] { fs::resize_file(remote() / "Brindax.zip", package_size() - 10); },
       "unzip Error: Canot open Zip file\n",
       nullptr},
      // Replaced after its end was read: with the same layout the CRC check
      // fails; with entries moved the local header is not where it was.
      {"replaced, same layout", {swap, from_base("same.zip")}, [] {},
       "unzip Error: Canot uncompress filed/e03.bin\n", nullptr},
      {"replaced, entries moved", {swap, from_base("moved.zip")}, [] {}, "", &moved},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    make_zip(remote() / "Brindax.zip", original);
    c.prepare();
    const std::uint64_t size = package_size();
    const RunResult result = run({3}, c.options);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.error_output, c.message);
    expect_installed(c.installed_from ? *c.installed_from : original,
                     c.installed_from ? std::vector<int>{3} : std::vector<int>{},
                     c.installed_from != nullptr);
    const bool whole = c.installed_from != nullptr || c.message == std::string("unzip Error: Canot open Zip file\n");
    if (whole) {
      EXPECT_GE(sent(base_, "Brindax.zip"), size - 200);
    }
  }
}

}  // namespace
}  // namespace brindax::process_test
