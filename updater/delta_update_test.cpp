#include "updater/delta_update.h"

#include <zlib.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "updater/delta_apply.h"
#include "updater/memory_server_test_support.h"

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

  // Taken without reading the installed file: only the one delta offered,
  // and only from the installed release.
  const struct {
    const char* what;
    std::vector<ManifestDelta> deltas;
    std::string_view installed_deltas;
    bool taken;
  } unread[] = {
      {"the one delta, from the installed release", {file.deltas[0]}, "deltas/a.delta", true},
      {"from another release", {file.deltas[0]}, "deltas/b.delta", false},
      {"no installed release", {file.deltas[0]}, "", false},
      {"two bases", file.deltas, "deltas/a.delta", false},
      {"a file alone", {{true, {}, "deltas/a.delta", 0, 20, {}}}, "deltas/a.delta", false},
  };
  for (const auto& c : unread) {
    file.deltas = c.deltas;
    EXPECT_EQ(only_delta_from_installed_release(file, c.installed_deltas), c.taken ? &file.deltas[0] : nullptr)
        << c.what;
  }
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

namespace fs = std::filesystem;

std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() % 7 + 'a');  // deflates well
  return bytes;
}

std::string little_endian(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

std::string raw_deflate(const std::string& data) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// A package of local entries (the updater reads nothing else of it when a
// manifest places them) and the manifest's description of each.
void add_entry(std::string& package, ManifestFile& file, const std::string& content, std::uint16_t method) {
  const std::string data = method == 8 ? raw_deflate(content) : content;
  file.size = content.size();
  file.digest = content_digest(content);
  file.header_offset = package.size();
  file.compressed_size = data.size();
  file.method = method;
  package += "PK\x03\x04" + little_endian(20, 2) + little_endian(0, 2) + little_endian(method, 2) +
             little_endian(0, 4) + little_endian(crc32(0, reinterpret_cast<const Bytef*>(content.data()),
                                                        static_cast<uInt>(content.size())), 4) +
             little_endian(data.size(), 4) + little_endian(content.size(), 4) +
             little_endian(file.name.size(), 2) + little_endian(0, 2) + file.name + data;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

struct PiecesCase {
  const char* what;
  void (*spoil)(MemoryServer&, ReleaseManifest&);
  std::vector<bool> done;
  int downloads;
};

TEST(BringByPieces, EachFileByItsDeltaElseItsEntryAndOnlyWithTheManifestsContent) {
  const fs::path folder = fs::temp_directory_path() / ("brindax-pieces-" + std::to_string(getpid()));
  const std::vector<std::string> contents = {noise(70000, 1), noise(50000, 2), noise(3000, 3)};
  const std::vector<PiecesCase> cases = {
      {"as published", [](MemoryServer&, ReleaseManifest&) {}, {true, true, true}, 2},
      {"the delta file missing: entries in a second round",
       [](MemoryServer& s, ReleaseManifest&) { s.files.erase("deltas/d.delta"); }, {true, true, true}, 3},
      {"a damaged entry", [](MemoryServer& s, ReleaseManifest& m) { s.files["Brindax.zip"][m.files[1].header_offset + 200] ^= 1; },
       {true, false, true}, 2},
      {"an entry that inflates to more than announced",
       [](MemoryServer&, ReleaseManifest& m) { m.files[1].size -= 1; }, {true, false, true}, 2},
      {"a damaged delta and its entry",
       [](MemoryServer& s, ReleaseManifest& m) {
         s.files["deltas/d.delta"][5] ^= 1;
         s.files["Brindax.zip"][m.files[0].header_offset + 3] ^= 1;  // the local header's signature
       },
       {false, true, true}, 3},
      {"transfers cut short", [](MemoryServer& s, ReleaseManifest&) { s.cut_after = 1000; },
       {false, false, false}, 3},
  };
  for (const auto& c : cases) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    ReleaseManifest manifest;
    manifest.package = "Brindax.zip";
    std::string package;
    for (std::size_t i = 0; i < contents.size(); ++i) {
      manifest.files.push_back({});
      manifest.files[i].name = "file" + std::to_string(i);
      add_entry(package, manifest.files[i], contents[i], i == 2 ? 0 : 8);
    }
    manifest.package_size = package.size();
    // File 0 comes from nothing by a delta; the others by their entries.
    std::string frame(ZSTD_compressBound(contents[0].size()), '\0');
    frame.resize(ZSTD_compress(frame.data(), frame.size(), contents[0].data(), contents[0].size(), 19));
    manifest.files[0].deltas = {{true, {}, "deltas/d.delta", 0, frame.size(), content_digest(frame)}};
    MemoryServer server;
    server.files = {{"Brindax.zip", package}, {"deltas/d.delta", frame}};
    c.spoil(server, manifest);

    std::vector<PieceWork> work;
    for (const auto& file : manifest.files) work.push_back({&file, (folder / file.name).string(), std::nullopt});
    const PieceTally tally = bring_by_pieces(server, manifest, work);
    EXPECT_EQ(tally.downloads, c.downloads) << c.what;
    for (std::size_t i = 0; i < work.size(); ++i) {
      EXPECT_EQ(work[i].done, c.done[i]) << c.what << " " << i;
      if (work[i].done) {
        EXPECT_EQ(read_all(work[i].destination), contents[i]) << c.what << " " << i;
      }
    }
  }
  fs::remove_all(folder);
}

}  // namespace
}  // namespace brindax
