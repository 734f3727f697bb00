// Unpacking on several workers gives what a one-by-one unpack gives, and
// the failure it reports is the earliest in the archive's order.
#include "pack/parallel_unpack.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "pack/pack.h"
#include "pack/pack_test_support.h"
#include "runtime/core/file_transaction.h"

namespace brindax {
namespace {

namespace fs = std::filesystem;
using testing_support::folder_names;
using testing_support::noise;
using testing_support::read_file;
using testing_support::write_file;

constexpr int kEntries = 40;

std::string entry_name(int i) { return "e" + std::to_string(i) + ".bin"; }

// Every fourth entry noise (stored blocks, so a patched byte reaches the
// CRC check), the others text; one empty, one of many chunks.
std::string content(int i) {
  if (i == 7) return "";
  if (i == 10) return noise(3 * 1024 * 1024, 10);
  if (i % 4 == 0) return noise(150'000 + 1000 * static_cast<std::size_t>(i), static_cast<std::uint32_t>(i));
  std::string text;
  while (text.size() < 40'000 + 500 * static_cast<std::size_t>(i)) text += "line " + std::to_string(i) + " of text\n";
  return text;
}

// Flips a byte inside the data of noise entry `i`.
void corrupt_data(std::string& zip, int i) {
  const std::string data = content(i);
  const std::size_t at = zip.find(data.substr(data.size() / 2, 64));
  ASSERT_NE(at, std::string::npos);
  zip[at + 10] = static_cast<char>(zip[at + 10] ^ 0x5A);
}

// Declares 100 bytes as the uncompressed size of entry `i` in its local and
// its central header.
void declare_small(std::string& zip, int i) {
  const std::string name = entry_name(i);
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(zip[at]) |
                                    static_cast<unsigned char>(zip[at + 1]) << 8);
  };
  int patched = 0;
  // signature, offset of the name length, of the name, of the size
  for (const auto& [signature, length_at, name_at, size_at] :
       {std::tuple{"PK\x03\x04", 26u, 30u, 22u}, std::tuple{"PK\x01\x02", 28u, 46u, 24u}}) {
    for (std::size_t at = zip.find(signature); at != std::string::npos; at = zip.find(signature, at + 1)) {
      if (u16(at + length_at) == name.size() && zip.compare(at + name_at, name.size(), name) == 0) {
        zip.replace(at + size_at, 4, std::string("\x64\0\0\0", 4));
        ++patched;
      }
    }
  }
  ASSERT_EQ(patched, 2) << name;
}

class ParallelUnpackTest : public testing_support::PackFolderTest {
 protected:
  void SetUp() override {
    PackFolderTest::SetUp();
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < kEntries; ++i) entries.emplace_back(entry_name(i), content(i));
    testing_support::make_archive("package.zip", entries);
    fs::create_directories("out");
  }

  // A job per entry, odd ones by name, staged by `transaction` as the
  // workers go; `unpreparable` fails its preparing, `folder` has nothing to
  // write.
  std::vector<UnpackResult> run(FileTransaction& transaction, int workers, std::vector<UnpackJob>& jobs,
                                std::size_t unpreparable = kEntries, std::size_t folder = kEntries) {
    jobs.clear();
    for (int i = 0; i < kEntries; ++i) jobs.push_back({i % 2 ? -1 : i, i % 2 ? entry_name(i) : "", ""});
    return unpack_entries("package.zip", jobs, workers, [&](std::size_t i, UnpackJob& job) {
      if (i == unpreparable) return JobReadiness::failed;
      if (i == folder) return JobReadiness::nothing_to_write;
      job.destination = transaction.stage(("out/" + entry_name(static_cast<int>(i))).c_str());
      return JobReadiness::ready;
    });
  }
};

TEST_F(ParallelUnpackTest, WritesWhatTheOneByOneUnpackWrites) {
  const std::intptr_t pack = pack_open(OBJECT_DYNAMIC, "package.zip");
  ASSERT_NE(pack, 0);
  EXPECT_EQ(pack_archive_path(pack), "package.zip");
  fs::create_directories("one-by-one");
  for (int i = 0; i < kEntries; ++i) {
    ASSERT_GE(pack_unpack_entry_to_file(pack, ("one-by-one/" + entry_name(i)).c_str(), entry_name(i).c_str()), 0);
  }
  for (const int workers : {1, 2, 4, 8}) {
    FileTransaction transaction;
    std::vector<UnpackJob> jobs;
    const std::vector<UnpackResult> results = run(transaction, workers, jobs, kEntries, 5);
    EXPECT_EQ(first_unfinished(results), jobs.size()) << workers;
    for (int i = 0; i < kEntries; ++i) {
      if (i == 5) continue;
      EXPECT_TRUE(read_file(jobs[static_cast<std::size_t>(i)].destination) ==
                  read_file("one-by-one/" + entry_name(i)))
          << entry_name(i) << " on " << workers;
    }
    EXPECT_EQ(folder_names("out").size(), static_cast<std::size_t>(kEntries - 1)) << workers;
  }
}

TEST_F(ParallelUnpackTest, TheEarliestFailureIsReportedAndNothingStays) {
  struct Case {
    const char* what;
    std::function<void(std::string&)> doctor;
    std::size_t unpreparable;
    std::size_t first_failed;
  };
  const auto none = [](std::string&) {};
  const std::vector<Case> cases = {
      {"bad CRC early, oversized entry late", [](std::string& z) { corrupt_data(z, 4); declare_small(z, 37); }, kEntries, 4},
      {"oversized entry early, bad CRC late", [](std::string& z) { declare_small(z, 3); corrupt_data(z, 36); }, kEntries, 3},
      {"the large entry's CRC, then a small one's", [](std::string& z) { corrupt_data(z, 10); corrupt_data(z, 12); }, kEntries, 10},
      {"a late bad CRC alone", [](std::string& z) { corrupt_data(z, 36); }, kEntries, 36},
      {"bad CRC early, a late entry not staged", [](std::string& z) { corrupt_data(z, 8); }, 30, 8},
      {"an early entry not staged, bad CRC late", [](std::string& z) { corrupt_data(z, 32); }, 2, 2},
      {"a late entry not staged alone", none, 38, 38},
  };
  const std::string good = read_file("package.zip");
  for (const Case& c : cases) {
    std::string zip = good;
    c.doctor(zip);
    write_file("package.zip", zip);
    for (const int workers : {1, 4}) {
      {
        FileTransaction transaction;
        std::vector<UnpackJob> jobs;
        const std::vector<UnpackResult> results = run(transaction, workers, jobs, c.unpreparable);
        EXPECT_EQ(first_unfinished(results), c.first_failed) << c.what << " on " << workers;
        EXPECT_EQ(results[c.first_failed], UnpackResult::failed) << c.what << " on " << workers;
      }  // rolled back
      EXPECT_TRUE(folder_names("out").empty()) << c.what << " on " << workers;
    }
  }
  // A name missing from the archive, and an archive that cannot be opened.
  write_file("package.zip", good);
  FileTransaction transaction;
  std::vector<UnpackJob> jobs;
  run(transaction, 1, jobs);
  jobs[20] = {-1, "missing.bin", jobs[20].destination};
  EXPECT_EQ(first_unfinished(unpack_entries("package.zip", jobs, 4)), 20u);
  EXPECT_EQ(unpack_entries("nothing.zip", jobs, 4)[0], UnpackResult::failed);
  // A preparing that throws leaves no worker waiting for it.
  const auto throw_at_3 = [](std::size_t i, UnpackJob&) {
    if (i == 3) throw std::bad_alloc();
    return JobReadiness::ready;
  };
  EXPECT_THROW(unpack_entries("package.zip", jobs, 4, throw_at_3), std::bad_alloc);
}

}  // namespace
}  // namespace brindax
