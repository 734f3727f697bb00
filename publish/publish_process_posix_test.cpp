// brindax-publish run as a process: releases it makes, served by a local FTP
// server and installed by the built updater.
#include "updater/process_test_support.h"

namespace brindax::process_test {
namespace {

using Folder = std::map<std::string, std::string>;  // file name -> content

class PublishRoundTrip : public UpdaterProcess {
 protected:
  RunResult publish_tool(const std::vector<std::string>& args) {
    return run_in(base_, BRINDAX_PUBLISH_PROGRAM, args);
  }
  static void fill(const fs::path& folder, const Folder& files) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const auto& [name, data] : files) write_file(folder / name, data);
  }
  static Folder files_of(const fs::path& folder) {
    Folder files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
      if (item.is_regular_file()) files[fs::relative(item.path(), folder).string()] = read_file(item.path());
    }
    files.erase("LocalVersion.ver");
    return files;
  }
  RunResult install(const char* mode) { return updater({mode}, "brindax-updater-local-noapp"); }
};

TEST_F(PublishRoundTrip, InstallsTheFolderAndUpdatesAsTheSummarySays) {
  Folder v1 = {{"Brindax.exe", kApp},
               {"data/config.ini", "level=1\n"},
               {"data/empty.dat", ""},
               {"docs/readme.txt", std::string(200000, 'r')},
               {"docs/old.txt", "old\n"}};
  fill(base_ / "v1", v1);
  fs::permissions(base_ / "v1/Brindax.exe", fs::perms::owner_exec, fs::perm_options::add);
  RunResult made = publish_tool({"make", "v1", remote().string()});
  ASSERT_EQ(made.exit_code, 0) << made.error_output;
  EXPECT_NE(made.output.find("Brindax.zip: 5 files"), std::string::npos) << made.output;
  fs::copy(remote(), base_ / "release1");
  start_server();
  ASSERT_EQ(install("MajAll").error_output, "Reveriv: UnZip success\n");
  EXPECT_EQ(files_of(install_), v1);
  EXPECT_NE(fs::status(install_ / "Brindax.exe").permissions() & fs::perms::owner_exec, fs::perms::none);

  // Each next release against the one before: what the summary predicts for
  // an installation at the previous release is what the updater does.
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> changes;  // empty content: remove
    int check;
    bool partial_reaches;
  } steps[] = {
      {"change one", {{"data/config.ini", "level=2\n"}}, 2, true},
      {"change, add two, remove",
       {{"data/config.ini", "level=3\n"}, {"docs/new.txt", "new\n"}, {"new2.txt", "2\n"},
        {"docs/old.txt", ""}},
       1, false},
  };
  Folder current = v1;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    for (const auto& [name, data] : step.changes) {
      if (data.empty()) current.erase(name); else current[name] = data;
    }
    fill(base_ / "next", current);
    fs::remove_all(base_ / "previous");
    fs::copy(remote(), base_ / "previous");
    made = publish_tool({"make", "next", remote().string(), "--previous", "previous"});
    ASSERT_EQ(made.exit_code, 0) << made.error_output;
    EXPECT_NE(made.output.find("the update check answers " + std::to_string(step.check)),
              std::string::npos) << made.output;
    EXPECT_EQ(made.output.find("a partial update brings it") != std::string::npos, step.partial_reaches)
        << made.output;
    EXPECT_EQ(publish_tool({"verify", remote().string(), "--previous", "previous"}).exit_code, 0);
    EXPECT_EQ(updater({"UpdateAvailable"}, "brindax-updater-local-noapp").exit_code, step.check);

    EXPECT_EQ(install("MajLocal").error_output, "");
    // Installed files are never deleted, so the removed one stays installed.
    Folder expected = current;
    expected["docs/old.txt"] = "old\n";
    EXPECT_EQ(files_of(install_) == expected, step.partial_reaches);
    ASSERT_EQ(install("MajAll").error_output, "Reveriv: UnZip success\n");
    EXPECT_EQ(files_of(install_), expected);
  }
  EXPECT_NE(made.output.find("removed: docs/old.txt"), std::string::npos) << made.output;
}

TEST_F(PublishRoundTrip, SameFolderSameBytesAndRefusedNamesWriteNothing) {
  fill(base_ / "src", {{"a.txt", "a\n"}, {"sub/b.bin", std::string(70000, 'b')}});
  for (const char* out : {"out1", "out2"}) ASSERT_EQ(publish_tool({"make", "src", out}).exit_code, 0);
  EXPECT_EQ(read_file(base_ / "out1/Brindax.zip"), read_file(base_ / "out2/Brindax.zip"));
  EXPECT_EQ(read_file(base_ / "out1/Brindax.ver"), read_file(base_ / "out2/Brindax.ver"));

  for (const std::string bad : {"a@b.txt", "cr\r.txt", "k\xc4\x81.txt", "drive:c.txt"}) {
    fill(base_ / "bad", {{"ok.txt", "ok\n"}, {bad, "x"}});
    const RunResult refused = publish_tool({"make", "bad", "out3"});
    EXPECT_EQ(refused.exit_code, 1) << bad;
    EXPECT_NE(refused.error_output.find(bad + ": the "), std::string::npos) << refused.error_output;
    EXPECT_FALSE(fs::exists(base_ / "out3")) << bad;
  }
}

TEST_F(PublishRoundTrip, SignsWithMinisign) {
  if (!fs::exists("/usr/bin/minisign")) GTEST_SKIP() << "minisign is not installed";
  fill(base_ / "src", {{"a.txt", "a\n"}});
  ASSERT_EQ(run_in(base_, "/usr/bin/minisign", {"-G", "-W", "-p", "key.pub", "-s", "key.sec"}).exit_code, 0);
  const RunResult made = publish_tool({"make", "src", "out", "--sign", "key.sec"});
  ASSERT_EQ(made.exit_code, 0) << made.error_output;
  for (const char* file : {"out/Brindax.ver", "out/Brindax.zip"}) {
    EXPECT_EQ(run_in(base_, "/usr/bin/minisign", {"-V", "-q", "-p", "key.pub", "-m", file}).exit_code, 0)
        << file;
  }

  // verify --key: the release as made holds; then each way it can break.
  ASSERT_EQ(run_in(base_, "/usr/bin/minisign", {"-G", "-W", "-p", "other.pub", "-s", "other.sec"}).exit_code, 0);
  const std::string release = read_file(base_ / "out/Brindax.zip");
  struct Case {
    const char* what;
    std::function<void()> change;
    const char* key;
    int exit_code;
    const char* reported;  // a line of the output
  };
  const Case cases[] = {
      {"as made", [] {}, "key.pub", 0, "release sound"},
      {"other key", [] {}, "other.pub", 1, "Brindax.ver.minisig: "},
      {"package changed", [&] { write_file(base_ / "out/Brindax.zip", release + " "); }, "key.pub", 1,
       "Brindax.zip.minisig: "},
      {"signature gone", [&] { fs::remove(base_ / "out/Brindax.ver.minisig"); }, "key.pub", 1,
       "Brindax.ver.minisig: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.change();
    const RunResult checked = publish_tool({"verify", "out", "--key", c.key});
    EXPECT_EQ(checked.exit_code, c.exit_code) << checked.output;
    EXPECT_NE(checked.output.find(c.reported), std::string::npos) << checked.output;
  }
}

}  // namespace
}  // namespace brindax::process_test
