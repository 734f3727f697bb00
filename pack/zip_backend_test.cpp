// The ZIP backend on archives made by Info-ZIP's zip and by its own writer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "pack/pack_test_support.h"
#include "pack/zip_backend.h"
#include "runtime/core/heap.h"

namespace brindax {
namespace {

namespace fs = std::filesystem;
using testing_support::entry_name;
using testing_support::folder_names;
using testing_support::noise;
using testing_support::read_file;
using testing_support::write_file;

constexpr std::int32_t BIG_SIZE = 5 * 1024 * 1024;

std::string repeated(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) {
    result += text;
  }
  return result;
}

void* state_of(std::intptr_t pack) { return pack_lookup(pack)->state; }

// An archive of the shape real packages have, made by Info-ZIP's zip.
class ZipShapeTest : public testing_support::PackFolderTest {
 protected:
  void SetUp() override {
    PackFolderTest::SetUp();
    const fs::path src = folder_ / "src";
    fs::create_directories(src / "sub");
    write_file(src / "a.txt", text_);
    write_file(src / "sub" / "b.txt", "b\n");
    write_file(src / "empty.txt", "");
    write_file(src / "big.bin", big_);
    write_file(src / fs::path(u8"café.txt"), "latin\n");
    write_file(src / fs::path(u8"日本.txt"), "far east\n");
    ASSERT_EQ(testing_support::run_zip(src, "-r ../shape.zip a.txt sub empty.txt big.bin "
                                            "café.txt 日本.txt"),
              0);
    // Two names that differ only in case, added from folders of their own
    // (a file system may not tell them apart).
    fs::create_directories(folder_ / "upper");
    fs::create_directories(folder_ / "mixed");
    write_file(folder_ / "upper" / "README.TXT", "upper\n");
    write_file(folder_ / "mixed" / "Readme.txt", "mixed\n");
    ASSERT_EQ(testing_support::run_zip(folder_ / "upper", "../shape.zip README.TXT"), 0);
    ASSERT_EQ(testing_support::run_zip(folder_ / "mixed", "../shape.zip Readme.txt"), 0);
    pack_ = pack_open(OBJECT_DYNAMIC, "shape.zip");
    ASSERT_NE(pack_, 0);
  }

  // Steps the walk to the entry of that name.
  void walk_to(const std::string& name) {
    ASSERT_EQ(pack_examine(pack_), 1);
    while (pack_next_entry(pack_) == 1) {
      if (entry_name(pack_) == name) {
        return;
      }
    }
    FAIL() << name << " not found";
  }

  const std::string text_ = repeated("hello brindax\n", 1000);
  const std::string big_ = noise(BIG_SIZE, 7);
  std::intptr_t pack_ = 0;
};

TEST_F(ZipShapeTest, WalkGoesThroughEveryEntryAndStopsAtTheEnd) {
  void* state = state_of(pack_);
  EXPECT_EQ(pack_next_entry(pack_), 0) << "no walk before examine";
  EXPECT_EQ(zip_backend_entry_type(state), -1);

  ASSERT_EQ(pack_examine(pack_), 1);
  std::vector<std::string> names;
  std::vector<std::int32_t> types;
  while (pack_next_entry(pack_) == 1) {
    names.push_back(entry_name(pack_));
    types.push_back(zip_backend_entry_type(state));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub/", "sub/b.txt", "empty.txt", "big.bin",
                                             "caf\xE9.txt", "??.txt", "README.TXT", "Readme.txt"}));
  EXPECT_EQ(types, (std::vector<std::int32_t>{0, 1, 0, 0, 0, 0, 0, 0, 0}));

  // Past the end: no current entry, and it stays so.
  EXPECT_EQ(pack_next_entry(pack_), 0);
  EXPECT_EQ(entry_name(pack_), "");
  EXPECT_EQ(zip_backend_entry_size(state, 0), -1);
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "out.txt", ""), -1);
  EXPECT_FALSE(fs::exists("out.txt"));

  ASSERT_EQ(pack_examine(pack_), 1);
  ASSERT_EQ(pack_next_entry(pack_), 1);
  EXPECT_EQ(entry_name(pack_), "a.txt");
}

TEST_F(ZipShapeTest, SizesOfTheCurrentEntry) {
  walk_to("a.txt");
  void* state = state_of(pack_);
  const auto size = static_cast<std::int32_t>(text_.size());
  EXPECT_EQ(zip_backend_entry_size(state, 0), size);
  EXPECT_EQ(zip_backend_entry_size(state, 2), size);
  const std::int32_t compressed = zip_backend_entry_size(state, 1);
  EXPECT_GT(compressed, 0);
  EXPECT_LT(compressed, size / 10);
}

TEST_F(ZipShapeTest, UnpacksTheCurrentEntryButNoDirectory) {
  walk_to("a.txt");
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "a.txt", ""), static_cast<std::int32_t>(text_.size()));
  EXPECT_EQ(read_file("a.txt"), text_);

  ASSERT_EQ(pack_next_entry(pack_), 1);
  ASSERT_EQ(entry_name(pack_), "sub/");
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "sub", ""), -1);
  EXPECT_FALSE(fs::exists("sub"));

  ASSERT_EQ(pack_next_entry(pack_), 1);
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "sub/b.txt", ""), -1) << "sub/ does not exist yet";
  fs::create_directory("sub");
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "sub/b.txt", ""), 2);
  EXPECT_EQ(read_file("sub/b.txt"), "b\n");
}

TEST_F(ZipShapeTest, UnpacksByExactNameWithoutMovingTheWalk) {
  walk_to("a.txt");
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "big.bin", "big.bin"), BIG_SIZE);
  EXPECT_TRUE(read_file("big.bin") == big_);
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "empty.txt", "empty.txt"), 0);
  EXPECT_TRUE(fs::exists("empty.txt"));
  EXPECT_EQ(fs::file_size("empty.txt"), 0U);
  EXPECT_EQ(entry_name(pack_), "a.txt");

  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "mixed.out", "Readme.txt"), 6);
  EXPECT_EQ(read_file("mixed.out"), "mixed\n");
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "upper.out", "README.TXT"), 6);
  EXPECT_EQ(read_file("upper.out"), "upper\n");
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "readme.txt", "readme.txt"), -1);
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "missing.txt", "missing.txt"), -1);
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "b.txt", "b.txt"), -1) << "the whole path must match";

  // A Latin-1 name round-trips; a name beyond Latin-1 is reported with "?"
  // and cannot be found under that report.
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "caf\xE9.txt", "caf\xE9.txt"), 6);
  EXPECT_EQ(read_file(fs::path(u8"café.txt")), "latin\n");
  EXPECT_EQ(pack_unpack_entry_to_file(pack_, "??.txt", "??.txt"), -1);

  EXPECT_EQ(folder_names("."),
            (std::vector<std::string>{"big.bin", "café.txt", "empty.txt", "mixed", "mixed.out",
                                      "shape.zip", "src", "upper", "upper.out"}));
}

class ZipBackendTest : public testing_support::PackFolderTest {};

TEST_F(ZipBackendTest, WriterRoundTrip) {
  write_file("made.zip", "an old file that create replaces");
  write_file("source.bin", "from disk");
  Pack pack{};
  ASSERT_NE(zip_backend_create(&pack, "made.zip"), 0);
  EXPECT_EQ(pack.backend, zip_backend_table());
  std::string block = "from memory";
  EXPECT_EQ(zip_backend_add_memory(pack.state, block.data(), 11, "notes.txt"), 1);
  block.assign(11, 'X');  // libzip keeps its own copy
  EXPECT_EQ(zip_backend_add_file(pack.state, "source.bin", "data/source.bin"), 1);
  EXPECT_EQ(zip_backend_add_memory(pack.state, "x", 1, "caf\xE9"), 1);
  EXPECT_EQ(zip_backend_add_memory(pack.state, nullptr, 0, "gone.txt"), 1);
  EXPECT_EQ(zip_backend_add_memory(pack.state, "y", 1, "notes.txt"), 0) << "no replacing";
  EXPECT_EQ(zip_backend_add_file(pack.state, "missing.bin", "missing.bin"), 0);
  EXPECT_EQ(zip_backend_remove_entry(pack.state, "gone.txt"), 1);
  EXPECT_EQ(zip_backend_remove_entry(pack.state, "never.txt"), 0);
  zip_backend_close(pack.state);

  const std::intptr_t reopened = pack_open(OBJECT_DYNAMIC, "made.zip");
  ASSERT_NE(reopened, 0);
  ASSERT_EQ(pack_examine(reopened), 1);
  std::vector<std::string> names;
  while (pack_next_entry(reopened) == 1) {
    names.push_back(entry_name(reopened));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"notes.txt", "data/source.bin", "caf\xE9"}));

  void* state = state_of(reopened);
  char buffer[32] = {};
  EXPECT_EQ(zip_backend_unpack_to_memory(state, buffer, sizeof buffer, "notes.txt"), 11);
  EXPECT_EQ(std::string(buffer, 11), "from memory");
  EXPECT_EQ(zip_backend_unpack_to_memory(state, buffer, 4, "data/source.bin"), 4);
  EXPECT_EQ(std::string(buffer, 4), "from");
  EXPECT_EQ(zip_backend_unpack_to_memory(state, buffer, sizeof buffer, "gone.txt"), -1);
  ASSERT_EQ(pack_examine(reopened), 1);
  ASSERT_EQ(pack_next_entry(reopened), 1);
  EXPECT_EQ(zip_backend_unpack_to_memory(state, buffer, sizeof buffer, ""), 11) << "current entry";
}

TEST_F(ZipBackendTest, FileNamesBeyondAscii) {
  write_file(fs::path(u8"sé.bin"), "source");
  Pack pack{};
  ASSERT_NE(zip_backend_create(&pack, "caf\xE9.zip"), 0);
  EXPECT_EQ(zip_backend_add_file(pack.state, "s\xE9.bin", "s.bin"), 1);
  zip_backend_close(pack.state);
  EXPECT_TRUE(fs::exists(fs::path(u8"café.zip")));

  const std::intptr_t reopened = pack_open(OBJECT_DYNAMIC, "caf\xE9.zip");
  ASSERT_NE(reopened, 0);
  EXPECT_EQ(pack_unpack_entry_to_file(reopened, "d\xE9j\xE0.bin", "s.bin"), 6);
  EXPECT_EQ(read_file(fs::path(u8"déjà.bin")), "source");
}

TEST_F(ZipBackendTest, ArchiveWithoutEntries) {
  write_file("empty.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  const std::intptr_t pack = pack_open(7, "empty.zip");
  ASSERT_NE(pack, 0);
  EXPECT_EQ(pack_examine(7), 1);
  EXPECT_EQ(pack_next_entry(7), 0);
  EXPECT_EQ(pack_unpack_entry_to_file(7, "x", ""), -1);
}

TEST_F(ZipBackendTest, MemoryBlockCompression) {
  const std::string text = repeated("brindax ", 512);
  std::vector<char> packed(text.size() + 64);
  const std::int32_t packed_size =
      zip_backend_compress_memory(text.data(), static_cast<std::int32_t>(text.size()),
                                  packed.data(), static_cast<std::int32_t>(packed.size()));
  ASSERT_GT(packed_size, 0);
  EXPECT_LT(packed_size, static_cast<std::int32_t>(text.size()));
  std::vector<char> unpacked(text.size());
  EXPECT_EQ(zip_backend_uncompress_memory(packed.data(), packed_size, unpacked.data(),
                                          static_cast<std::int32_t>(unpacked.size())),
            static_cast<std::int32_t>(text.size()));
  EXPECT_EQ(std::string(unpacked.begin(), unpacked.end()), text);

  EXPECT_EQ(zip_backend_compress_memory(text.data(), static_cast<std::int32_t>(text.size()),
                                        packed.data(), 4),
            0);
  EXPECT_EQ(zip_backend_uncompress_memory(packed.data(), packed_size, unpacked.data(), 16), -1);
  EXPECT_EQ(zip_backend_uncompress_memory(text.data(), 64, unpacked.data(), 4096), -1);
}

// A failed unpack leaves whatever stood at the destination and no temporary.
class UnpackFailureTest : public testing_support::PackFolderTest {
 protected:
  void expect_previous_destination_kept() {
    EXPECT_EQ(read_file("payload.bin"), "previous");
    EXPECT_EQ(folder_names("."), expected_folder_);
  }
  std::vector<std::string> expected_folder_{"archive.zip", "payload.bin"};
};

TEST_F(UnpackFailureTest, CorruptedEntryFailsTheCrcCheck) {
  // Noise deflates to stored blocks, so a patched byte reaches the CRC check
  // unchanged; 3 MiB, so the first chunk has been written before the failure
  // shows.
  const std::string payload = noise(3 * 1024 * 1024, 11);
  testing_support::make_archive("archive.zip", {{"payload.bin", payload}});
  std::string archive = read_file("archive.zip");
  const std::size_t at = archive.find(payload.substr(payload.size() - 1000, 256));
  ASSERT_NE(at, std::string::npos);
  archive[at + 100] = static_cast<char>(archive[at + 100] ^ 0x5A);
  write_file("archive.zip", archive);
  write_file("payload.bin", "previous");

  const std::intptr_t pack = pack_open(OBJECT_DYNAMIC, "archive.zip");
  ASSERT_NE(pack, 0);
  EXPECT_EQ(pack_unpack_entry_to_file(pack, "payload.bin", "payload.bin"), -1);
  expect_previous_destination_kept();
}

TEST_F(UnpackFailureTest, EntryOfTwoGibibytesIsRefused) {
  testing_support::make_archive("archive.zip", {{"payload.bin", repeated("z", 100)}});
  // Claim 2 GiB of uncompressed data in the local and the central header.
  std::string archive = read_file("archive.zip");
  const std::size_t central = archive.find("PK\x01\x02");
  ASSERT_EQ(archive.compare(0, 4, "PK\x03\x04"), 0);
  ASSERT_NE(central, std::string::npos);
  for (const std::size_t field : {std::size_t{22}, central + 24}) {
    archive.replace(field, 4, std::string("\0\0\0\x80", 4));
  }
  write_file("archive.zip", archive);
  write_file("payload.bin", "previous");

  const std::intptr_t pack = pack_open(OBJECT_DYNAMIC, "archive.zip");
  ASSERT_NE(pack, 0);
  ASSERT_EQ(pack_examine(pack), 1);
  ASSERT_EQ(pack_next_entry(pack), 1);
  ASSERT_EQ(zip_backend_entry_size(state_of(pack), 0), INT32_MIN);
  EXPECT_EQ(pack_unpack_entry_to_file(pack, "payload.bin", ""), -1);
  expect_previous_destination_kept();
}

TEST_F(UnpackFailureTest, NoMemoryForTheBuffer) {
  testing_support::make_archive("archive.zip", {{"payload.bin", "new"}});
  write_file("payload.bin", "previous");
  const std::intptr_t pack = pack_open(OBJECT_DYNAMIC, "archive.zip");
  ASSERT_NE(pack, 0);
  heap_fail_allocations_after(0);
  const std::int32_t result = pack_unpack_entry_to_file(pack, "payload.bin", "payload.bin");
  heap_fail_allocations_after(-1);
  EXPECT_EQ(result, -1);
  expect_previous_destination_kept();
}

}  // namespace
}  // namespace brindax
