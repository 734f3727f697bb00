// Partial updates that fetch only the changed entries' bytes, run as a
// process against pyftpdlib (a variant that counts what it sends and can
// misbehave): the bytes sent, the requests made, and fallbacks that end as
// a whole-package partial update does.
#include <zlib.h>

#include <random>

#include "net/transport.h"
#include "pack/zip_layout.h"
#include "updater/process_test_support.h"
#include "updater/ranged_package.h"

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
// Last comes a filler on no list, larger than what the server's system
// buffers can take ahead of the client, so that the bytes sent show whether
// a transfer ran to the end of the file.
std::vector<Entry> release(unsigned seed, std::size_t first_size = kEntrySize) {
  std::vector<Entry> entries;
  for (int i = 0; i < kEntries; ++i) {
    // Stored, so that another seed gives the very same layout.
    entries.push_back({entry_name(i), noise(i == 0 ? first_size : kEntrySize, seed * 100 + i), 0644, true});
  }
  entries.push_back({"d/zfill.bin", noise(std::size_t{16} << 20, seed), 0644, true});
  return entries;
}

// `width` little-endian bytes of `value` (zeros past its eighth byte).
void put(std::string& to, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) to += static_cast<char>(i < 8 ? (value >> (8 * i)) & 0xFF : 0);
}

// `zip` (no comment yet) with a second package hidden in its end record's
// comment: a local header with `data` for `name`, a directory of that entry
// and an end record of its own, the last bytes of the file.
std::string with_hidden_directory(std::string zip, const std::string& name, const std::string& data) {
  const auto crc = crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
  const std::uint64_t local = zip.size();
  std::string c;
  put(c, 0x04034b50, 4), put(c, 20, 2), put(c, 0, 8), put(c, crc, 4), put(c, data.size(), 4);
  put(c, data.size(), 4), put(c, name.size(), 2), put(c, 0, 2);
  c += name + data;
  const std::uint64_t directory = local + c.size();
  put(c, 0x02014b50, 4), put(c, 20, 2), put(c, 20, 2), put(c, 0, 8), put(c, crc, 4);
  put(c, data.size(), 4), put(c, data.size(), 4), put(c, name.size(), 2), put(c, 0, 12);
  put(c, local, 4);
  c += name;
  const std::uint64_t directory_size = local + c.size() - directory;
  put(c, 0x06054b50, 4), put(c, 0, 4), put(c, 1, 2), put(c, 1, 2), put(c, directory_size, 4);
  put(c, directory, 4), put(c, 0, 2);
  zip[zip.size() - 2] = static_cast<char>(c.size() & 0xFF);
  zip[zip.size() - 1] = static_cast<char>(c.size() >> 8);
  return zip + c;
}

// The end of a ZIP64 package of `size` bytes whose end records place a
// one-entry central directory at `directory` (all of it in front of them).
std::string zip64_end(std::uint64_t size, std::uint64_t directory) {
  std::string z(ZIP_TAIL_SEARCH_SIZE - 98, '\0');
  const std::uint64_t record = size - 98;
  put(z, 0x06064b50, 4), put(z, 44, 8), put(z, 45, 2), put(z, 45, 2), put(z, 0, 8);
  put(z, 1, 8), put(z, 1, 8), put(z, record - directory, 8), put(z, directory, 8);
  put(z, 0x07064b50, 4), put(z, 0, 4), put(z, record, 8), put(z, 1, 4);
  put(z, 0x06054b50, 4), put(z, 0, 4), put(z, 0xFFFF, 2), put(z, 0xFFFF, 2);
  put(z, 0xFFFFFFFF, 4), put(z, 0xFFFFFFFF, 4), put(z, 0, 2);
  return z;
}

// A release server in memory: a package of `size` bytes that ends with
// `suffix` (zeros in front), which answers every range from the
// `whole_from`-th request (counted from 0) on with the whole package.
class MemoryServer : public Transport {
 public:
  MemoryServer(std::uint64_t size, std::string suffix, std::size_t whole_from)
      : size_(size), suffix_(std::move(suffix)), whole_from_(whole_from) {}
  bool receive_file(const char*, const char*, const ReceiveOptions&) override { return false; }
  bool receive_stream(const char*, std::int64_t, RangeSink, void*) override { return false; }
  RangeReply receive_range(const char*, std::uint64_t offset, std::uint64_t length,
                           RangeSink sink, void* context) override {
    const bool whole = requests.size() >= whole_from_;
    requests.push_back(offset);
    const std::uint64_t from = whole ? 0 : offset, to = whole ? size_ : offset + length;
    if (to > size_) return RangeReply::failed;
    const std::uint64_t suffix_start = size_ - suffix_.size();
    for (std::uint64_t at = from; at < to;) {
      const std::uint64_t n = std::min<std::uint64_t>(to - at, 65536);
      std::string piece(n, '\0');
      for (std::uint64_t i = 0; i < n; ++i) {
        if (at + i >= suffix_start) piece[i] = suffix_[at + i - suffix_start];
      }
      if (!sink(context, at, piece.data(), static_cast<std::int32_t>(n))) return RangeReply::failed;
      at += n;
    }
    return whole ? RangeReply::whole : RangeReply::range;
  }
  std::optional<RemoteFileInfo> remote_file(const char*) override {
    return RemoteFileInfo{static_cast<std::int64_t>(size_), "1"};
  }
  void close() override {}
  std::vector<std::uint64_t> requests;  // the offsets asked for

 private:
  std::uint64_t size_;
  std::string suffix_;
  std::size_t whole_from_;
};

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
  // Linux doubles) before the connection was closed; and when the server had
  // by then handed the rest of the file to its send buffer (which its system
  // grows up to tcp_wmem's largest size), it logs that as sent too. How far
  // it gets depends on timing alone, so the bound takes the most of both.
  void expect_pieces(int ranges, std::size_t entries) {
    EXPECT_EQ(commands(base_, "SIZE Brindax.zip"), 1);
    EXPECT_EQ(commands(base_, "REST "), ranges + 1);
    EXPECT_EQ(commands(base_, "RETR Brindax.zip"), ranges + 1);
    const std::uint64_t bytes = sent(base_, "Brindax.zip");
    const std::uint64_t needed = ZIP_TAIL_SEARCH_SIZE + kEntrySize * entries;
    std::istringstream wmem(read_file("/proc/sys/net/ipv4/tcp_wmem"));
    std::uint64_t send_buffer = 0;
    wmem >> send_buffer >> send_buffer >> send_buffer;
    const std::uint64_t per_range = 2 * (256 << 10) + std::max<std::uint64_t>(send_buffer, 4 << 20) + (64 << 10);
    std::printf("%zu changed entries: %llu of %llu bytes sent\n", entries,
                static_cast<unsigned long long>(bytes),
                static_cast<unsigned long long>(package_size()));
    EXPECT_GE(bytes, kEntrySize * entries);
    EXPECT_LT(bytes, needed + per_range * static_cast<unsigned>(ranges + 1));
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
      // Two directories: the whole package, and so the one libzip picks in
      // it, whatever a copy with holes would make libzip pick.
      {"a second directory in the end record's comment",
       {},
       [&] {
         const fs::path path = remote() / "Brindax.zip";
         write_file(path, with_hidden_directory(read_file(path), entry_name(3), "evil"));
       },
       "", &original},
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

// Answers that do not fit a ranged fetch, against a server in memory: sizes
// no allocation or volume may take, an ambiguous end (all fetched whole
// afterwards), and a range answered with the whole package (kept: nothing
// fetched twice).
TEST_F(RangedUpdate, ServerAnswersThatDoNotFitTheRangedFetch) {
  make_zip(base_ / "p.zip", release(6));
  const std::string package = read_file(base_ / "p.zip");
  const std::uint64_t huge = std::uint64_t{1} << 45;
  const std::uint64_t large = 150000000;  // a directory of 70 MB: more than a list may take
  struct Case {
    const char* what;
    std::uint64_t size;
    std::string suffix;
    std::size_t whole_from;
    bool result;
    std::size_t requests;
  };
  const Case cases[] = {
      {"SIZE 2^45, the directory at half of it", huge, zip64_end(huge, huge / 2), 9, false, 0},
      {"a directory over the list cap", large, zip64_end(large, 80000000), 9, false, 1},
      {"two end records", 0, with_hidden_directory(package, entry_name(5), "evil"), 9, false, 1},
      {"the end answered whole", 0, package, 0, true, 1},
      {"a piece answered whole", 0, package, 1, true, 2},
  };
  const fs::path local = base_ / "sparse.zip";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryServer server(c.size != 0 ? c.size : c.suffix.size(), c.suffix, c.whole_from);
    EXPECT_EQ(fetch_changed_entries(server, "Brindax.zip", local.c_str(), {entry_name(5)}), c.result);
    EXPECT_EQ(server.requests.size(), c.requests);
    EXPECT_EQ(fs::exists(local), c.result);
    if (c.result) {
      EXPECT_TRUE(read_file(local) == package);
    }
    fs::remove(local);
  }
}

}  // namespace
}  // namespace brindax::process_test
