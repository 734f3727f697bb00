// The size query and the ranged fetch against a scripted peer: the exact
// dialogue, a server that sends past the range, refusals that leave the
// session usable.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/ftp.h"
#include "net/ftp_range.h"
#include "net/net_test_support.h"
#include "testing/scripted_ftp_peer.h"

namespace brindax {
namespace {

using net_test::log_in;
using net_test::open_session;

using DataEnd = testkit::ScriptedFtpPeer::DataEnd;
using testkit::ScriptedFtpPeer;

bool append(void* context, std::uint64_t, const char* data, std::int32_t n) {
  static_cast<std::string*>(context)->append(data, static_cast<std::size_t>(n));
  return true;
}

TEST(FtpRangeTest, SizeReplies) {
  struct Case {
    const char* reply;
    std::int64_t size;
  };
  const Case cases[] = {
      {"213 5000000000\r\n", 5000000000},
      {"213-Status\r\n213 17\r\n", 17},
      {"550 SIZE not allowed in ASCII mode.\r\n", -1},
      {"502 Command not implemented.\r\n", -1},
      {"213 17x\r\n", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    ScriptedFtpPeer peer;
    log_in(peer).expect("TYPE I").send("200 binary\r\n").expect("SIZE pkg.zip").send(c.reply);
    peer.expect("QUIT");
    peer.start();
    const ObjectId session = open_session(peer);
    ASSERT_NE(session, 0);
    EXPECT_EQ(ftp_remote_size(session, "pkg.zip"), c.size);
    ftp_close(session);
    EXPECT_TRUE(peer.finish()) << peer.failure();
  }
}

// The server keeps sending past the range (and holds the connection open):
// the client takes exactly the range, closes, takes the 426 and goes on with
// the next range on the same session. A refused REST fails that range only.
TEST(FtpRangeTest, RangesEndTheirTransferAndKeepTheSessionInStep) {
  // What follows the range fits the smallest receive buffer a range asks for,
  // so the peer has sent it all before the client closes.
  const std::string file = "0123456789abcdefghijklmnopqrstuvwxyz" + std::string(12000, '#');
  ScriptedFtpPeer peer;
  auto prelude = [&](const std::string& rest) -> ScriptedFtpPeer& {
    return peer.expect("TYPE I")
        .send("200 binary\r\n")
        .expect("PASV")
        .listen_data()
        .send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
        .expect(rest);
  };
  log_in(peer);
  prelude("REST 10")
      .send("350 Restarting at 10.\r\n")
      .expect("RETR pkg.zip")
      .send("150 go\r\n")
      .serve_data(file.substr(10), DataEnd::stall)
      .send("426 Transfer aborted.\r\n");
  prelude("REST 2")
      .send("350 Restarting at 2.\r\n")
      .expect("RETR pkg.zip")
      .send("150 go\r\n")
      .serve_data(file.substr(2, 3))  // the range is the rest of the file
      .send("226 Transfer complete.\r\n");
  prelude("REST 4").send("502 Command not implemented.\r\n");
  prelude("REST 36")
      .send("350 Restarting at 36.\r\n")
      .expect("RETR pkg.zip")
      .send("150 go\r\n")
      .serve_data("short")  // the file ends before the range does
      .send("226 Transfer complete.\r\n");
  peer.expect("TYPE I").send("200 binary\r\n").expect("SIZE pkg.zip").send("213 42\r\n");
  peer.expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);

  std::string got;
  EXPECT_EQ(ftp_receive_range(session, "pkg.zip", 10, 26, append, &got), 1);
  EXPECT_EQ(got, "abcdefghijklmnopqrstuvwxyz");
  got.clear();
  EXPECT_EQ(ftp_receive_range(session, "pkg.zip", 2, 3, append, &got), 1);
  EXPECT_EQ(got, "234");
  EXPECT_EQ(ftp_receive_range(session, "pkg.zip", 4, 3, append, &got), 0);
  EXPECT_EQ(ftp_receive_range(session, "pkg.zip", 36, 100, append, &got), 0);
  // Still in step: the next command gets its own reply.
  EXPECT_EQ(ftp_remote_size(session, "pkg.zip"), 42);
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

// After REST, a byte every 300 ms (under 1 KiB per time-out window) fails
// the range within about one window, as it fails a whole download; a range
// that the same pace completes within the window is taken.
TEST(FtpRangeTest, TricklingServerFailsTheRangeWithinATimeOutWindow) {
  net_test::ShortTimeout timeout(2);
  struct Case {
    std::uint64_t length;
    std::int32_t result;
  };
  const Case cases[] = {{60, 0}, {2, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    ScriptedFtpPeer peer;
    log_in(peer)
        .expect("TYPE I")
        .send("200 binary\r\n")
        .expect("PASV")
        .listen_data()
        .send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
        .expect("REST 0")
        .send("350 Restarting at 0.\r\n")
        .expect("RETR pkg.zip")
        .send("150 go\r\n")
        .trickle_data(std::string(60, 'x'), 1, 300)  // 18 s at this pace
        .send("426 Transfer aborted.\r\n")
        .expect_closed();
    peer.start();
    const ObjectId session = open_session(peer);
    ASSERT_NE(session, 0);
    std::string got;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ftp_receive_range(session, "pkg.zip", 0, c.length, append, &got), c.result);
    EXPECT_LT(net_test::seconds_since(start), 8.0);  // one window, the final reply, much slack
    ftp_close(session);
    EXPECT_TRUE(peer.finish()) << peer.failure();
  }
}

}  // namespace
}  // namespace brindax
