// The updater built with a publisher key (brindax-updater-local-signed)
// against releases signed with minisign in the test, and the build without a
// key against the same release.
#include "updater/process_test_support.h"

namespace brindax::process_test {
namespace {

const char* const kSigned = "brindax-updater-local-signed";
const std::string kOldList = "Brindax.zip\nBrindax.exe@0.9\ndata/config.ini@2\ndata/empty.dat@1\n";

std::string refusal(const char* what, const char* reason) {
  return std::string("Signature Error: The ") + what + " is not signed by the publisher: " + reason + ".\n";
}

class SignedRelease : public UpdaterProcess {
 protected:
  // Signs a file of the server's update folder ("<file>.minisig").
  void sign(const std::string& file, bool legacy = false, const std::string& key = BRINDAX_TEST_RELEASE_SECRET_KEY) {
    std::vector<std::string> args = {"-S", "-s", key, "-m", (remote() / file).string(), "-t", "Brindax 1.0"};
    if (legacy) args.push_back("-l");
    ASSERT_EQ(run_in(base_, BRINDAX_MINISIGN, args).exit_code, 0) << file;
  }
  std::string other_key() {
    const fs::path key = base_ / "other.key";
    if (!fs::exists(key)) {
      run_in(base_, BRINDAX_MINISIGN, {"-G", "-W", "-p", (base_ / "other.pub").string(), "-s", key.string()});
    }
    return key.string();
  }
  // Changes one byte of a file of the server's update folder.
  void change_byte(const std::string& file, std::size_t at) {
    std::string data = read_file(remote() / file);
    ASSERT_LT(at, data.size());
    data[at] ^= 0x01;
    write_file(remote() / file, data);
  }
  // An installation of an older release.
  void install_old_release() {
    fs::remove_all(install_);
    fs::create_directories(install_);
    write_file(install_ / "LocalVersion.ver", kOldList);
    write_file(install_ / "Brindax.exe", "old program");
    write_file(install_ / "data/config.ini", "level=0\n");
  }
};

TEST_F(SignedRelease, OnlyWhatThePublisherSignedIsUsed) {
  const std::vector<std::string> installed = {"Brindax.exe", "LocalVersion.ver", "app-started.log", "data/",
                                              "data/config.ini", "data/empty.dat", "docs/", "docs/readme.txt"};
  struct Case {
    const char* what;
    const char* mode;
    std::function<void()> prepare;  // after the release was published and signed
    std::string message;            // empty: the run succeeds
    int exit_code = 0;
  };
  const std::vector<Case> cases = {
      {"good release", "MajAll", [] {}, ""},
      {"legacy signatures hold", "MajAll", [&] {
         sign("Brindax.ver", true);
         sign("Brindax.zip", true);
       }, ""},
      {"list changed by one byte", "MajAll", [&] { change_byte("Brindax.ver", kList.find("1.0") + 2); },
       refusal("version list", "the signature does not match")},
      {"package changed by one byte", "MajAll",
       [&] { change_byte("Brindax.zip", fs::file_size(remote() / "Brindax.zip") / 2); },
       refusal("update package", "the signature does not match")},
      {"list signed with another key", "MajAll", [&] { sign("Brindax.ver", false, other_key()); },
       refusal("version list", "it is signed with another key")},
      {"no list signature", "MajAll", [&] { fs::remove(remote() / "Brindax.ver.minisig"); },
       refusal("version list", "there is no signature")},
      {"no package signature", "MajAll", [&] { fs::remove(remote() / "Brindax.zip.minisig"); },
       refusal("update package", "there is no signature")},
      {"trusted comment changed", "MajAll",
       [&] {
         const fs::path signature = remote() / "Brindax.ver.minisig";
         std::string text = read_file(signature);
         text.replace(text.find("Brindax 1.0"), 11, "Brindax 2.0");
         write_file(signature, text);
       },
       refusal("version list", "the signature does not match")},
      {"partial update, package signed with another key", "MajLocal",
       [&] { sign("Brindax.zip", false, other_key()); },
       refusal("update package", "it is signed with another key")},
      {"check of a signed list", "UpdateAvailable", [] {}, "", 2},
      {"check against a tampered list", "UpdateAvailable",
       [&] { write_file(remote() / "Brindax.ver", kOldList); }, refusal("version list", "the signature does not match")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.reset();
    publish(kList, release_one());
    sign("Brindax.ver");
    sign("Brindax.zip");
    c.prepare();
    install_old_release();
    const auto before = snapshot();
    start_server();

    RunResult result = updater({c.mode}, kSigned);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.error_output, c.message);
    if (!c.message.empty() || std::string(c.mode) == "UpdateAvailable") {
      EXPECT_EQ(snapshot(), before);
      EXPECT_EQ(app_starts(std::chrono::milliseconds(200)), 0);
      continue;
    }
    EXPECT_EQ(app_starts(), 1);
    EXPECT_EQ(files_in_install(), installed);
    EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
    EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n");
    EXPECT_EQ(server_->commands("RETR"), 4);  // list, package and their signatures
  }
}

TEST_F(SignedRelease, BuildWithoutKeyFetchesNoSignature) {
  publish(kList, release_one());
  start_server();
  RunResult result = updater({"MajAll"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
  EXPECT_EQ(server_->commands("RETR"), 2);
}

}  // namespace
}  // namespace brindax::process_test
