// brindax-publish run as a process: releases it makes, served by a local FTP
// server and installed by the built updater.
#include "updater/process_test_support.h"

#include <ctime>
#include <optional>
#include <random>

#include "updater/release_binding.h"
#include "updater/release_manifest.h"
#include "updater/release_signature.h"

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

// The build's test key pair: BRINDAX_TEST_RELEASE_SECRET_KEY and the .pub beside it.
const std::string kSecretKey = BRINDAX_TEST_RELEASE_SECRET_KEY;
const std::string kPublicKey = fs::path(kSecretKey).replace_extension(".pub").string();

std::optional<ReleaseBinding> binding_of(const fs::path& release) {
  ReleaseSignature signature;
  if (read_signature_file((release / "Brindax.ver.minisig").c_str(), &signature) != SignatureCheck::ok) {
    return std::nullopt;
  }
  return parse_release_binding(signature.trusted_comment);
}

TEST_F(PublishRoundTrip, SignedListBindsThePackage) {
  fill(base_ / "src", {{"a.txt", "a\n"}});
  const RunResult made = publish_tool({"make", "src", "out", "--sign", kSecretKey, "--expires", "30"});
  ASSERT_EQ(made.exit_code, 0) << made.error_output;
  for (const char* file : {"out/Brindax.ver", "out/Brindax.zip"}) {
    EXPECT_EQ(run_in(base_, BRINDAX_MINISIGN, {"-V", "-q", "-p", kPublicKey, "-m", file}).exit_code, 0)
        << file;
  }
  const std::optional<ReleaseBinding> first = binding_of(base_ / "out");
  ASSERT_TRUE(first);
  const std::string package = read_file(base_ / "out/Brindax.zip");
  ReleaseHash hash;
  hash.update(package.data(), package.size());
  EXPECT_EQ(first->sequence, 1u);
  EXPECT_EQ(first->package_size, package.size());
  EXPECT_EQ(first->package_digest, hash.finish());
  ASSERT_TRUE(first->expires);
  EXPECT_NEAR(static_cast<double>(*first->expires - std::time(nullptr)), 30 * 86400.0, 3600.0);

  // The sequence: the previous release's plus one, or as given.
  write_file(base_ / "src/b.txt", "b\n");
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::uint64_t sequence;  // 0: nothing written
  } steps[] = {
      {{"--previous", "out", "--sign", kSecretKey}, 0, 2},
      {{"--previous", "out", "--sign", kSecretKey, "--sequence", "9"}, 0, 9},
      {{"--sequence", "9"}, 2, 0},
      {{"--expires", "3"}, 2, 0},
      {{"--sign", kSecretKey, "--sequence", "0"}, 2, 0},
      {{"--sign", kSecretKey, "--expires", "-1"}, 2, 0},
  };
  for (const auto& step : steps) {
    std::vector<std::string> args = {"make", "src", "next"};
    args.insert(args.end(), step.args.begin(), step.args.end());
    fs::remove_all(base_ / "next");
    EXPECT_EQ(publish_tool(args).exit_code, step.exit_code) << step.args.back();
    const std::optional<ReleaseBinding> binding = binding_of(base_ / "next");
    EXPECT_EQ(binding ? binding->sequence : 0, step.sequence) << step.args.back();
    if (step.sequence == 0) {
      EXPECT_FALSE(fs::exists(base_ / "next")) << step.args.back();
    }
  }
}

TEST_F(PublishRoundTrip, VerifyWithKeyChecksSignaturesAndBinding) {
  fill(base_ / "src", {{"a.txt", "a\n"}});
  ASSERT_EQ(publish_tool({"make", "src", "signed", "--sign", kSecretKey}).exit_code, 0);
  write_file(base_ / "src/a.txt", "older\n");
  ASSERT_EQ(publish_tool({"make", "src", "older", "--sign", kSecretKey}).exit_code, 0);
  ASSERT_EQ(run_in(base_, BRINDAX_MINISIGN, {"-G", "-W", "-p", "other.pub", "-s", "other.sec"}).exit_code, 0);
  const std::string package = read_file(base_ / "signed/Brindax.zip");
  const std::string comment = format_release_binding(*binding_of(base_ / "signed"));
  const auto sign_list = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-S", "-s", kSecretKey, "-m", "out/Brindax.ver"});
    ASSERT_EQ(run_in(base_, BRINDAX_MINISIGN, args).exit_code, 0);
  };
  const auto take_older = [&](const char* file) {
    fs::copy_file(base_ / "older" / file, base_ / "out" / file, fs::copy_options::overwrite_existing);
  };
  struct Case {
    const char* what;
    std::function<void()> change;
    std::string key;
    std::string reported;  // a part of the output; exit code 0 only for "release sound"
  };
  const Case cases[] = {
      {"as made", [] {}, kPublicKey,
       "release sound: Brindax.ver with 1 records, package Brindax.zip, release 1\n"},
      {"other key", [] {}, "other.pub", "Brindax.ver.minisig: it is signed with another key"},
      {"package changed", [&] { write_file(base_ / "out/Brindax.zip", package + " "); }, kPublicKey,
       "Brindax.zip.minisig: the signature does not match"},
      {"an older signed package", [&] { take_older("Brindax.zip"); take_older("Brindax.zip.minisig"); },
       kPublicKey, "binds a package of another BLAKE2b-512 digest than Brindax.zip"},
      {"size differs", [&] { sign_list({"-t", "brindax-release:1 size:1" + comment.substr(comment.find(" blake2b"))}); },
       kPublicKey, "binds a package of 1 bytes, but Brindax.zip has " + std::to_string(package.size())},
      {"no binding", [&] { sign_list({"-t", "Brindax 1.0"}); }, kPublicKey,
       "the trusted comment binds no package (\"Brindax 1.0\")"},
      {"expired", [&] { sign_list({"-t", comment + " expires:1000"}); }, kPublicKey,
       "the release expired on 1970-01-01 00:16 UTC (expires:1000)"},
      {"legacy", [&] { sign_list({"-l", "-t", comment}); }, kPublicKey,
       std::string("Brindax.ver.minisig: ") + describe(SignatureCheck::legacy)},
      {"signature gone", [&] { fs::remove(base_ / "out/Brindax.ver.minisig"); }, kPublicKey,
       "Brindax.ver.minisig: there is no signature"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(base_ / "out");
    fs::copy(base_ / "signed", base_ / "out");
    c.change();
    const RunResult checked = publish_tool({"verify", "out", "--key", c.key});
    EXPECT_EQ(checked.exit_code, c.reported.rfind("release sound", 0) == 0 ? 0 : 1) << checked.output;
    EXPECT_NE(checked.output.find(c.reported), std::string::npos) << checked.output;
  }
}

std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::optional<ReleaseManifest> manifest_of(const fs::path& release) {
  const std::optional<std::string> text =
      decompress_release_manifest(read_file(release / "Brindax.ver.manifest"));
  return text ? parse_release_manifest(*text) : std::nullopt;
}

Digest512 list_digest_of(const fs::path& release) {
  const std::string list = read_file(release / "Brindax.ver");
  ReleaseHash hash;
  hash.update(list.data(), list.size());
  return hash.finish();
}

// Three releases; the third offers deltas from the second (--previous) and
// the first (--delta-from), which verify applies; a changed manifest or
// delta is reported.
TEST_F(PublishRoundTrip, ManifestDescribesTheReleaseAndDeltasRebuildIt) {
  const std::string app1 = noise(150000, 1);
  std::string added;  // a new file that compresses
  for (int i = 0; i < 3000; ++i) added += "record " + std::to_string(i * 7) + "\n";
  std::string app2 = app1, app3 = app1;
  app2[70000] ^= 1;
  app3.insert(100000, "release three");
  // A file that changes whole each time: no delta is worth it, so it rides
  // compressed alone in the previous release's delta file.
  const std::string blob1 = noise(3000, 11), blob2 = noise(3000, 12), blob3 = noise(3000, 13);
  const Folder releases[] = {
      {{"Brindax.exe", app1}, {"a.txt", "a\n"}, {"blob.bin", blob1}},
      {{"Brindax.exe", app2}, {"a.txt", "a\n"}, {"blob.bin", blob2}, {"new.txt", added}},
      {{"Brindax.exe", app3}, {"a.txt", "a\n"}, {"blob.bin", blob3}, {"new.txt", added}},
  };
  for (int i = 0; i < 3; ++i) {
    fill(base_ / "src", releases[i]);
    fs::permissions(base_ / "src/Brindax.exe", fs::perms::owner_exec, fs::perm_options::add);
    std::vector<std::string> args = {"make", "src", "r" + std::to_string(i + 1)};
    if (i > 0) args.insert(args.end(), {"--previous", "r" + std::to_string(i)});
    if (i == 2) args.insert(args.end(), {"--delta-from", "r1"});
    ASSERT_EQ(publish_tool(args).exit_code, 0) << args[2];
  }
  // An earlier release that is no release: nothing is written.
  const RunResult refused = publish_tool({"make", "src", "r4", "--previous", "r3", "--delta-from", "src"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.error_output.find("src: no Brindax.ver"), std::string::npos) << refused.error_output;
  EXPECT_FALSE(fs::exists(base_ / "r4"));

  const std::optional<ReleaseManifest> manifest = manifest_of(base_ / "r3");
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->package, "Brindax.zip");
  EXPECT_EQ(manifest->list_digest, list_digest_of(base_ / "r3"));
  ASSERT_EQ(manifest->files.size(), 4u);
  const std::string from_r2 = delta_file_name(list_digest_of(base_ / "r2"), manifest->list_digest);
  const std::string from_r1 = delta_file_name(list_digest_of(base_ / "r1"), manifest->list_digest);
  const struct {
    const char* name;
    std::string content;
    std::vector<std::pair<std::string, std::string>> deltas;  // base content ("": none), delta file
  } expected[] = {
      {"Brindax.exe", app3, {{app2, from_r2}, {app1, from_r1}}},
      {"a.txt", "a\n", {}},
      {"blob.bin", blob3, {{"", from_r2}}},
      {"new.txt", added, {{"", from_r1}}},  // new since the first: zstd of it alone
  };
  for (std::size_t i = 0; i < 4; ++i) {
    const ManifestFile& file = manifest->files[i];
    SCOPED_TRACE(file.name);
    EXPECT_EQ(file.name, expected[i].name);
    EXPECT_EQ(file.size, expected[i].content.size());
    EXPECT_EQ(file.digest, content_digest(expected[i].content));
    EXPECT_EQ(file.executable, i == 0) << "as the package records it";
    ASSERT_EQ(file.deltas.size(), expected[i].deltas.size());
    for (std::size_t k = 0; k < file.deltas.size(); ++k) {
      const ManifestDelta& delta = file.deltas[k];
      EXPECT_EQ(delta.from_nothing, expected[i].deltas[k].first.empty());
      if (!delta.from_nothing) {
        EXPECT_EQ(delta.base, content_digest(expected[i].deltas[k].first));
      }
      EXPECT_EQ(delta.file, expected[i].deltas[k].second);
      // Alone, no more than fetching the entry moves (its local header too).
      EXPECT_LT(delta.size, delta.from_nothing ? file.compressed_size + 30 + file.name.size() : 1000u);
      const std::string bytes = read_file(base_ / "r3" / delta.file);
      ASSERT_LE(delta.offset + delta.size, bytes.size());
      EXPECT_EQ(delta.digest, content_digest(bytes.substr(delta.offset, delta.size)));
    }
  }
  const RunResult sound = publish_tool({"verify", "r3", "--previous", "r2", "--delta-from", "r1"});
  EXPECT_EQ(sound.exit_code, 0) << sound.output;
  EXPECT_NE(sound.output.find("Brindax.ver.manifest: 4 files, 4 deltas\n"), std::string::npos) << sound.output;

  const std::string served = read_file(base_ / "r3/Brindax.ver.manifest");
  const std::string text = *decompress_release_manifest(served);
  const auto changed = [&](const std::string& from, const std::string& to) {
    std::string other = text;
    const std::size_t at = other.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return compress_release_manifest(other.replace(at, from.size(), to));
  };
  const struct {
    const char* what;
    fs::path file;
    std::string content;
    std::string reported;
  } cases[] = {
      {"delta corrupted", fs::path("r3") / from_r1,
       [&] { std::string d = read_file(base_ / "r3" / from_r1); d[d.size() / 2] ^= 1; return d; }(),
       "its bytes have another digest"},
      {"delta file cut short", fs::path("r3") / from_r2, "", "the file is missing or shorter"},
      {"another release's manifest", "r3/Brindax.ver.manifest", read_file(base_ / "r2/Brindax.ver.manifest"),
       "describes another list than Brindax.ver"},
      {"garbled", "r3/Brindax.ver.manifest", served.substr(0, served.size() - 2), "not one zstd frame"},
      {"another package", "r3/Brindax.ver.manifest", changed(" Brindax.zip\n", " Other.zip\n"),
       "describes the package \"Other.zip\""},
      {"a mark missing", "r3/Brindax.ver.manifest", changed(" Brindax.exe\nexecutable\n", " Brindax.exe\n"),
       "\"Brindax.exe\": the package's entry is executable, the manifest does not mark it"},
      {"a mark too many", "r3/Brindax.ver.manifest", changed(" a.txt\n", " a.txt\nexecutable\n"),
       "\"a.txt\": marked executable, the package's entry is not"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(base_ / "r3c");
    fs::copy(base_ / "r3", base_ / "r3c", fs::copy_options::recursive);
    write_file(base_ / "r3c" / c.file.lexically_relative("r3"), c.content);
    const RunResult checked = publish_tool({"verify", "r3c", "--previous", "r2", "--delta-from", "r1"});
    EXPECT_EQ(checked.exit_code, 1);
    EXPECT_NE(checked.output.find(c.reported), std::string::npos) << checked.output;
  }
}

TEST_F(PublishRoundTrip, SignedManifestIsBoundToTheRelease) {
  fill(base_ / "src", {{"a.txt", "a\n"}});
  ASSERT_EQ(publish_tool({"make", "src", "signed", "--sign", kSecretKey, "--sequence", "4"}).exit_code, 0);
  ReleaseSignature signature;
  ASSERT_EQ(read_signature_file((base_ / "signed/Brindax.ver.manifest.minisig").c_str(), &signature),
            SignatureCheck::ok);
  const std::optional<ManifestBinding> binding = parse_manifest_binding(signature.trusted_comment);
  ASSERT_TRUE(binding);
  EXPECT_EQ(binding->sequence, 4u);
  EXPECT_EQ(binding->list_digest, list_digest_of(base_ / "signed"));
  EXPECT_EQ(binding_of(base_ / "signed")->sequence, 4u);  // the list's comment stays as it was

  const std::string text = *decompress_release_manifest(read_file(base_ / "signed/Brindax.ver.manifest"));
  const auto sign_manifest = [&](const std::string& comment) {
    ASSERT_EQ(run_in(base_, BRINDAX_MINISIGN, {"-S", "-s", kSecretKey, "-m", "out/Brindax.ver.manifest",
                                               "-t", comment}).exit_code, 0);
  };
  ManifestBinding other_list = *binding;
  other_list.list_digest[0] ^= 1;
  const struct {
    const char* what;
    std::function<void()> change;
    std::string reported;
  } cases[] = {
      {"as made", [] {}, "release sound"},
      {"manifest changed",
       [&] { write_file(base_ / "out/Brindax.ver.manifest", compress_release_manifest(text + "file")); },
       "Brindax.ver.manifest.minisig: the signature does not match"},
      {"another sequence", [&] { sign_manifest(format_manifest_binding({5, binding->list_digest})); },
       "Brindax.ver.manifest.minisig: binds release 5, the list's signature 4"},
      {"another list", [&] { sign_manifest(format_manifest_binding(other_list)); },
       "Brindax.ver.manifest.minisig: binds another list than Brindax.ver"},
      {"unsigned", [&] { fs::remove(base_ / "out/Brindax.ver.manifest.minisig"); },
       "Brindax.ver.manifest.minisig: missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(base_ / "out");
    fs::copy(base_ / "signed", base_ / "out");
    c.change();
    const RunResult checked = publish_tool({"verify", "out", "--key", kPublicKey});
    EXPECT_EQ(checked.exit_code, c.reported == "release sound" ? 0 : 1) << checked.output;
    EXPECT_NE(checked.output.find(c.reported), std::string::npos) << checked.output;
  }
}

TEST_F(PublishRoundTrip, ReleasesNoInstallCanUseAreRefused) {
  const struct {
    const char* what;
    Folder previous;  // empty: no --previous
    Folder now;
    std::vector<std::string> both;  // the names on the list of such a release
  } cases[] = {
      {"case-only rename", {{"readme.txt", "1"}}, {{"README.txt", "2"}}, {"readme.txt", "README.txt"}},
      {"file became a folder", {{"docs", "1"}}, {{"docs/readme.txt", "2"}}, {"docs", "docs/readme.txt"}},
      {"names differ in case", {}, {{"Data.txt", "1"}, {"data.txt", "2"}}, {"Data.txt", "data.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"make", "now", "out"};
    if (!c.previous.empty()) {
      fill(base_ / "old", c.previous);
      ASSERT_EQ(publish_tool({"make", "old", "previous"}).exit_code, 0);
      args.insert(args.end(), {"--previous", "previous"});
    }
    fill(base_ / "now", c.now);
    const RunResult made = publish_tool(args);
    EXPECT_EQ(made.exit_code, 1);
    for (const std::string& name : c.both) {
      EXPECT_NE(made.error_output.find('"' + name + '"'), std::string::npos) << made.error_output;
    }
    EXPECT_FALSE(fs::exists(base_ / "out"));

    // Such a release made by other means.
    make_zip(base_ / "made/Brindax.zip", {{c.both[0], "1"}, {c.both[1], "2"}});
    write_file(base_ / "made/Brindax.ver", "Brindax.zip\n" + c.both[0] + "@1\n" + c.both[1] + "@2\n");
    const RunResult checked = publish_tool({"verify", "made"});
    EXPECT_EQ(checked.exit_code, 1);
    EXPECT_EQ(std::count(checked.output.begin(), checked.output.end(), '\n'), 1) << checked.output;
    EXPECT_NE(checked.output.find("Brindax.ver: \"" + c.both[0] + "\" "), std::string::npos) << checked.output;
    EXPECT_NE(checked.output.find("\"" + c.both[1] + "\""), std::string::npos) << checked.output;
  }
}

TEST_F(PublishRoundTrip, SymbolicLinksAreRefused) {
  write_file(base_ / "outside.txt", "outside\n");
  const struct {
    const char* name;
    fs::path target;
  } links[] = {{"to-file", base_ / "outside.txt"}, {"to-folder", base_}, {"sub/self", "self"}};
  for (const auto& link : links) {
    SCOPED_TRACE(link.name);
    fill(base_ / "src", {{"a.txt", "a\n"}, {"sub/b.txt", "b\n"}});
    fs::create_symlink(link.target, base_ / "src" / link.name);
    const RunResult made = publish_tool({"make", "src", "out"});
    EXPECT_EQ(made.exit_code, 1);
    EXPECT_NE(made.error_output.find(std::string(link.name) + ": a symbolic link"), std::string::npos)
        << made.error_output;
    EXPECT_FALSE(fs::exists(base_ / "out"));
  }
}

}  // namespace
}  // namespace brindax::process_test
