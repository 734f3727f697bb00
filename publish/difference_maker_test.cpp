#include "publish/difference_maker.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "publish/release_deltas.h"

namespace brindax::publish {
namespace {

// Something like a compiled program: instructions of an opcode byte and a
// 4-byte absolute address into its data, and noise-like code between them.
// `moved` bytes inserted at `at` shift every later address, as a rebuild
// that grows one function does.
std::string program(std::size_t instructions, std::size_t at, std::size_t moved) {
  std::mt19937 random(7);
  std::string code;
  for (std::size_t i = 0; i < instructions; ++i) {
    if (i == at) code += std::string(moved, '\x90');
    const std::uint32_t target = static_cast<std::uint32_t>(0x401000 + (random() % 60000) * 16);
    const std::uint32_t address = target + (target >= 0x401000 + at * 8 ? static_cast<std::uint32_t>(moved) : 0);
    code += static_cast<char>(0xE8 + random() % 4);
    for (int b = 0; b < 4; ++b) code += static_cast<char>((address >> (8 * b)) & 0xFF);
    for (int b = 0; b < 3; ++b) code += static_cast<char>(random());
  }
  return code;
}

TEST(DifferenceMaker, RoundTrips) {
  const std::string old_program = program(40000, 20000, 0);
  const std::string new_program = program(40000, 20000, 48);
  std::string patched = old_program;
  patched.replace(1000, 5, "patch");
  std::mt19937 random(3);
  std::string unrelated(5000, '\0');
  for (char& c : unrelated) c = static_cast<char>(random());
  const struct {
    const char* what;
    std::string base, content;
    bool uses_base;  // changing a byte of the base changes the result
  } cases[] = {
      {"addresses shifted", old_program, new_program, true},
      {"a few bytes patched", old_program, patched, true},
      {"the same", old_program, old_program, true},
      {"unrelated", old_program, unrelated, false},
      {"from an empty file", "", unrelated, false},
      {"to an empty file", old_program, "", false},
      {"one byte", "a", "b", false},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> delta = make_difference_delta(c.base, c.content);
    ASSERT_TRUE(delta) << c.what;
    EXPECT_TRUE(apply_difference_delta(c.base, *delta, c.content.size()) == c.content) << c.what;
    if (c.uses_base) {
      std::string other_base = c.base;
      other_base[other_base.size() / 3] ^= 0x20;  // a base the delta was not made from
      EXPECT_FALSE(apply_difference_delta(other_base, *delta, c.content.size()) == c.content) << c.what;
    }
  }
}

// Shifted addresses defeat exact matching, not byte-wise differences: the
// difference delta must be the one taken, and far smaller; for a tiny edit
// of a small file the zstd frame stays.
TEST(DifferenceMaker, ThePublisherTakesTheSmallerKind) {
  const std::string old_program = program(40000, 20000, 0);
  const std::string new_program = program(40000, 20000, 48);
  const struct {
    const char* what;
    std::string base, content;
    DeltaKind expected;
  } cases[] = {
      {"addresses shifted", old_program, new_program, DeltaKind::difference},
      {"a small text edited", "version 1.2.3 of the manual\n", "version 1.2.4 of the manual\n",
       DeltaKind::zstd_frame},
  };
  for (const auto& c : cases) {
    std::string bytes = make_delta_frame(c.base, c.content);
    const std::size_t frame_size = bytes.size();
    DeltaKind kind = DeltaKind::zstd_frame;
    take_smaller_difference(c.base, c.content, &kind, &bytes);
    EXPECT_EQ(kind, c.expected) << c.what;
    if (kind == DeltaKind::difference) {
      EXPECT_LT(bytes.size() * 2, frame_size) << c.what;
      EXPECT_EQ(apply_difference_delta(c.base, bytes, c.content.size()), c.content);
    } else {
      EXPECT_EQ(bytes.size(), frame_size) << c.what;
    }
  }
}

}  // namespace
}  // namespace brindax::publish
