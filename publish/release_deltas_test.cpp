#include "publish/release_deltas.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace brindax::publish {
namespace {

// Bytes that do not compress (so that only the base can make a delta small).
std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(ReleaseDeltas, RebuildTheFileFromItsBaseOnly) {
  const std::string old_file = noise(300000, 1);
  std::string new_file = old_file;
  new_file.replace(1000, 5, "patch");
  new_file.insert(200000, noise(3000, 2));

  const std::string delta = make_delta_frame(old_file, new_file);
  ASSERT_FALSE(delta.empty());
  EXPECT_LT(delta.size(), 4000u);  // the inserted noise and a little
  EXPECT_EQ(apply_delta_frame(old_file, delta, new_file.size()), new_file);

  const std::string alone = make_delta_frame("", new_file);
  EXPECT_GT(alone.size(), new_file.size() - 1000);  // noise does not compress
  EXPECT_EQ(apply_delta_frame("", alone, new_file.size()), new_file);

  std::string changed_base = old_file, corrupted = delta;
  changed_base[1] ^= 1;  // the user's own copy of the file
  corrupted[corrupted.size() / 2] ^= 0x40;
  for (const auto& [base, frame, size] : {
           std::tuple{changed_base, delta, new_file.size()},  // decodes, to other bytes
           std::tuple{std::string(), delta, new_file.size()},
           std::tuple{old_file, corrupted, new_file.size()},
           std::tuple{old_file, delta, new_file.size() - 1},
           std::tuple{old_file, delta.substr(0, delta.size() - 1), new_file.size()},
           std::tuple{old_file, delta + alone, new_file.size()},  // a second frame
       }) {
    const std::optional<std::string> rebuilt = apply_delta_frame(base, frame, size);
    EXPECT_TRUE(!rebuilt || *rebuilt != new_file);
  }
}

TEST(ReleaseDeltas, OfferedOnlyWhenClearlySmaller) {
  const struct {
    bool from_nothing;
    std::uint64_t frame, entry;
    bool offered;
  } cases[] = {
      {false, 90, 100, true},   {false, 91, 100, false}, {false, 5, 5, false},
      {false, 1, 0, false},     {true, 139, 100, true},  {true, 140, 100, false},
      {true, 41, 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(delta_is_worth_it(c.from_nothing, c.frame, c.entry, 40), c.offered)
        << c.from_nothing << " " << c.frame << " " << c.entry;
  }
}

}  // namespace
}  // namespace brindax::publish
