// Reply reading and the 227 parser over plain bytes, without sockets.
#include <gtest/gtest.h>

#include <string>

#include "net/ftp_reply.h"

namespace brindax::ftp_reply {
namespace {

TEST(FtpReplyTest, WholeRepliesFromBytes) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* accepted;
    bool complete;
    std::size_t consumed;
    std::int32_t code;
    bool accepted_result;
    const char* matching;
  };
  const Case cases[] = {
      {"one line, CR LF", "230 in\r\nrest", "230", true, 8, 230, true, "230 in"},
      {"bare LF", "331 pw\n", "230;331", true, 7, 331, true, "331 pw"},
      {"other code", "530 no\r\n", "230", true, 8, 530, false, ""},
      {"code as a substring only", "230 in\r\n", "1230;2300", true, 8, 230, false, ""},
      {"blank lines in front", "\r\n\n220 hi\r\n", "", true, 11, 220, false, ""},
      {"multi-line: other codes inside, last matching line kept",
       "230-a\r\n250 inside\r\n230-b\r\n230 end\r\nNEXT", "230", true, 35, 230, true, "230 end"},
      {"multi-line closed by the bare code", "226-x\r\n226\r\n", "226", true, 12, 226, true, "226"},
      {"\"xyz-\" inside does not close", "150-a\r\n150-b\r\n", "150", false, 0, 150, true, "150-b"},
      {"line not yet ended", "220 hel", "", false, 0, 0, false, ""},
      {"line without a code is a whole reply", "hello\r\n220 x\r\n", "220", true, 7, 0, false, ""},
      {"short line", "22\r\n", "220", true, 4, 0, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply reply = read_reply(c.bytes, c.accepted);
    EXPECT_EQ(reply.complete, c.complete);
    EXPECT_EQ(reply.consumed, c.consumed);
    EXPECT_EQ(reply.code, c.code);
    EXPECT_EQ(reply.accepted, c.accepted_result);
    EXPECT_EQ(reply.matching, c.matching);
  }
}

TEST(FtpReplyTest, LinesKeepTheirInnerCarriageReturns) {
  const LineCut cut = cut_line("a\rb\r\r\nc");
  EXPECT_TRUE(cut.complete);
  EXPECT_EQ(cut.line, "a\rb\r");  // only the CR right before the LF goes
  EXPECT_EQ(cut.consumed, 6u);
}

TEST(FtpReplyTest, PassiveAddresses) {
  struct Case {
    const char* line;
    bool found;
    std::uint8_t host[4];
    std::uint16_t port;
  };
  const Case cases[] = {
      {"227 Entering Passive Mode (192,168,1,2,19,137).", true, {192, 168, 1, 2}, 5001},
      {"227 =10,0,0,1,0,21", true, {10, 0, 0, 1}, 21},
      {"227 (127, 0, 0, 1, 255, 255)", true, {127, 0, 0, 1}, 65535},
      {"227 v2 1,2 then 7,8,9,10,1,0", true, {7, 8, 9, 10}, 256},  // first full run
      {"227 (127,0,0,1,300,2)", false, {}, 0},
      {"227 (127,0,0,1,0001,2)", false, {}, 0},  // four digits
      {"227 (127,0,0,1,5)", false, {}, 0},
      {"227 (127,0,0,1,5,)", false, {}, 0},
      {"227", false, {}, 0},
      {"2271,2,3,4,5,6", true, {1, 2, 3, 4}, 1286},  // scanned from the fourth character
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    PassiveAddress address{{9, 9, 9, 9}, 9};
    ASSERT_EQ(parse_passive_reply(c.line, &address), c.found);
    if (!c.found) continue;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(address.host[i], c.host[i]);
    EXPECT_EQ(address.port, c.port);
  }
}

}  // namespace
}  // namespace brindax::ftp_reply
