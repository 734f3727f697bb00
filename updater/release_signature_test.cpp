// Publisher signatures checked over bytes. The key lines and signatures
// below were made with Debian's minisign (-G -W, then -S and -S -l).
#include "updater/release_signature.h"

#include <gtest/gtest.h>

#include <string>

namespace brindax {
namespace {

const char* const kKey = "RWSxiJbuAPhWN2eHcFdFYw+FQ0ImzBkhUxyqzSZptqTDjOj4LpkDPgFG";
const char* const kOtherKey = "RWSqQN5x/qKFYu16DeA2fQFMz5LS0BEdFUtNVUPwlJ+04giQ3s0BMl07";
const std::string kList = "Brindax.zip\nBrindax.exe@1.0\n";

const std::string kPrehashed =
    "untrusted comment: signature from minisign secret key\n"
    "RUSxiJbuAPhWN1p4qbA+RDTDv0K377bs6nD3ymXWrx5tT0VaO190UIz7R4jTt8I6UDEIPM02Gf12yYoT+Acj9rSUWIoLBGNNFAg=\n"
    "trusted comment: Brindax 1.0\n"
    "zhTVpYj5Er9gXKNCpNn9MYJ/0rt9vc3miYoBoMk5UHJxc6WcNj3kbRGwKL/xMHGsRrUjbbOLf5Idg3/XaDdcCg==\n";

const std::string kLegacy =
    "untrusted comment: signature from minisign secret key\n"
    "RWSxiJbuAPhWN7B3IByMWwHhehntYZAYm4hrURk9Er1LqetJly+Vndfw4/cQDgIHJHh5NTY1q4/oKX3cX0smmevHgwKjvFxy7wQ=\n"
    "trusted comment: Brindax 1.0 legacy\n"
    "4k031JOUlG20RZWwyF/epis3x6oc8dlH16ZqP8XVjmRyU/N4u1h4H+3vGLAw7WvNaVzO15aqh0Jo29SmUeDVDw==\n";

// The 64 bytes that a prehashed signature signs.
std::string hash_of(const std::string& content) {
  ReleaseHash hash;
  hash.update(content.data(), content.size());
  const auto digest = hash.finish();
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

TEST(ReleaseSignature, KeyLines) {
  ReleaseKey key;
  ASSERT_TRUE(parse_release_key(kKey, &key));
  EXPECT_EQ(key.key_id[0], 0xB1);  // minisign prints the id 3756F800EE9688B1
  EXPECT_EQ(key.key_id[7], 0x37);
  EXPECT_TRUE(parse_release_key(std::string(" ") + kKey + "\r\n", &key));
  const std::string good = kKey;
  for (const std::string& bad : {std::string(), good.substr(0, 55), good + "A", good + "==",
                                 replaced(good, "RWS", "RXS"),  // "Ed" becomes another algorithm
                                 replaced(good, "eHcF", "eH!F"),
                                 "untrusted comment: minisign public key\n" + good}) {
    EXPECT_FALSE(parse_release_key(bad, &key)) << bad;
  }
}

TEST(ReleaseSignature, SignaturesOverBytes) {
  ReleaseKey key;
  ASSERT_TRUE(parse_release_key(kKey, &key));
  const std::string crlf = replaced(replaced(replaced(replaced(kPrehashed, "key\n", "key\r\n"),
                                                      "NFAg=\n", "NFAg=\r\n"),
                                             "1.0\n", "1.0\r\n"),
                                    "Cg==\n", "Cg==\r\n");
  struct Case {
    const char* what;
    std::string signature;
    std::string content;
    SignatureCheck expected;
  };
  const Case cases[] = {
      {"prehashed", kPrehashed, kList, SignatureCheck::ok},
      {"legacy", kLegacy, kList, SignatureCheck::legacy},
      {"CR LF line ends", crlf, kList, SignatureCheck::ok},
      {"no line end at the end", kPrehashed.substr(0, kPrehashed.size() - 1), kList, SignatureCheck::ok},
      {"untrusted comment is not signed", replaced(kPrehashed, "from minisign", "from someone"), kList,
       SignatureCheck::ok},
      {"content changed", kPrehashed, replaced(kList, "1.0", "1.1"), SignatureCheck::does_not_verify},
      // "ED" turned into "Ed": the hash must not pass for the list.
      {"legacy with the hash as content", replaced(kPrehashed, "RUSx", "RWSx"), hash_of(kList),
       SignatureCheck::legacy},
      {"trusted comment changed", replaced(kPrehashed, "Brindax 1.0", "Brindax 1.1"), kList,
       SignatureCheck::does_not_verify},
      {"signature damaged", replaced(kPrehashed, "qbA+", "qbB+"), kList, SignatureCheck::does_not_verify},
      {"no untrusted comment line", kPrehashed.substr(kPrehashed.find('\n') + 1), kList,
       SignatureCheck::malformed},
      {"no global signature", kPrehashed.substr(0, kPrehashed.rfind("zhTV")), kList,
       SignatureCheck::malformed},
      {"a fifth line", kPrehashed + "more\n", kList, SignatureCheck::malformed},
      {"trusted comment without its prefix", replaced(kPrehashed, "trusted comment: ", "comment: "), kList,
       SignatureCheck::malformed},
      {"unknown algorithm", replaced(kPrehashed, "RUSx", "RVSx"), kList, SignatureCheck::malformed},
      {"signature line cut short", replaced(kPrehashed, "NFAg=", "NF"), kList, SignatureCheck::malformed},
      {"empty file", "", kList, SignatureCheck::malformed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(verify_release_signature(c.signature, key, c.content), c.expected) << c.what;
  }

  ReleaseKey other;
  ASSERT_TRUE(parse_release_key(kOtherKey, &other));
  EXPECT_EQ(verify_release_signature(kPrehashed, other, kList), SignatureCheck::other_key);
  // Same key id, another key: the signature alone decides.
  other.key_id = key.key_id;
  EXPECT_EQ(verify_release_signature(kPrehashed, other, kList), SignatureCheck::does_not_verify);
}

}  // namespace
}  // namespace brindax
