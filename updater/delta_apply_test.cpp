#include "updater/delta_apply.h"

#include <sys/stat.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace brindax {
namespace {

namespace fs = std::filesystem;

std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// A delta as the publisher makes one: the old content as the prefix.
std::string make_delta(const std::string& old_content, const std::string& new_content) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 19);
  ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1);
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 24);
  if (!old_content.empty()) ZSTD_CCtx_refPrefix(context, old_content.data(), old_content.size());
  std::string frame(ZSTD_compressBound(new_content.size()), '\0');
  const std::size_t n = ZSTD_compress2(context, frame.data(), frame.size(), new_content.data(),
                                       new_content.size());
  ZSTD_freeCCtx(context);
  EXPECT_FALSE(ZSTD_isError(n));
  frame.resize(n);
  return frame;
}

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

struct DeltaCase {
  const char* what;
  void (*spoil)(std::string& installed, std::string& frame, std::uint64_t& size);
  DeltaOutcome expected;
  DeltaOutcome or_else = DeltaOutcome::applied;  // a second answer that is as right
};

TEST(DeltaApply, OnlyTheAnnouncedContentCounts) {
  const fs::path folder = fs::temp_directory_path() / ("brindax-delta-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string old_content = noise(300000, 1);
  std::string new_content = old_content;
  new_content.replace(1000, 50, noise(50, 2));
  new_content += noise(2000, 3);
  const std::string delta = make_delta(old_content, new_content);
  ASSERT_LT(delta.size(), 10000u);
  const Digest256 digest = content_digest(new_content);

  const std::vector<DeltaCase> cases = {
      {"applied", [](std::string&, std::string&, std::uint64_t&) {}, DeltaOutcome::applied},
      {"the user changed the file", [](std::string& i, std::string&, std::uint64_t&) { i[70000] ^= 1; },
       DeltaOutcome::other_content},
      // Without a checksum in the frame, damage may decode to other bytes.
      {"a damaged frame", [](std::string&, std::string& f, std::uint64_t&) { f[f.size() / 2] ^= 0x55; },
       DeltaOutcome::corrupt, DeltaOutcome::other_content},
      {"a frame cut short", [](std::string&, std::string& f, std::uint64_t&) { f.resize(f.size() - 3); },
       DeltaOutcome::corrupt},
      {"bytes after the frame", [](std::string&, std::string& f, std::uint64_t&) { f += f; },
       DeltaOutcome::corrupt},
      {"a smaller size announced", [](std::string&, std::string&, std::uint64_t& s) { s -= 1; },
       DeltaOutcome::corrupt},
      {"a larger size announced", [](std::string&, std::string&, std::uint64_t& s) { s += 1; },
       DeltaOutcome::corrupt},
      {"beyond the largest file", [](std::string&, std::string&, std::uint64_t& s) { s = DELTA_MAX_FILE_SIZE + 1; },
       DeltaOutcome::too_large},
  };
  for (const auto& c : cases) {
    std::string installed = old_content, frame = delta;
    std::uint64_t size = new_content.size();
    c.spoil(installed, frame, size);
    std::ofstream(folder / "base", std::ios::binary | std::ios::trunc) << installed;
    fs::permissions(folder / "base", fs::perms::owner_exec, fs::perm_options::add);
    const fs::path output = folder / "out";
    const DeltaOutcome outcome = apply_delta((folder / "base").string().c_str(), frame, size, digest, output.string().c_str());
    EXPECT_TRUE(outcome == c.expected || (outcome == c.or_else && outcome != DeltaOutcome::applied))
        << c.what << ": " << static_cast<int>(outcome);
    if (c.expected == DeltaOutcome::applied) EXPECT_EQ(read_all(output), new_content);
  }
  EXPECT_EQ(apply_delta((folder / "missing").string().c_str(), delta, new_content.size(), digest,
                        (folder / "out").string().c_str()),
            DeltaOutcome::no_base);

  // Many at once, from nothing and from a base: each gets its own result,
  // and the executable bit its job states, whatever the base's (which has
  // one).
  std::vector<DeltaJob> jobs;
  for (int i = 0; i < 6; ++i) {
    const std::string content = noise(5000 + i, 10 + i);
    DeltaJob job;
    job.base = i % 2 ? (folder / "base").string() : "";
    job.executable = i == 0 || i == 3;
    job.frame = make_delta(i % 2 ? read_all(folder / "base") : "", content);
    job.size = content.size();
    job.digest = content_digest(i == 5 ? "else" : content);
    job.output = (folder / ("job" + std::to_string(i))).string();
    jobs.push_back(std::move(job));
  }
  apply_deltas(jobs);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(jobs[i].outcome, i == 5 ? DeltaOutcome::other_content : DeltaOutcome::applied) << i;
    if (i == 5) continue;
    EXPECT_EQ(read_all(jobs[i].output), noise(5000 + i, 10 + i)) << i;
    // Executable bits are a POSIX matter; Windows has none.
    if (fs::path::preferred_separator == '/') {
      EXPECT_EQ(fs::status(jobs[i].output).permissions() & fs::perms::owner_exec,
                jobs[i].executable ? fs::perms::owner_exec : fs::perms::none)
          << i;
    }
  }
  fs::remove_all(folder);
}

}  // namespace
}  // namespace brindax
