// The updater built with a publisher key (brindax-updater-local-signed)
// against releases signed in the test, and the build without a key against
// the same release.
#include "updater/process_test_support.h"

#include <ctime>
#include <optional>

#include "updater/release_binding.h"
#include "updater/release_signature.h"

namespace brindax::process_test {
namespace {

const char* const kSigned = "brindax-updater-local-signed";
const std::string kOldList = "Brindax.zip\nBrindax.exe@0.9\ndata/config.ini@2\ndata/empty.dat@1\n";

std::string refusal(const char* what, const char* reason) {
  return std::string("Signature Error: The ") + what + " is not signed by the publisher: " + reason + ".\n";
}
const std::string kOtherPackage =
    refusal("update package", "it is not the package that the version list names");
const std::string kOlder = "Signature Error: The update server's release is older than the installed one.\n";
const std::string kExpired = "Signature Error: The update server's release has expired.\n";

class SignedRelease : public UpdaterProcess {
 protected:
  // Signs a file of `folder` ("<file>.minisig") with `comment` as its
  // trusted comment.
  void sign(const fs::path& folder, const std::string& file, const std::string& comment,
            bool legacy = false, const std::string& key = BRINDAX_TEST_RELEASE_SECRET_KEY) {
    std::vector<std::string> args = {"-S", "-s", key, "-m", (folder / file).string(), "-t", comment};
    if (legacy) args.push_back("-l");
    ASSERT_EQ(run_in(base_, BRINDAX_MINISIGN, args).exit_code, 0) << file;
  }
  // The binding of the package in `folder` as brindax-publish writes it.
  static std::string binding_of(const fs::path& folder, std::uint64_t sequence,
                                std::optional<std::int64_t> expires = std::nullopt) {
    const std::string package = read_file(folder / "Brindax.zip");
    ReleaseHash hash;
    hash.update(package.data(), package.size());
    return format_release_binding({sequence, package.size(), hash.finish(), expires});
  }
  // Signs the list on the server for its package, as release `sequence`.
  void sign_list(std::uint64_t sequence = 1, bool legacy = false,
                 const std::string& key = BRINDAX_TEST_RELEASE_SECRET_KEY) {
    sign(remote(), "Brindax.ver", binding_of(remote(), sequence), legacy, key);
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
  RunResult publish_tool(const std::vector<std::string>& args) {
    return run_in(base_, BRINDAX_PUBLISH_PROGRAM, args);
  }
};

TEST_F(SignedRelease, OnlyWhatThePublisherSignedIsUsed) {
  const std::vector<std::string> installed = {"Brindax.exe", "LocalVersion.seq", "LocalVersion.ver",
                                              "app-started.log", "data/", "data/config.ini",
                                              "data/empty.dat", "docs/", "docs/readme.txt"};
  struct Case {
    const char* what;
    const char* mode;
    std::function<void()> prepare;  // after the release was published and signed
    std::string message;            // empty: the run succeeds
    int exit_code = 0;
  };
  const std::vector<Case> cases = {
      {"good release", "MajAll", [] {}, ""},
      {"legacy list signature", "MajAll", [&] { sign_list(1, true); },
       refusal("version list", "the signature is of the legacy kind, which is not accepted")},
      {"list changed by one byte", "MajAll", [&] { change_byte("Brindax.ver", kList.find("1.0") + 2); },
       refusal("version list", "the signature does not match")},
      {"package changed by one byte", "MajAll",
       [&] { change_byte("Brindax.zip", fs::file_size(remote() / "Brindax.zip") / 2); }, kOtherPackage},
      {"package one byte longer", "MajAll",
       [&] { write_file(remote() / "Brindax.zip", read_file(remote() / "Brindax.zip") + "x"); },
       "Ftp Error: Canot dowload Zip file\n"},
      {"list signed with another key", "MajAll", [&] { sign_list(1, false, other_key()); },
       refusal("version list", "it is signed with another key")},
      {"no list signature", "MajAll", [&] { fs::remove(remote() / "Brindax.ver.minisig"); },
       refusal("version list", "there is no signature")},
      {"list signature of many megabytes", "MajAll",
       [&] { write_file(remote() / "Brindax.ver.minisig", std::string(8 << 20, 'x')); },
       refusal("version list", "there is no signature")},
      {"trusted comment names no release", "MajAll",
       [&] { sign(remote(), "Brindax.ver", "Brindax 1.0"); },
       refusal("version list", "its signature names no release")},
      {"trusted comment changed", "MajAll",
       [&] {
         const fs::path signature = remote() / "Brindax.ver.minisig";
         std::string text = read_file(signature);
         text.replace(text.find("brindax-release:1"), 17, "brindax-release:2");
         write_file(signature, text);
       },
       refusal("version list", "the signature does not match")},
      {"partial update, another package", "MajLocal",
       [&] { change_byte("Brindax.zip", fs::file_size(remote() / "Brindax.zip") / 2); }, kOtherPackage},
      {"check of a signed list", "UpdateAvailable", [] {}, "", 2},
      {"check against a tampered list", "UpdateAvailable",
       [&] { write_file(remote() / "Brindax.ver", kOldList); }, refusal("version list", "the signature does not match")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.reset();
    publish(kList, release_one());
    sign_list();
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
    EXPECT_EQ(read_file(install_ / "LocalVersion.seq"), "Brindax installed release sequence\n1\n");
    EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n");
    // The list, its signature, its manifest (none here) and the package.
    EXPECT_EQ(server_->commands("RETR"), 4);
  }
}

// Releases 1, 2 and 3 made by brindax-publish, each against the one before:
// a list never travels with another release's package, an installation never
// goes back to an older release, and a release past its expiry is refused.
TEST_F(SignedRelease, ReleasesAreBoundTogetherAndNeverGoBack) {
  const fs::path source = base_ / "source";
  for (int release = 1; release <= 3; ++release) {
    write_file(source / "Brindax.exe", kApp);
    fs::permissions(source / "Brindax.exe", fs::perms::owner_exec, fs::perm_options::add);
    write_file(source / "data/config.ini", "level=" + std::to_string(release) + "\n");
    std::vector<std::string> args = {"make", source.string(), (base_ / ("r" + std::to_string(release))).string(),
                                     "--sign", BRINDAX_TEST_RELEASE_SECRET_KEY};
    if (release == 3) args.insert(args.end(), {"--expires", "30"});
    if (release > 1) args.insert(args.end(), {"--previous", (base_ / ("r" + std::to_string(release - 1))).string()});
    const RunResult made = publish_tool(args);
    ASSERT_EQ(made.exit_code, 0) << made.error_output;
  }
  // Release 2 again, signed as expired an hour ago.
  fs::copy(base_ / "r2", base_ / "expired");
  sign(base_ / "expired", "Brindax.ver", binding_of(base_ / "expired", 2, std::time(nullptr) - 3600));

  const auto serve = [&](const std::string& release) {
    server_.reset();
    fs::remove_all(remote());
    fs::copy(base_ / release, remote());
    start_server();
  };
  const auto record = [](int sequence) {
    return "Brindax installed release sequence\n" + std::to_string(sequence) + "\n";
  };
  struct Case {
    const char* what;
    const char* installed;  // the release installed before the run
    int recorded;           // sequence recorded beside it; 0: no record
    std::function<void()> serve_now;
    const char* mode;
    std::string message;  // empty: installs (or, for the check, answers)
    int exit_code = 0;
  };
  const std::vector<Case> cases = {
      {"newest release installs", "r2", 2, [&] { serve("r3"); }, "MajAll", ""},
      {"newest list, older package of the same name", "r2", 2,
       [&] {
         serve("r3");
         fs::copy_file(base_ / "r2/Brindax.zip", remote() / "Brindax.zip", fs::copy_options::overwrite_existing);
       },
       "MajAll", kOtherPackage},
      {"rollback refused by the check", "r3", 3, [&] { serve("r2"); }, "UpdateAvailable", kOlder},
      {"rollback refused by the full install", "r3", 3, [&] { serve("r2"); }, "MajAll", kOlder},
      {"rollback refused by the partial update", "r3", 3, [&] { serve("r2"); }, "MajLocal", kOlder},
      {"the same release installs again", "r2", 2, [&] { serve("r2"); }, "MajAll", ""},
      {"expired release refused", "r1", 1, [&] { serve("expired"); }, "MajAll", kExpired},
      {"expired release refused by the check", "r1", 1, [&] { serve("expired"); }, "UpdateAvailable",
       kExpired},
      {"no record: an older release installs", "r3", 0, [&] { serve("r1"); }, "MajAll", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(install_);
    fs::create_directories(install_);
    // The installation: a release's files, its list and perhaps its record.
    for (const char* file : {"Brindax.exe", "data/config.ini"}) {
      fs::create_directories((install_ / file).parent_path());
      fs::copy_file(source / file, install_ / file);
    }
    write_file(install_ / "data/config.ini", "level=" + std::string(c.installed).substr(1) + "\n");
    fs::copy_file(base_ / c.installed / "Brindax.ver", install_ / "LocalVersion.ver");
    if (c.recorded > 0) write_file(install_ / "LocalVersion.seq", record(c.recorded));
    c.serve_now();
    const auto before = snapshot();

    const RunResult result = updater({c.mode}, kSigned);
    EXPECT_EQ(result.error_output, c.message);
    if (!c.message.empty()) {
      EXPECT_EQ(result.exit_code, 0);
      EXPECT_EQ(snapshot(), before);
      continue;
    }
    const std::string served = read_file(remote() / "Brindax.ver");
    EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), served);
    const auto binding = parse_release_binding([&] {
      ReleaseSignature signature;
      read_signature_file((remote() / "Brindax.ver.minisig").c_str(), &signature);
      return signature.trusted_comment;
    }());
    ASSERT_TRUE(binding);
    // The install started the application; it ends before the folder goes.
    EXPECT_EQ(app_starts(), 1);
    EXPECT_EQ(read_file(install_ / "LocalVersion.seq"), record(static_cast<int>(binding->sequence)));
    EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=" + std::to_string(binding->sequence) + "\n");
    // The started application writes into the folder: it must have done so
    // before the next case empties the folder.
    EXPECT_EQ(app_starts_reaching(1), 1);
  }
}

// A record of the installed release that cannot be read fails closed: no
// release is installed over it (an older one could be), in any mode, and
// the message names the record, whose deletion accepts any release again.
TEST_F(SignedRelease, AnUnreadableRecordRefusesEveryRelease) {
  const std::string heading = "Brindax installed release sequence\n";
  const std::string unreadable =
      "Signature Error: The record of the installed release, LocalVersion.seq, cannot be read: delete "
      "it to accept the update server's release.\n";
  const fs::path record = install_ / "LocalVersion.seq";
  struct Case {
    const char* what;
    const char* mode;
    std::function<void()> make_record;
    std::string message;  // empty: installs
  };
  const std::vector<Case> cases = {
      {"garbage", "MajAll", [&] { write_file(record, "\x7f" "ELF garbage"); }, unreadable},
      {"empty", "MajAll", [&] { write_file(record, ""); }, unreadable},
      {"cut short", "MajAll", [&] { write_file(record, heading + "1"); }, unreadable},
      {"out of range", "MajAll", [&] { write_file(record, heading + "18446744073709551616\n"); }, unreadable},
      {"a folder", "MajAll", [&] { write_file(record / "inside", "x"); }, unreadable},
      {"a FIFO", "MajAll", [&] { ASSERT_EQ(mkfifo(record.c_str(), 0600), 0); }, unreadable},
      {"garbage, partial update", "MajLocal", [&] { write_file(record, "?"); }, unreadable},
      {"garbage, check", "UpdateAvailable", [&] { write_file(record, "?"); }, unreadable},
      {"the highest sequence", "MajAll", [&] { write_file(record, heading + "18446744073709551615\n"); },
       kOlder},
      {"readable and equal", "MajAll", [&] { write_file(record, heading + "1\n"); }, ""},
      {"deleted", "MajAll", [] {}, ""},
  };
  publish(kList, release_one());
  sign_list(1);
  start_server();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    install_old_release();
    c.make_record();
    const bool fifo = fs::is_fifo(record);
    const auto before = fifo ? decltype(snapshot()){} : snapshot();
    const RunResult result = run_in(install_, std::string(BRINDAX_TEST_BIN_DIR) + "/" + kSigned, {c.mode},
                                    std::chrono::seconds(40));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.error_output, c.message);
    if (fifo) {
      EXPECT_TRUE(fs::is_fifo(record));
      EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kOldList);
    } else if (!c.message.empty()) {
      EXPECT_EQ(snapshot(), before);
    } else {
      EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
      EXPECT_EQ(read_file(record), heading + "1\n");
      EXPECT_EQ(app_starts_reaching(1), 1);  // before the folder is emptied again
    }
  }
}

TEST_F(SignedRelease, BuildWithoutKeyFetchesNoSignature) {
  publish(kList, release_one());
  start_server();
  RunResult result = updater({"MajAll"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
  EXPECT_FALSE(fs::exists(install_ / "LocalVersion.seq"));
  EXPECT_EQ(server_->commands("RETR"), 3);  // the list, its manifest (none here), the package
  EXPECT_EQ(server_->commands("RETR Brindax.ver.minisig"), 0);
}

}  // namespace
}  // namespace brindax::process_test
