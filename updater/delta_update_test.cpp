#include "updater/delta_update.h"

#include <gtest/gtest.h>

#include "updater/delta_apply.h"

namespace brindax {
namespace {

Digest256 digest(std::uint8_t fill) {
  Digest256 d;
  d.fill(fill);
  return d;
}

TEST(DeltaChoice, TheDeltaFromTheInstalledFileElseFromNothingElseTheEntry) {
  ManifestFile file;
  file.size = 1000;
  file.deltas = {{false, digest(1), "deltas/a.delta", 0, 10, {}},
                 {true, {}, "deltas/b.delta", 0, 20, {}},
                 {false, digest(2), "deltas/b.delta", 20, 30, {}}};
  struct Case {
    const char* what;
    std::optional<Digest256> installed;
    std::uint64_t size;
    const ManifestDelta* expected;
  };
  const std::vector<Case> cases = {
      {"base of the first delta", digest(1), 1000, &file.deltas[0]},
      {"base of the last delta", digest(2), 1000, &file.deltas[2]},
      {"a changed file: from nothing", digest(9), 1000, &file.deltas[1]},
      {"no file: from nothing", std::nullopt, 1000, &file.deltas[1]},
      {"too large for a delta", digest(1), DELTA_MAX_FILE_SIZE + 1, nullptr},
  };
  for (const auto& c : cases) {
    file.size = c.size;
    EXPECT_EQ(delta_for(file, c.installed), c.expected) << c.what;
  }
  file.size = 1000;
  file.deltas.erase(file.deltas.begin() + 1);
  EXPECT_EQ(delta_for(file, digest(9)), nullptr) << "no delta fits: the entry";
}

TEST(DeltaChoice, PieceBytesCountWhatTheDownloadsCarry) {
  ReleaseManifest manifest;
  manifest.package = "Brindax.zip";
  manifest.package_size = 10'000'000;
  ManifestFile delta_file{"a.bin", 500000, digest(3), 0, 400000, 8, {{false, digest(1), "deltas/x.delta", 100, 50, {}}}};
  ManifestFile entry_file{"b.bin", 500000, digest(4), 5'000'000, 300000, 8, {}};
  ManifestFile past_end{"c.bin", 10, digest(5), 9'999'990, 20, 8, {}};
  manifest.files = {delta_file, entry_file, past_end};
  std::vector<PieceWork> work = {{&manifest.files[0], "", digest(1)}, {&manifest.files[1], "", std::nullopt}};
  // The delta by range (a third of what is known of its file is wanted);
  // the entry with room for its header, name and extra fields.
  EXPECT_EQ(piece_bytes(manifest, work), 50u + 30 + 2 * 5 + 1024 + 300000);
  work[0].done = true;
  EXPECT_EQ(piece_bytes(manifest, work), 30u + 2 * 5 + 1024 + 300000);
  work.push_back({&manifest.files[2], "", std::nullopt});
  EXPECT_EQ(piece_bytes(manifest, work), manifest.package_size) << "an entry that cannot lie there";
}

}  // namespace
}  // namespace brindax
