// Keys files over bytes: the strict parser, and the chain walk with keys
// and signatures made here with libsodium in minisign's format.
#include "updater/keys_file.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <map>
#include <string>

namespace brindax {
namespace {

struct TestKey {
  ReleaseKey key;
  unsigned char secret[crypto_sign_SECRETKEYBYTES];
};

TestKey make_key() {
  EXPECT_GE(sodium_init(), 0);
  TestKey made;
  crypto_sign_keypair(made.key.public_key.data(), made.secret);
  randombytes_buf(made.key.key_id.data(), made.key.key_id.size());
  return made;
}

std::string base64(const unsigned char* data, std::size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

// A prehashed minisign signature of `body`.
std::string signature_of(const std::string& body, const TestKey& signer) {
  ReleaseHash hash;
  hash.update(body.data(), body.size());
  const auto digest = hash.finish();
  unsigned char raw[2 + 8 + crypto_sign_BYTES] = {'E', 'D'};
  std::copy(signer.key.key_id.begin(), signer.key.key_id.end(), raw + 2);
  crypto_sign_detached(raw + 10, nullptr, digest.data(), digest.size(), signer.secret);
  const std::string comment = "brindax-keys";
  std::string global_input(reinterpret_cast<const char*>(raw + 10), crypto_sign_BYTES);
  global_input += comment;
  unsigned char global[crypto_sign_BYTES];
  crypto_sign_detached(global, nullptr, reinterpret_cast<const unsigned char*>(global_input.data()),
                       global_input.size(), signer.secret);
  return "untrusted comment: test\n" + base64(raw, sizeof raw) + "\ntrusted comment: " + comment + "\n" +
         base64(global, sizeof global) + "\n";
}

std::string keys_file(std::uint64_t version, std::int64_t expires, std::uint32_t threshold,
                      const std::vector<const TestKey*>& roots, const std::vector<const TestKey*>& signers,
                      const TestKey& release) {
  std::vector<ReleaseKey> root_keys;
  for (const TestKey* root : roots) root_keys.push_back(root->key);
  std::string text = format_keys_body(version, expires, threshold, root_keys, {release.key});
  const std::string body = text;
  text += KEYS_SIGNATURES_LINE;
  for (const TestKey* signer : signers) text += signature_of(body, *signer);
  return text;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class KeysFileTest : public ::testing::Test {
 protected:
  TestKey a = make_key(), b = make_key(), c = make_key(), release = make_key();
  const std::int64_t later = 4000000000;
};

TEST_F(KeysFileTest, OnlyTheExactFormIsParsed) {
  const std::string good = keys_file(2, later, 1, {&a, &b}, {&a}, release);
  const std::optional<KeysFile> parsed = parse_keys_file(good);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->version, 2u);
  EXPECT_EQ(parsed->expires, later);
  EXPECT_EQ(parsed->roots.size(), 2u);
  EXPECT_EQ(parsed->release_keys[0].public_key, release.key.public_key);
  EXPECT_EQ(parsed->body + std::string(KEYS_SIGNATURES_LINE), good.substr(0, good.find("untrusted")));

  const std::string root_a = "root: " + format_public_key(a.key) + "\n";
  const std::vector<std::pair<const char*, std::string>> bad = {
      {"CR LF line ends", replaced(good, "version: 2\n", "version: 2\r\n")},
      {"another heading", replaced(good, "Brindax keys file", "Brindax key file")},
      {"version 0", replaced(good, "version: 2", "version: 0")},
      {"leading zero", replaced(good, "version: 2", "version: 02")},
      {"blank after the colon", replaced(good, "version: 2", "version:  2")},
      {"version past 64 bits", replaced(good, "version: 2", "version: 18446744073709551616")},
      {"negative expiry", replaced(good, "expires: ", "expires: -")},
      {"threshold 0", replaced(good, "threshold: 1", "threshold: 0")},
      {"threshold above the roots", replaced(good, "threshold: 1", "threshold: 3")},
      {"one root named twice", replaced(good, root_a, root_a + root_a)},
      {"no release key", replaced(good, "release: " + format_public_key(release.key) + "\n", "")},
      {"an unknown field", replaced(good, "signatures:\n", "comment: x\nsignatures:\n")},
      {"no signature", good.substr(0, good.find("untrusted"))},
      {"a signature cut short", good.substr(0, good.size() - 1)},
      {"a blank line at the end", good + "\n"},
      {"a NUL byte", replaced(good, "untrusted comment: test", std::string("untrusted comment: t\0st", 23))},
      {"more than 64 KiB", replaced(good, "untrusted comment: test",
                                    "untrusted comment: " + std::string(KEYS_FILE_LIMIT, 'x'))},
  };
  for (const auto& [what, text] : bad) EXPECT_FALSE(parse_keys_file(text).has_value()) << what;
}

TEST_F(KeysFileTest, ChainWalk) {
  // Version 1 by roots a and b (2 of 2), version 2 moves to c alone.
  const std::string v1 = keys_file(1, later, 2, {&a, &b}, {&a, &b}, release);
  const std::string v2 = keys_file(2, later, 1, {&c}, {&a, &b, &c}, release);
  const TrustedRoots built_in{0, 2, {a.key, b.key}};
  struct Case {
    const char* what;
    TrustedRoots trusted;
    std::map<std::uint64_t, std::string> server;  // versions; 0 is the current file
    KeysProblem problem;
    std::uint64_t at_version;
  };
  const std::vector<Case> cases = {
      {"walks from the built-in roots", built_in, {{0, v2}, {1, v1}}, KeysProblem::none, 0},
      {"the recorded version again", roots_of(*parse_keys_file(v2)), {{0, v2}}, KeysProblem::none, 0},
      {"the recorded version, signed by other roots", roots_of(*parse_keys_file(v2)),
       {{0, keys_file(2, later, 1, {&c}, {&a}, release)}}, KeysProblem::too_few_trusted, 2},
      {"version 1 by one signature counted twice", built_in,
       {{0, keys_file(1, later, 2, {&a, &b}, {&a, &a}, release)}}, KeysProblem::too_few_trusted, 1},
      {"a version file holding another version", built_in, {{0, v2}, {1, v2}}, KeysProblem::misnamed, 1},
      {"a version missing on the way", roots_of(*parse_keys_file(v1)),
       {{0, keys_file(3, later, 1, {&c}, {&c}, release)}}, KeysProblem::missing, 2},
      {"no keys file", built_in, {}, KeysProblem::missing, 0},
      {"the newest expired", built_in, {{0, keys_file(1, 5, 2, {&a, &b}, {&a, &b}, release)}},
       KeysProblem::expired, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto fetch = [&c](std::uint64_t version) -> std::optional<std::string> {
      const auto found = c.server.find(version);
      if (found == c.server.end()) return std::nullopt;
      return found->second;
    };
    const KeysChain chain = walk_keys_chain(c.trusted, fetch(0), fetch, 1000);
    EXPECT_EQ(chain.problem, c.problem);
    EXPECT_EQ(chain.newest.has_value(), c.problem == KeysProblem::none);
    if (c.problem != KeysProblem::none) EXPECT_EQ(chain.at_version, c.at_version);
  }
}

}  // namespace
}  // namespace brindax
