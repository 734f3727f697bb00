// Updates by pieces, run as a process against releases that brindax-publish
// makes with manifests and deltas: every path a file can take (a delta, its
// entry by range, the whole package), the falls from one to the next, and
// the tree each run leaves, held to what a fresh full install gives.
#include <sys/stat.h>

#include "updater/delta_test_support.h"
#include "updater/delta_update.h"
#include "updater/release_manifest.h"

namespace brindax::process_test {
namespace {

class DeltaUpdate : public UpdaterProcess {
 protected:
  fs::path make_release(int number, const std::vector<std::string>& options = {},
                        const std::function<void(const fs::path&)>& adjust = {}) {
    return publish_release(base_, number, options, adjust);
  }
  // Serves a release folder as it is.
  void serve(const fs::path& release) {
    fs::remove_all(remote());
    fs::create_directories(remote());
    fs::copy(release, remote(), fs::copy_options::recursive);
  }
  // The tree a fresh full install of the served release leaves.
  std::map<std::string, std::string> fresh_install() {
    const fs::path kept = install_;
    install_ = base_ / "fresh";
    fs::remove_all(install_);
    fs::create_directories(install_);
    EXPECT_EQ(updater({"MajAll"}, "brindax-updater-local-noapp").exit_code, 0);
    auto tree = snapshot();
    install_ = kept;
    return tree;
  }
  int package_fetches() const { return server_->commands("RETR Brindax.zip"); }
  int fetches() const { return server_->commands("RETR "); }
  std::string delta_file() const {
    for (const auto& item : fs::directory_iterator(remote() / "deltas")) return item.path().string();
    return {};
  }
};

TEST_F(DeltaUpdate, EachFileTakesTheCheapestPathThatHoldsAndTheResultIsAFullInstalls) {
  const fs::path r1 = make_release(1);
  const fs::path r2 = make_release(2, {"--previous", r1.string()});
  // Both kinds of delta are on the paths below.
  const std::optional<std::string> manifest = decompress_release_manifest(read_file(r2 / "Brindax.ver.manifest"));
  ASSERT_TRUE(manifest);
  EXPECT_NE(manifest->find("\ndifference "), std::string::npos);
  EXPECT_NE(manifest->find("\ndelta "), std::string::npos);
  const fs::path r3 = make_release(3, {"--previous", r2.string(), "--delta-from", r1.string()});
  const fs::path r3_no_r1 = base_ / "r3-from-r2";
  fs::rename(r3, r3_no_r1);
  make_release(3, {"--previous", r2.string()});
  fs::rename(base_ / "r3", base_ / "r3-only");
  fs::rename(r3_no_r1, r3);

  struct Case {
    const char* what;
    fs::path release;
    std::function<void()> spoil;  // the server or the installation, after it was installed
    bool package_by_ranges;       // the package is asked for (by range or whole)
    // The run went the way without the manifest's pieces: the package's
    // size asked, then its end and directory or the whole of it.
    bool package_size_asked;
  };
  const std::vector<Case> cases = {
      {"a delta applied", r2, [] {}, false, false},
      {"the user changed the file", r2,
       [&] { write_file(install_ / "lib/core.bin", noise(400000, 99)); }, true, true},
      {"a corrupted delta", r2,
       [&] {
         std::string d = read_file(delta_file());
         d[d.size() / 2] ^= 0x20;
         write_file(delta_file(), d);
       },
       true, false},
      {"the delta missing", r2, [&] { fs::remove_all(remote() / "deltas"); }, true, false},
      {"a delta larger than announced", r2,
       [&] { write_file(delta_file(), "x" + read_file(delta_file()) + "x"); }, true, false},
      {"no manifest", r2, [&] { fs::remove(remote() / "Brindax.ver.manifest"); }, true, true},
      {"a garbled manifest", r2, [&] { write_file(remote() / "Brindax.ver.manifest", "garbled"); }, true, true},
      {"the manifest of another release", r2,
       [&] { fs::copy_file(r1 / "Brindax.ver.manifest", remote() / "Brindax.ver.manifest",
                           fs::copy_options::overwrite_existing); },
       true, true},
      {"two releases skipped, a delta from the first", r3, [] {}, false, false},
      {"two releases skipped, no delta from the first", base_ / "r3-only", [] {}, true, true},
  };
  // One server for every run (a listener cannot be reopened at once on the
  // same port); the served folder changes under it.
  start_server();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    serve(c.release);
    const auto expected = fresh_install();
    for (const std::string mode : {"MajLocal", "MajAll"}) {
      serve(r1);
      fs::remove_all(install_);
      fs::create_directories(install_);
      ASSERT_EQ(updater({"MajAll"}, "brindax-updater-local-noapp").exit_code, 0);
      const std::string installed_list = read_file(install_ / "LocalVersion.ver");

      serve(c.release);
      c.spoil();
      const int package_before = package_fetches(), fetches_before = fetches();
      const int sizes_before = server_->commands("SIZE ");
      const RunResult run = updater({mode}, "brindax-updater-local-noapp");
      EXPECT_EQ(run.exit_code, 0) << mode;
      auto tree = snapshot();
      if (mode == "MajLocal") {
        EXPECT_EQ(tree["LocalVersion.ver"], installed_list) << "a partial update keeps the list";
        tree["LocalVersion.ver"] = expected.at("LocalVersion.ver");
      }
      EXPECT_EQ(tree, expected) << mode << ": " << run.error_output;
      EXPECT_EQ(package_fetches() > package_before, c.package_by_ranges) << mode;
      EXPECT_EQ(server_->commands("SIZE ") > sizes_before, c.package_size_asked) << mode;
      // The list, the manifest and one delta file; or a few ranges more.
      EXPECT_LE(fetches() - fetches_before, c.package_by_ranges ? 8 : 3) << mode;
    }
  }
}

// The executable bits of files written from pieces are the package's, as
// the manifest states them, not the installed files': a new executable (by a
// delta from nothing, or by range), a file that became executable and one
// that no longer is. MajAll also gives its bit to a file that changed
// nothing else (a partial update brings changed versions only).
TEST_F(DeltaUpdate, FilesFromPiecesGetThePackagesExecutableBits) {
  std::string tool;  // compresses well: offered as a delta from nothing
  for (int i = 0; i < 3000; ++i) tool += "step " + std::to_string(i * 7) + "\n";
  const std::string script = hex_text(noise(20000, 20));
  const auto executable = [](const fs::path& file) {
    fs::permissions(file, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
  };
  const fs::path r1 = make_release(1, {}, [&](const fs::path& source) {
    write_file(source / "tools/run.sh", script);
    executable(source / "tools/run.sh");
  });
  const fs::path r2 = make_release(2, {"--previous", r1.string()}, [&](const fs::path& source) {
    write_file(source / "tools/run.sh", std::string(script).replace(5000, 8, "exit 0; "));  // not executable
    write_file(source / "tools/new-tool", tool);
    executable(source / "tools/new-tool");
    executable(source / "lib/core.bin");
    executable(source / "docs/readme.txt");
  });
  const std::optional<std::string> text = decompress_release_manifest(read_file(r2 / "Brindax.ver.manifest"));
  ASSERT_TRUE(text);
  const std::optional<ReleaseManifest> manifest = parse_release_manifest(*text);
  ASSERT_TRUE(manifest);
  const ManifestFile& new_tool = *std::find_if(manifest->files.begin(), manifest->files.end(),
                                               [](const ManifestFile& f) { return f.name == "tools/new-tool"; });
  ASSERT_EQ(new_tool.deltas.size(), 1u);
  ASSERT_TRUE(new_tool.deltas[0].from_nothing);
  const auto modes = [&] {
    std::map<std::string, bool> found;
    for (const auto& item : fs::recursive_directory_iterator(install_)) {
      if (!item.is_regular_file()) continue;
      found[fs::relative(item.path(), install_).string()] =
          (item.status().permissions() & fs::perms::owner_exec) != fs::perms::none;
    }
    return found;
  };

  start_server();
  serve(r2);
  const auto expected_tree = fresh_install();
  const fs::path kept = install_;
  install_ = base_ / "fresh";
  const std::map<std::string, bool> expected = modes();
  install_ = kept;
  EXPECT_EQ(expected, (std::map<std::string, bool>{{"Brindax.exe", true},
                                                   {"LocalVersion.ver", false},
                                                   {"data/config.ini", false},
                                                   {"docs/readme.txt", true},
                                                   {"lib/core.bin", true},
                                                   {"tools/new-tool", true},
                                                   {"tools/run.sh", false}}));
  // By ranges: the new tool's frame damaged, the script changed by the user
  // (no delta fits it), so both come as their entries' bytes.
  for (const bool ranges : {false, true}) {
    for (const std::string mode : {"MajLocal", "MajAll"}) {
      SCOPED_TRACE(mode + (ranges ? ", by ranges" : ", by deltas"));
      serve(r1);
      fs::remove_all(install_);
      fs::create_directories(install_);
      ASSERT_EQ(updater({"MajAll"}, "brindax-updater-local-noapp").exit_code, 0);
      serve(r2);
      if (ranges) {
        const ManifestDelta& frame = new_tool.deltas[0];
        std::string bytes = read_file(remote() / frame.file);
        bytes[frame.offset + frame.size / 2] ^= 0x20;
        write_file(remote() / frame.file, bytes);
        write_file(install_ / "tools/run.sh", "changed by the user\n");
      }
      const int package_before = package_fetches(), sizes_before = server_->commands("SIZE ");
      const RunResult run = updater({mode}, "brindax-updater-local-noapp");
      EXPECT_EQ(run.exit_code, 0) << run.error_output;
      EXPECT_EQ(server_->commands("SIZE "), sizes_before) << "every file came by pieces";
      EXPECT_EQ(package_fetches() > package_before, ranges);
      auto tree = snapshot();
      tree["LocalVersion.ver"] = expected_tree.at("LocalVersion.ver");
      EXPECT_EQ(tree, expected_tree);
      auto wanted = expected;
      if (mode == "MajLocal") wanted["docs/readme.txt"] = false;
      EXPECT_EQ(modes(), wanted);
    }
  }
}

// A large installed file whose one delta is from the installed release is
// not read before that delta is tried. A file the user changed then comes by
// its entry; in a full install, a file that already has the release's
// content is read after all and left as it is, nothing fetched for it but
// the delta.
TEST_F(DeltaUpdate, LargeInstalledFilesAreReadOnlyWhenTheirDeltaFails) {
  const auto big = [](int number) {
    std::string bytes = noise(static_cast<std::size_t>(UNREAD_INSTALLED_FILE_BYTES) + 4096, 30);
    for (std::size_t at = 0; at < bytes.size(); at += 64) bytes[at] = static_cast<char>(bytes[at] + number);
    return bytes;
  };
  const auto with_big = [&](int number) {
    return [&, number](const fs::path& source) { write_file(source / "lib/big.bin", big(number)); };
  };
  const fs::path r1 = make_release(1, {}, with_big(1));
  const fs::path r2 = make_release(2, {"--previous", r1.string()}, with_big(2));
  start_server();
  serve(r2);
  const auto expected = fresh_install();
  const struct {
    const char* what;
    const char* mode;
    std::string installed;
    bool left_as_it_is;
    bool by_range;
  } cases[] = {
      {"already the release's, full install", "MajAll", big(2), true, false},
      {"changed by the user, full install", "MajAll", big(7), false, true},
      {"changed by the user, partial update", "MajLocal", big(7), false, true},
  };
  const fs::path file = install_ / "lib/big.bin";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    serve(r1);
    fs::remove_all(install_);
    fs::create_directories(install_);
    ASSERT_EQ(updater({"MajAll"}, "brindax-updater-local-noapp").exit_code, 0);
    const std::string installed_list = read_file(install_ / "LocalVersion.ver");
    write_file(file, c.installed);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    serve(r2);
    const int package_before = package_fetches(), deltas_before = server_->commands("RETR deltas/");
    const RunResult run = updater({c.mode}, "brindax-updater-local-noapp");
    EXPECT_EQ(run.exit_code, 0) << run.error_output;
    auto tree = snapshot();
    if (std::string(c.mode) == "MajLocal") {
      EXPECT_EQ(tree["LocalVersion.ver"], installed_list) << "a partial update keeps the list";
      tree["LocalVersion.ver"] = expected.at("LocalVersion.ver");
    }
    EXPECT_EQ(tree, expected);
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino == before.st_ino, c.left_as_it_is);
    EXPECT_GT(server_->commands("RETR deltas/"), deltas_before) << "read before its delta was tried";
    EXPECT_EQ(package_fetches() > package_before, c.by_range);
  }
}

// With a publisher key built in, pieces are used only under a manifest
// whose signature binds it to the accepted release.
TEST_F(DeltaUpdate, ASignedReleaseUsesOnlyTheManifestItsSignatureBinds) {
  const std::string key = BRINDAX_TEST_RELEASE_SECRET_KEY;
  const fs::path r1 = make_release(1, {"--sign", key, "--sequence", "1"});
  const fs::path r2 = make_release(2, {"--previous", r1.string(), "--sign", key, "--sequence", "2"});
  const char* const build = "brindax-updater-local-signed";
  struct Case {
    const char* what;
    std::function<void()> spoil;
    bool refused;            // "Signature Error", the folder unchanged
    bool package_fetched;
  };
  const std::vector<Case> cases = {
      {"a bound manifest", [] {}, false, false},
      {"the manifest changed", [&] { write_file(remote() / "Brindax.ver.manifest", read_file(remote() / "Brindax.ver.manifest") + "x"); },
       true, false},
      {"another release's signed manifest",
       [&] {
         for (const char* file : {"Brindax.ver.manifest", "Brindax.ver.manifest.minisig"}) {
           fs::copy_file(r1 / file, remote() / file, fs::copy_options::overwrite_existing);
         }
       },
       true, false},
      {"an unsigned manifest: the whole package", [&] { fs::remove(remote() / "Brindax.ver.manifest.minisig"); },
       false, true},
  };
  start_server();
  serve(r2);
  auto expected = fresh_install();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    serve(r1);
    fs::remove_all(install_);
    fs::create_directories(install_);
    ASSERT_EQ(updater({"MajAll"}, build).exit_code, 0);
    app_starts();
    fs::remove(install_ / "app-started.log");
    const auto before = snapshot();
    serve(r2);
    c.spoil();
    const int package_before = package_fetches();
    const RunResult run = updater({"MajLocal"}, build);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.error_output.rfind("Signature Error: ", 0) == 0, c.refused) << run.error_output;
    EXPECT_EQ(package_fetches() > package_before, c.package_fetched);
    auto tree = snapshot();
    if (c.refused) {
      EXPECT_EQ(tree, before);
      continue;
    }
    EXPECT_EQ(tree["LocalVersion.seq"], "Brindax installed release sequence\n2\n");
    EXPECT_EQ(tree["LocalVersion.ver"], before.at("LocalVersion.ver"));
    tree.erase("LocalVersion.seq");
    tree["LocalVersion.ver"] = expected.at("LocalVersion.ver");
    EXPECT_EQ(tree, expected);
  }
}

}  // namespace
}  // namespace brindax::process_test
