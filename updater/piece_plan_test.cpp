#include "updater/piece_plan.h"

#include <gtest/gtest.h>

namespace brindax {
namespace {

struct Range {
  std::string remote;
  std::uint64_t offset, length;
  bool whole;
  bool operator==(const Range&) const = default;
};

std::vector<Range> ranges_of(const std::vector<PlannedDownload>& downloads) {
  std::vector<Range> ranges;
  for (const auto& d : downloads) ranges.push_back({d.remote, d.offset, d.length, d.whole});
  return ranges;
}

struct PlanCase {
  const char* what;
  std::vector<WantedPiece> pieces;
  std::map<std::string, std::uint64_t> extents;
  std::vector<Range> expected;
};

TEST(PiecePlan, JoinsNearPiecesOfOneFileOnly) {
  const std::uint64_t far = 1 << 20;
  const std::vector<PlanCase> cases = {
      {"adjacent and overlapping join", {{"p", 100, 50}, {"p", 150, 10}, {"p", 120, 100}}, {},
       {{"p", 100, 120, false}}},
      {"a gap within the rule joins", {{"p", 0, 10}, {"p", 10 + 64 * 1024, 10}}, {},
       {{"p", 0, 64 * 1024 + 20, false}}},
      {"a far gap does not", {{"p", 0, 10}, {"p", far, 10}}, {},
       {{"p", 0, 10, false}, {"p", far, 10, false}}},
      {"other files never join", {{"b", 0, 10}, {"a", 10, 10}}, {},
       {{"a", 10, 10, false}, {"b", 0, 10, false}}},
      {"most of a known file: whole", {{"d", 10, 60}, {"d", far - 100, 50}}, {{"d", 100}},
       {{"d", 0, far - 50, true}}},
      {"half or less: ranges", {{"d", 0, 25}, {"d", far, 25}}, {{"d", far * 2}},
       {{"d", 0, 25, false}, {"d", far, 25, false}}},
      {"empty pieces are nothing", {{"p", 5, 0}}, {}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ranges_of(plan_downloads(c.pieces, c.extents)), c.expected) << c.what;
  }
}

TEST(PiecePlan, AThousandScatteredPiecesTakeFewDownloadsAndEveryPieceIsInOne) {
  std::vector<WantedPiece> pieces;
  for (std::uint64_t i = 0; i < 1000; ++i) {
    // Uneven gaps, all beyond the near rule, in two files.
    pieces.push_back({i % 3 == 0 ? "deltas/x.delta" : "Brindax.zip", i * 300000 + (i * i) % 7919, 1000});
  }
  const auto plan = plan_downloads(pieces, {});
  EXPECT_LE(plan.size(), 24u);
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> spans;  // first byte, end
  for (const auto& piece : pieces) {
    auto [at, fresh] = spans.try_emplace(piece.remote, piece.offset, piece.offset + piece.size);
    at->second.first = std::min(at->second.first, piece.offset);
    at->second.second = std::max(at->second.second, piece.offset + piece.size);
  }
  std::uint64_t span_bytes = 0;
  for (const auto& [remote, span] : spans) span_bytes += span.second - span.first;
  std::vector<int> seen(pieces.size(), 0);
  for (const auto& download : plan) {
    for (const std::size_t i : download.pieces) {
      ++seen[i];
      EXPECT_EQ(pieces[i].remote, download.remote);
      EXPECT_GE(pieces[i].offset, download.offset);
      EXPECT_LE(pieces[i].offset + pieces[i].size, download.offset + download.length);
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 1000);
  // Nothing before a file's first piece or after its last is fetched.
  EXPECT_LE(planned_bytes(plan), span_bytes);
}

}  // namespace
}  // namespace brindax
