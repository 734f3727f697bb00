#include "updater/release_binding.h"

#include <gtest/gtest.h>

#include <string>

namespace brindax {
namespace {

const std::string kHex(128, 'a');
const std::string kGood = "brindax-release:7 size:1234 blake2b512:" + kHex;

TEST(ReleaseBinding, FormatsAndParsesBack) {
  ReleaseBinding binding;
  binding.sequence = 18446744073709551615u;
  binding.package_size = 0;
  for (std::size_t i = 0; i < binding.package_digest.size(); ++i) {
    binding.package_digest[i] = static_cast<std::uint8_t>(i * 4 + 1);
  }
  for (const std::optional<std::int64_t> expires :
       {std::optional<std::int64_t>{}, std::optional<std::int64_t>{0},
        std::optional<std::int64_t>{1767225600}, std::optional<std::int64_t>{INT64_MAX}}) {
    binding.expires = expires;
    const std::string text = format_release_binding(binding);
    const std::optional<ReleaseBinding> parsed = parse_release_binding(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->sequence, binding.sequence);
    EXPECT_EQ(parsed->package_size, binding.package_size);
    EXPECT_EQ(parsed->package_digest, binding.package_digest);
    EXPECT_EQ(parsed->expires, binding.expires);
    EXPECT_EQ(format_release_binding(*parsed), text);
  }
  EXPECT_EQ(format_release_binding(*parse_release_binding(kGood + " expires:5")),
            kGood + " expires:5");
  EXPECT_EQ(parse_release_binding(kGood)->package_digest[63], 0xaa);
}

TEST(ReleaseBinding, AnythingElseIsRefused) {
  const std::string hex127(127, 'a');
  for (const std::string& bad : {
           std::string(),
           "brindax-release:0 size:1 blake2b512:" + kHex,          // sequence 0
           "brindax-release:07 size:1 blake2b512:" + kHex,         // leading zero
           "brindax-release:+7 size:1 blake2b512:" + kHex,
           "brindax-release:-7 size:1 blake2b512:" + kHex,
           "brindax-release: 7 size:1 blake2b512:" + kHex,
           "brindax-release:7  size:1 blake2b512:" + kHex,         // two blanks
           "brindax-release:7\tsize:1 blake2b512:" + kHex,
           "brindax-release:18446744073709551616 size:1 blake2b512:" + kHex,  // overflow
           "brindax-release:7 size:18446744073709551616 blake2b512:" + kHex,
           "brindax-release:7 size: blake2b512:" + kHex,
           "brindax-release:7 blake2b512:" + kHex + " size:1",    // fields swapped
           "Brindax-release:7 size:1 blake2b512:" + kHex,
           "brindax-release:7 size:1 blake2b512:" + hex127,       // 127 digits
           "brindax-release:7 size:1 blake2b512:" + kHex + "a",   // 129 digits
           "brindax-release:7 size:1 blake2b512:" + hex127 + "A", // upper case
           "brindax-release:7 size:1 blake2b512:" + hex127 + "g",
           kGood + " ",
           kGood + "\n",
           kGood + " expires:",
           kGood + " expires:-1",
           kGood + " expires:9223372036854775808",             // beyond int64
           kGood + " expires:5 ",
           kGood + " expires:5 expires:6",
           kGood + " comment",
       }) {
    EXPECT_FALSE(parse_release_binding(bad)) << bad;
  }
}

TEST(ManifestBinding, FormatsParsesAndRefusesAnythingElse) {
  ManifestBinding binding;
  binding.sequence = 42;
  binding.list_digest.fill(0x5a);
  const std::string text = format_manifest_binding(binding);
  std::string hex;
  for (int i = 0; i < 64; ++i) hex += "5a";
  EXPECT_EQ(text, "brindax-manifest:42 list-blake2b512:" + hex);
  const std::optional<ManifestBinding> parsed = parse_manifest_binding(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->sequence, 42u);
  EXPECT_EQ(parsed->list_digest, binding.list_digest);

  const std::string good = "brindax-manifest:7 list-blake2b512:" + kHex;
  ASSERT_TRUE(parse_manifest_binding(good));
  for (const std::string& bad : {
           std::string(),
           "brindax-manifest:0 list-blake2b512:" + kHex,
           "brindax-manifest:07 list-blake2b512:" + kHex,
           "brindax-manifest:7  list-blake2b512:" + kHex,
           "brindax-manifest:7 list-blake2b512:" + kHex.substr(1),
           "brindax-manifest:7 list-blake2b512:" + kHex.substr(1) + "A",
           "brindax-manifest:7 blake2b512:" + kHex,
           good + " ",
           good + "a",
           kGood,  // the list's binding is not the manifest's
       }) {
    EXPECT_FALSE(parse_manifest_binding(bad)) << bad;
  }
  EXPECT_FALSE(parse_release_binding(good));
}

}  // namespace
}  // namespace brindax
