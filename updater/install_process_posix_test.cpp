// Packages and lists that must not hurt an installation: every failing run
// leaves the folder exactly as it was.
#include <sys/file.h>

#include "updater/process_test_support.h"

namespace brindax::process_test {
namespace {

// Sets the uncompressed size that the local and central headers of the
// entry `name` declare.
void declare_size(std::string& zip, const std::string& name, std::uint32_t size) {
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(zip[at]) |
                                    static_cast<unsigned char>(zip[at + 1]) << 8);
  };
  const auto put32 = [&](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>(value >> (8 * i));
  };
  int patched = 0;
  for (std::size_t at = 0; at + 46 < zip.size(); ++at) {
    if (zip.compare(at, 4, "PK\x03\x04") == 0 && zip.compare(at + 30, u16(at + 26), name) == 0 &&
        u16(at + 26) == name.size()) {
      put32(at + 22, size), ++patched;
    } else if (zip.compare(at, 4, "PK\x01\x02") == 0 && u16(at + 28) == name.size() &&
               zip.compare(at + 46, name.size(), name) == 0) {
      put32(at + 24, size), ++patched;
    }
  }
  ASSERT_EQ(patched, 2) << name;
}

void replace_all(std::string& bytes, const std::string& from, const std::string& to) {
  ASSERT_EQ(from.size(), to.size());
  for (std::size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + 1)) {
    bytes.replace(at, from.size(), to);
  }
}

class InstallSafety : public UpdaterProcess {
 protected:
  // An installation of an earlier release.
  void install_old_release() {
    fs::remove_all(install_);
    write_file(install_ / "LocalVersion.ver", kOldList);
    write_file(install_ / "Brindax.exe", "old program");
    write_file(install_ / "data/config.ini", "level=0\n");
  }
  // Replaces the package on the server by the bytes `change` makes of it.
  void doctor_package(const std::function<void(std::string&)>& change) {
    std::string zip = read_file(remote() / "Brindax.zip");
    change(zip);
    write_file(remote() / "Brindax.zip", zip);
  }

  const std::string kOldList = "Brindax.zip\nBrindax.exe@0.9\ndata/config.ini@2\n";
};

TEST_F(InstallSafety, HostilePackagesAndListsChangeNothing) {
  start_server();
  const std::string list = "Brindax.zip\nBrindax.exe@1.0\ndata/config.ini@3\n";
  struct Case {
    const char* what;
    const char* mode;
    std::function<void()> publish_it;
    std::string message;
  };
  const std::string uncompress = "unzip Error: Canot uncompress file";
  std::vector<Case> cases = {
      {"a bad name late in the package", "MajAll",
       [&] { publish(list, {{"Brindax.exe", kApp}, {"data/config.ini", "level=1\n"}, {"z/CON.txt", "x"}}); },
       uncompress + "z/CON.txt\n"},
      {"an entry named LocalVersion.ver", "MajAll",
       [&] { publish(list, {{"Brindax.exe", kApp}, {"localversion.VER", "Brindax.zip\n"}}); },
       uncompress + "localversion.VER\n"},
      {"device names", "MajAll", [&] { publish(list, {{"Brindax.exe", kApp}, {"docs/Nul.txt", ""}}); },
       uncompress + "docs/Nul.txt\n"},
      {"names differing in case only", "MajAll",
       [&] { publish(list, {{"Readme.txt", "a"}, {"Brindax.exe", kApp}, {"README.TXT", "b"}}); },
       uncompress + "README.TXT\n"},
      {"a name that 8-bit text cannot hold", "MajAll",
       [&] { publish(list, {{"?.txt", "question"}, {"\xE2\x82\xAC.txt", "euro"}}); },
       uncompress + "?.txt\n"},
      {"an overlong dot in a name", "MajAll",
       [&] {
         publish(list, {{"Brindax.exe", kApp}, {"a\xC3\xA9/x.txt", "sneaky"}});
         doctor_package([](std::string& zip) { replace_all(zip, "a\xC3\xA9/", "a\xC0\xAE/"); });
       },
       uncompress + "a?" "?/x.txt\n"},
      {"an entry inflating past its declared size", "MajAll",
       [&] {
         publish(list, {{"Brindax.exe", kApp}, {"data/config.ini", std::string(5000, 'A')}});
         doctor_package([](std::string& zip) { declare_size(zip, "data/config.ini", 500); });
       },
       uncompress + "data/config.ini\n"},
      {"the list names an installed file as its package, missing on the server", "MajAll",
       [&] { publish("Brindax.exe\nBrindax.exe@1.0\n", {}); fs::remove(remote() / "Brindax.exe"); },
       "Ftp Error: Canot dowload Zip file\n"},
      {"the list names an installed file as its package, no archive", "MajAll",
       [&] {
         publish("data/config.ini\nBrindax.exe@1.0\n", {});
         write_file(remote() / "data/config.ini", "not an archive");
       },
       "unzip Error: Canot open Zip file\n"},
      {"partial update naming the updater's list", "MajLocal",
       [&] { publish("Brindax.zip\nLocalVersion.ver@1.0\n", {{"LocalVersion.ver", "x"}}); },
       uncompress + "LocalVersion.ver\n"},
      {"partial update naming one file twice", "MajLocal",
       [&] {
         publish("Brindax.zip\nbrindax.EXE@1.0\nBrindax.exe@3\n", {{"Brindax.exe", kApp}, {"brindax.EXE", kApp}});
       },
       uncompress + "Brindax.exe\n"},
  };
  for (const auto& c : cases) {
    install_old_release();
    fs::remove_all(remote());
    c.publish_it();
    const auto before = snapshot();
    RunResult result = updater({c.mode});
    EXPECT_EQ(result.exit_code, 0) << c.what;
    EXPECT_EQ(result.error_output, c.message) << c.what;
    EXPECT_EQ(snapshot(), before) << c.what;
  }
  EXPECT_EQ(app_starts(std::chrono::milliseconds(100)), 0);
}

TEST_F(InstallSafety, NotEnoughRoomFailsBeforeAnythingIsWritten) {
  // Entries that declare far more than the volume holds, 2e9 bytes each:
  // the sizes are checked before the first one is unpacked, so the entry
  // named is one past the free space, not the first.
  const auto room = static_cast<std::int64_t>(fs::space(install_.parent_path()).available);
  if (room < 4'000'000'000LL) GTEST_SKIP() << "less than 4 GB free";
  const int count = static_cast<int>(room / 2'000'000'000LL) + 3;
  std::vector<Entry> entries = {{"Brindax.exe", kApp}};
  for (int i = 0; i < count; ++i) entries.push_back({"big" + std::to_string(i), "x", 0644, true});
  publish("Brindax.zip\n", entries);
  doctor_package([&](std::string& zip) {
    for (int i = 0; i < count; ++i) declare_size(zip, "big" + std::to_string(i), 2'000'000'000u);
  });
  install_old_release();
  start_server();
  const auto before = snapshot();
  RunResult result = updater({"MajAll"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output.rfind("unzip Error: Canot uncompress filebig", 0), 0u)
      << result.error_output;
  EXPECT_NE(result.error_output, "unzip Error: Canot uncompress filebig0\n");
  EXPECT_EQ(snapshot(), before);
}

TEST_F(InstallSafety, ADestinationHeldByAnotherProgramPutsEverythingBack) {
  publish(kList, release_one());
  install_old_release();
  start_server();
  const auto before = snapshot();
  // Another program writes to the file (the file seam's stand-in for a
  // Windows share mode): it cannot be replaced, after Brindax.exe was.
  const int held = open((install_ / "data/config.ini").c_str(), O_RDWR);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  RunResult result = updater({"MajAll"});
  close(held);
  EXPECT_EQ(result.error_output, "unzip Error: Canot uncompress filedata/config.ini\n");
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(app_starts(std::chrono::milliseconds(100)), 0);
}

TEST_F(InstallSafety, ListsWithCrLfAndLeftoversOfAnEarlierRun) {
  const std::string list = "Brindax.zip\r\nBrindax.exe@1.0\r\ndata/config.ini@3\r\n";
  publish(list, release_one());
  install_old_release();
  write_file(install_ / "data/config.ini.brindax-old-4194305-0", "replaced by an earlier run");
  start_server();
  RunResult result = updater({"MajAll"});
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), list);  // byte for byte
  EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n");
  EXPECT_FALSE(fs::exists(install_ / "data/config.ini.brindax-old-4194305-0"));
  EXPECT_EQ(app_starts(), 1);
}

TEST_F(InstallSafety, PartialUpdateFollowsTheServersList) {
  // The publisher renamed the package; the old one is still on the server.
  // The server's list is one record shorter than the local one.
  write_file(install_ / "LocalVersion.ver", "Old.zip\na.txt@1\nb.txt@1\n");
  write_file(install_ / "a.txt", "a one\n");
  write_file(install_ / "b.txt", "b one\n");
  publish("New.zip\r\na.txt@2\n", {{"a.txt", "a two\n"}}, "New.zip");
  make_zip(remote() / "Old.zip", {{"a.txt", "stale\n"}});
  start_server();
  RunResult result = updater({"MajLocal"});
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(server_->commands("RETR New.zip"), 1);
  EXPECT_EQ(server_->commands("RETR Old.zip"), 0);
  EXPECT_EQ(read_file(install_ / "a.txt"), "a two\n");
  EXPECT_EQ(read_file(install_ / "b.txt"), "b one\n");
  EXPECT_EQ(files_in_install(), (std::vector<std::string>{"LocalVersion.ver", "a.txt", "b.txt"}));
}

}  // namespace
}  // namespace brindax::process_test
