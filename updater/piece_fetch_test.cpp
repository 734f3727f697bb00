#include "updater/piece_fetch.h"

#include <gtest/gtest.h>

#include "updater/memory_server_test_support.h"

namespace brindax {
namespace {

struct Collector final : PieceReceiver {
  std::string bytes;
  std::size_t refuse_after = SIZE_MAX;
  void start() override { bytes.clear(); }
  bool take(const unsigned char* data, std::size_t size) override {
    if (bytes.size() + size > refuse_after) return false;
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
};

std::string counting(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) text += static_cast<char>('a' + i % 23);
  return text;
}

struct FetchCase {
  const char* what;
  void (*arrange)(MemoryServer&, std::vector<Collector>&);
  std::vector<bool> complete;
};

TEST(PieceFetch, EachPieceGetsExactlyItsBytesOrIsIncomplete) {
  const std::vector<WantedPiece> pieces = {
      {"pkg", 10, 30}, {"pkg", 45, 20}, {"pkg", 900, 40}, {"d.delta", 3, 90}, {"d.delta", 95, 5}};
  const std::vector<FetchCase> cases = {
      {"as planned", [](MemoryServer&, std::vector<Collector>&) {}, {true, true, true, true, true}},
      {"ranges answered whole", [](MemoryServer& s, std::vector<Collector>&) { s.whole_instead = true; },
       {true, true, true, true, true}},
      {"a stream that starts over", [](MemoryServer& s, std::vector<Collector>&) { s.stream_restarts = true; },
       {true, true, true, true, true}},
      {"transfers cut short", [](MemoryServer& s, std::vector<Collector>&) { s.cut_after = 52; },
       {true, false, true, false, false}},
      {"a delta file missing", [](MemoryServer& s, std::vector<Collector>&) { s.files.erase("d.delta"); },
       {true, true, true, false, false}},
      {"a receiver that refuses", [](MemoryServer&, std::vector<Collector>& r) { r[0].refuse_after = 5; },
       {false, true, true, true, true}},
  };
  for (const auto& c : cases) {
    MemoryServer server;
    server.files = {{"pkg", counting(2000)}, {"d.delta", counting(100)}};
    std::vector<Collector> collectors(pieces.size());
    c.arrange(server, collectors);
    std::vector<PieceReceiver*> receivers;
    for (auto& collector : collectors) receivers.push_back(&collector);
    const auto plan = plan_downloads(pieces, {{"d.delta", 100}}, PlanRules{100, 24});
    ASSERT_EQ(plan.size(), 3u) << c.what;  // two package ranges, the delta file whole
    EXPECT_EQ(fetch_pieces(server, pieces, plan, receivers), c.complete) << c.what;
    EXPECT_EQ(server.requests, 3) << c.what;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (!c.complete[i]) continue;
      const std::string file = counting(pieces[i].remote == "pkg" ? 2000 : 100);
      EXPECT_EQ(collectors[i].bytes, file.substr(pieces[i].offset, pieces[i].size)) << c.what << " " << i;
    }
  }
}

}  // namespace
}  // namespace brindax
