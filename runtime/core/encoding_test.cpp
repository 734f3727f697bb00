#include "runtime/core/encoding.h"

#include <gtest/gtest.h>

namespace brindax {
namespace {

TEST(Encoding, Utf8NamesToExact8BitText) {
  const struct {
    const char* utf8;
    bool exact;
    const char* text;
  } cases[] = {
      {"", true, ""},
      {"Brindax.exe", true, "Brindax.exe"},
      {"caf\xC3\xA9.txt", true, "caf\xE9.txt"},       // in every Western code page
      {"?.txt", true, "?.txt"},                        // a real "?" is no replacement
      {"\xCE\xA9.txt", false, "?.txt"},                // Greek Omega: no 8-bit form here
      {"\xE4\xB8\xAD", false, "?"},                    // nor a CJK character
      {"a\xC0\xAE/b", false, "a?" "?/b"},                // overlong "."
      {"x\xC0\x80y", false, "x??y"},                   // overlong NUL
      {"\xED\xA0\x80", false, "???"},                  // a surrogate
      {"cut\xC3", false, "cut?"},                      // a sequence cut off
      {"\xF4\x90\x80\x80", false, "????"},             // beyond U+10FFFF
  };
  for (const auto& c : cases) {
    std::string text;
    EXPECT_EQ(utf8_to_ansi_exact(c.utf8, &text), c.exact) << c.utf8;
    EXPECT_EQ(text, c.text) << c.utf8;
  }
}

}  // namespace
}  // namespace brindax
