// The updater built with two root keys and a threshold of 2
// (brindax-updater-local-rooted) against one chain of keys files: version 1
// names release key A, version 2 changes the roots and adds release key B,
// version 3 changes the roots again and drops A. Keys files are made here
// with minisign over the body that keys_file.h formats, so that a test can
// make ones the publisher's tool would refuse to write.
#include "updater/process_test_support.h"

#include <ctime>
#include <optional>

#include "updater/keys_file.h"
#include "updater/release_binding.h"
#include "updater/release_signature.h"

namespace brindax::process_test {
namespace {

const char* const kRooted = "brindax-updater-local-rooted";
const std::string kKeyDir = BRINDAX_TEST_KEY_DIR;
const std::string kOldList = "Brindax.zip\nBrindax.exe@0.9\ndata/config.ini@2\ndata/empty.dat@1\n";

std::string keys_refusal(const std::string& reason) {
  return "Signature Error: The keys file is not trusted: " + reason + ".\n";
}

class RootKeys : public UpdaterProcess {
 protected:
  // The secret key file of `name`: root1 and root2 are the build's, the
  // others are made here on first use.
  std::string secret(const std::string& name) {
    if (name == "root1" || name == "root2") return kKeyDir + "/" + name + ".key";
    const fs::path key = base_ / "keys" / (name + ".key");
    if (!fs::exists(key)) {
      fs::create_directories(key.parent_path());
      EXPECT_EQ(run_in(base_, BRINDAX_MINISIGN,
                       {"-G", "-W", "-p", (base_ / "keys" / (name + ".pub")).string(), "-s", key.string()})
                    .exit_code,
                0);
    }
    return key.string();
  }
  ReleaseKey key(const std::string& name) {
    std::string pub = secret(name);
    pub.replace(pub.size() - 4, 4, ".pub");
    std::string text = read_file(pub);
    ReleaseKey parsed;
    EXPECT_TRUE(parse_release_key(text.substr(text.find('\n') + 1), &parsed)) << name;
    return parsed;
  }
  std::vector<ReleaseKey> keys(const std::vector<std::string>& names) {
    std::vector<ReleaseKey> result;
    for (const std::string& name : names) result.push_back(key(name));
    return result;
  }
  // A minisign signature of `file` by `signer` (a key's name or a secret key file).
  std::string sign_file(const fs::path& file, const std::string& signer, const std::string& comment) {
    const fs::path signature = base_ / "signature.minisig";
    const std::string key = signer.find('/') == std::string::npos ? secret(signer) : signer;
    EXPECT_EQ(run_in(base_, BRINDAX_MINISIGN,
                     {"-S", "-s", key, "-x", signature.string(), "-m", file.string(), "-t", comment})
                  .exit_code,
              0);
    std::string text = read_file(signature);
    fs::remove(signature);
    return text;
  }
  // A keys file signed by `signers`; expires in days from now (negative: passed).
  std::string keys_file(std::uint64_t version, int expires_in_days, std::uint32_t threshold,
                        const std::vector<std::string>& roots, const std::vector<std::string>& releases,
                        const std::vector<std::string>& signers) {
    const std::string body = format_keys_body(version, std::time(nullptr) + expires_in_days * 86400LL,
                                              threshold, keys(roots), keys(releases));
    const fs::path body_file = base_ / "keys-body";
    write_file(body_file, body);
    std::string text = body + std::string(KEYS_SIGNATURES_LINE);
    for (const std::string& signer : signers) text += sign_file(body_file, signer, "brindax-keys");
    EXPECT_TRUE(parse_keys_file(text).has_value()) << text;
    return text;
  }
  // The release on the server, its list signed by release key `signer`.
  void serve_release(const std::string& signer) {
    publish(kList, release_one());
    const std::string package = read_file(remote() / "Brindax.zip");
    ReleaseHash hash;
    hash.update(package.data(), package.size());
    const std::string binding = format_release_binding({1, package.size(), hash.finish(), std::nullopt});
    write_file(remote() / "Brindax.ver.minisig", sign_file(remote() / "Brindax.ver", signer, binding));
  }
  // Versions 1 to n of the chain beside the list, the last also as the current one.
  void serve_keys(const std::vector<std::string>& versions) {
    for (std::size_t i = 0; i < versions.size(); ++i) {
      write_file(remote() / ("Brindax.ver.keys." + std::to_string(i + 1)), versions[i]);
    }
    write_file(remote() / "Brindax.ver.keys", versions.back());
  }
  void install_old_release(const std::string& keys_record) {
    fs::remove_all(install_);
    write_file(install_ / "LocalVersion.ver", kOldList);
    write_file(install_ / "Brindax.exe", "old program");
    write_file(install_ / "data/config.ini", "level=0\n");
    if (!keys_record.empty()) write_file(install_ / "LocalVersion.keys", keys_record);
  }
};

TEST_F(RootKeys, ReleasesAreTrustedThroughTheChainOfKeysFiles) {
  // The chain: the roots change twice, release key A is dropped in version 3.
  const std::string v1 = keys_file(1, 30, 2, {"root1", "root2"}, {"releaseA"}, {"root1", "root2"});
  const std::string v2 = keys_file(2, 30, 1, {"root2", "root3"}, {"releaseA", "releaseB"}, {"root1", "root2"});
  const std::string v3 = keys_file(3, 30, 2, {"root3", "root4"}, {"releaseB"}, {"root3", "root4"});
  struct Case {
    const char* what;
    std::string record;              // LocalVersion.keys before the run; empty: none
    std::vector<std::string> chain;  // versions 1.. on the server, the last the current one
    const char* signer;              // release key that signed the list
    std::string message;             // empty: installs, and version 3 is recorded
    const char* mode = "MajAll";
  };
  const std::vector<Case> cases = {
      {"no record: built-in roots walk to version 3", "", {v1, v2, v3}, "releaseB", ""},
      {"record at version 1 walks to version 3", v1, {v1, v2, v3}, "releaseB", ""},
      {"record at version 3, nothing to walk", v3, {v1, v2, v3}, "releaseB", ""},
      {"a version on the way has expired", v1,
       {v1, keys_file(2, -1, 1, {"root2", "root3"}, {"releaseB"}, {"root1", "root2"}), v3}, "releaseB", ""},
      {"list by the revoked release key", "", {v1, v2, v3}, "releaseA",
       "Signature Error: The version list is not signed by the publisher: it is signed with a key that "
       "is not a current release key.\n"},
      {"revoked key, the check", v3, {v1, v2, v3}, "releaseA",
       "Signature Error: The version list is not signed by the publisher: it is signed with a key that "
       "is not a current release key.\n",
       "UpdateAvailable"},
      {"version 1 signed by one of two built-in roots", "",
       {keys_file(1, 30, 2, {"root1", "root2"}, {"releaseA"}, {"root1"})}, "releaseA",
       keys_refusal("version 1 is not signed by enough of the root keys trusted before it")},
      {"version 2 signed by too few of version 1's roots", v1,
       {v1, keys_file(2, 30, 1, {"root2", "root3"}, {"releaseB"}, {"root2"}), v3}, "releaseB",
       keys_refusal("version 2 is not signed by enough of the root keys trusted before it")},
      {"own threshold of 2 with one signature", v2,
       {v1, v2, keys_file(3, 30, 2, {"root3", "root4"}, {"releaseB"}, {"root3"})}, "releaseB",
       keys_refusal("version 3 is not signed by enough of its own root keys")},
      {"one root's signature twice is one signer", v2,
       {v1, v2, keys_file(3, 30, 2, {"root3", "root4"}, {"releaseB"}, {"root3", "root3"})}, "releaseB",
       keys_refusal("version 3 is not signed by enough of its own root keys")},
      {"older keys file than the record", v3, {v1, v2}, "releaseB",
       keys_refusal("version 2 is older than the trusted version 3")},
      {"older keys file, the check", v3, {v1, v2}, "releaseB",
       keys_refusal("version 2 is older than the trusted version 3"), "UpdateAvailable"},
      {"expired newest version", v2,
       {v1, v2, keys_file(3, -1, 2, {"root3", "root4"}, {"releaseB"}, {"root3", "root4"})}, "releaseB",
       keys_refusal("version 3 has expired")},
      {"a version missing from the chain", "", {v1, "", v3}, "releaseB", keys_refusal("version 2 is missing")},
      {"no keys file on the server", "", {}, "releaseB", keys_refusal("there is no keys file")},
      {"unreadable record", "Brindax keys file\nversion: x\n", {v1, v2, v3}, "releaseB",
       keys_refusal("the record of trusted keys (LocalVersion.keys) cannot be read")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.reset();
    fs::remove_all(remote());
    serve_release(c.signer);
    if (!c.chain.empty()) serve_keys(c.chain);
    for (std::size_t i = 0; i < c.chain.size(); ++i) {
      if (c.chain[i].empty()) fs::remove(remote() / ("Brindax.ver.keys." + std::to_string(i + 1)));
    }
    install_old_release(c.record);
    const auto before = snapshot();
    start_server();

    const RunResult result = updater({c.mode}, kRooted);
    EXPECT_EQ(result.error_output, c.message);
    if (!c.message.empty()) {
      EXPECT_EQ(result.exit_code, 0);
      EXPECT_EQ(snapshot(), before);
      continue;
    }
    EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
    EXPECT_EQ(read_file(install_ / "LocalVersion.keys"), v3);
    EXPECT_EQ(read_file(install_ / "LocalVersion.seq"), "Brindax installed release sequence\n1\n");
    EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n");
  }
}

// A build with a release key alone is unchanged: it fetches no keys file
// and records none, whatever the server holds.
TEST_F(RootKeys, ReleaseKeyBuildIgnoresKeysFiles) {
  const std::string v1 = keys_file(1, 30, 2, {"root1", "root2"}, {"releaseA"}, {"root1", "root2"});
  serve_release(BRINDAX_TEST_RELEASE_SECRET_KEY);
  serve_keys({v1});
  install_old_release("");
  start_server();
  const RunResult result = updater({"MajAll"}, "brindax-updater-local-signed");
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
  EXPECT_FALSE(fs::exists(install_ / "LocalVersion.keys"));
  EXPECT_EQ(server_->commands("RETR Brindax.ver.keys"), 0);
  EXPECT_EQ(server_->commands("RETR"), 4);  // the list, its signature, the manifest, the package
}

// The publisher's tool makes the same chain: it refuses versions that the
// roots would not accept, copies the chain beside a release and checks it.
TEST_F(RootKeys, PublisherMakesAndChecksTheChain) {
  const auto tool = [&](std::vector<std::string> args) {
    return run_in(base_, BRINDAX_PUBLISH_PROGRAM, args);
  };
  const auto pub = [&](const std::string& name) {
    std::string path = secret(name);
    return path.replace(path.size() - 4, 4, ".pub");
  };
  const std::string dir = (base_ / "keys-dir").string();
  const auto add = [&](int version, const std::string& threshold, std::vector<std::string> roots,
                       const std::string& release, std::vector<std::string> signers) {
    std::vector<std::string> args = {"keys", dir, "--version", std::to_string(version), "--expires", "30",
                                     "--threshold", threshold, "--release", pub(release)};
    for (const std::string& root : roots) args.insert(args.end(), {"--root", pub(root)});
    for (const std::string& signer : signers) args.insert(args.end(), {"--sign", secret(signer)});
    return tool(args);
  };
  struct Step {
    const char* what;
    std::function<RunResult()> run;
    int exit_code;
    std::string says;  // a line of its output (refusals: its whole error output)
  };
  const std::string refused = "brindax-publish: ";
  const std::vector<Step> steps = {
      {"version 1 short of its own threshold", [&] { return add(1, "2", {"root1", "root2"}, "releaseA", {"root1"}); },
       1, refused + "its own roots would not accept it (too few of their signatures); nothing written\n"},
      {"version 1", [&] { return add(1, "2", {"root1", "root2"}, "releaseA", {"root1", "root2"}); }, 0,
       "keys version 1: Brindax.ver.keys.1 and Brindax.ver.keys, 1 release key(s), 2 of 2 root(s), signed by 2 key(s)\n"},
      {"version 2 without the old roots", [&] { return add(2, "1", {"root3"}, "releaseB", {"root3"}); }, 1,
       refused + "the previous version's roots would not accept it (too few of their signatures); nothing written\n"},
      {"version 2", [&] { return add(2, "1", {"root3"}, "releaseB", {"root1", "root2", "root3"}); }, 0,
       "keys version 2: Brindax.ver.keys.2 and Brindax.ver.keys, 1 release key(s), 1 of 1 root(s), signed by 3 key(s)\n"},
      {"version 2 again", [&] { return add(2, "1", {"root3"}, "releaseB", {"root1", "root2", "root3"}); }, 1,
       refused + dir + "/Brindax.ver.keys.2 is there already; nothing written\n"},
      {"release by the dropped key", [&] {
         return tool({"make", (base_ / "src").string(), (base_ / "out").string(), "--sign", secret("releaseA"),
                      "--keys", dir});
       }, 1, refused + secret("releaseA") + ": not a release key of the newest keys file; nothing written\n"},
      {"release by the current key", [&] {
         return tool({"make", (base_ / "src").string(), (base_ / "out").string(), "--sign", secret("releaseB"),
                      "--keys", dir});
       }, 0, "signed: Brindax.ver.minisig, Brindax.zip.minisig (release 1)\n"},
      {"verify from the built-in roots",
       [&] { return tool({"verify", (base_ / "out").string(), "--root", pub("root1"), "--root", pub("root2"),
                          "--threshold", "2"}); }, 0, ", release 1, keys version 2 expires "},
      {"verify a list signed by the dropped key",
       [&] {
         const fs::path old = base_ / "out-old";
         fs::copy(base_ / "out", old);
         const std::string signature = read_file(old / "Brindax.ver.minisig");
         const std::size_t comment = signature.find("trusted comment: ") + 17;
         write_file(old / "Brindax.ver.minisig",
                    sign_file(old / "Brindax.ver", "releaseA",
                              signature.substr(comment, signature.find('\n', comment) - comment)));
         return tool({"verify", old.string(), "--root", pub("root1"), "--root", pub("root2"), "--threshold", "2"});
       },
       1, "Brindax.ver.minisig: it is signed with a key that is not a current release key\n"},
      {"verify from other roots",
       [&] { return tool({"verify", (base_ / "out").string(), "--root", pub("root3"), "--threshold", "1"}); }, 1,
       "Brindax.ver.keys: version 1 is not signed by enough of the root keys trusted before it\n"},
  };
  write_file(base_ / "src/Brindax.exe", kApp);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const RunResult result = step.run();
    EXPECT_EQ(result.exit_code, step.exit_code) << result.error_output << result.output;
    if (step.says.rfind(refused, 0) == 0) {
      EXPECT_EQ(result.error_output, step.says);
    } else {
      EXPECT_EQ(result.error_output, "");
      EXPECT_NE(result.output.find(step.says), std::string::npos) << result.output;
    }
  }
  // What the tool wrote is a chain the updater walks, version by version.
  for (const char* name : {"Brindax.ver.keys.1", "Brindax.ver.keys.2", "Brindax.ver.keys"}) {
    EXPECT_EQ(read_file(base_ / "out" / name), read_file(fs::path(dir) / name)) << name;
  }
  EXPECT_EQ(read_file(fs::path(dir) / "Brindax.ver.keys"), read_file(fs::path(dir) / "Brindax.ver.keys.2"));
  server_.reset();
  fs::remove_all(remote());
  fs::copy(base_ / "out", remote());
  install_old_release("");
  start_server();
  const RunResult installed = updater({"MajAll"}, kRooted);
  EXPECT_EQ(installed.error_output, "");
  EXPECT_EQ(read_file(install_ / "LocalVersion.keys"), read_file(fs::path(dir) / "Brindax.ver.keys.2"));
}

}  // namespace
}  // namespace brindax::process_test
