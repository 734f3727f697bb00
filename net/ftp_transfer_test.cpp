// Downloads against a scripted peer: passive-mode reply shapes, 125 and 150,
// replies sharing a receive, broken and stalled data connections, active
// mode and the worker thread.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "net/ftp.h"
#include "net/net_test_support.h"
#include "runtime/core/heap.h"
#include "testing/scripted_ftp_peer.h"

namespace brindax {
namespace {

using net_test::log_in;
using net_test::open_session;

using DataEnd = testkit::ScriptedFtpPeer::DataEnd;
using net_test::read_file;
using net_test::Scratch;
using testkit::ScriptedFtpPeer;

const std::string kContent = "version list\r\nline 2\n" + std::string(10000, 'z') + "end";

// TYPE and PASV up to the 227 reply (the data listener is open by then).
ScriptedFtpPeer& passive_prelude(ScriptedFtpPeer& peer, const std::string& reply_227) {
  return peer.expect("TYPE I")
      .send("200 binary\r\n")
      .expect("PASV")
      .listen_data()
      .send(reply_227);
}

const char* const kStandard227 = "227 Entering Passive Mode (127,0,0,1,{P1},{P2}).\r\n";

TEST(FtpTransferTest, PassiveRepliesInDifferentShapes) {
  const char* replies[] = {
      kStandard227,
      "227 =127,0,0,1,{P1},{P2}\r\n",
      "227 Entering Passive Mode v2 127,0,0,1,{P1},{P2} and more text\r\n",
      "227 Entering Passive Mode (127, 0, 0, 1, {P1}, {P2})\r\n",
      "227-Passive\r\n227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n",
      // Another host: only the port is taken, the control peer is used.
      "227 Entering Passive Mode (127,0,0,2,{P1},{P2})\r\n",
  };
  for (const char* reply : replies) {
    SCOPED_TRACE(reply);
    Scratch scratch;
    ScriptedFtpPeer peer;
    passive_prelude(log_in(peer), reply)
        .expect("RETR file.bin")
        .send("150 Opening BINARY mode data connection\r\n")
        .serve_data(kContent)
        .send("226 Transfer complete\r\n")
        .expect("QUIT");
    peer.start();
    const ObjectId session = open_session(peer);
    ASSERT_NE(session, 0);
    EXPECT_EQ(ftp_receive_file(session, "file.bin", (scratch / "got").c_str()), 1);
    EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_DONE);
    EXPECT_EQ(read_file(scratch / "got"), kContent);
    ftp_close(session);
    EXPECT_TRUE(peer.finish()) << peer.failure();
  }
}

TEST(FtpTransferTest, Passive227WithoutSixNumbersFailsBeforeRetr) {
  const char* replies[] = {
      "227 Entering Passive Mode (127,0,0,1,{P1})\r\n",
      "227 Entering Passive Mode (127,0,0,1,300,{P2})\r\n",
      "227\r\n",
      "500 PASV not understood\r\n",
  };
  for (const char* reply : replies) {
    SCOPED_TRACE(reply);
    Scratch scratch;
    ScriptedFtpPeer peer;
    passive_prelude(log_in(peer), reply).expect_no_data_connection(200).expect("QUIT");
    peer.start();
    const ObjectId session = open_session(peer);
    ASSERT_NE(session, 0);
    EXPECT_EQ(ftp_receive_file(session, "file.bin", (scratch / "got").c_str()), 0);
    EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_FAILED);
    ftp_close(session);
    EXPECT_TRUE(peer.finish()) << peer.failure();
    EXPECT_TRUE(scratch.entries().empty());
  }
}

TEST(FtpTransferTest, Retr125AndBothRepliesInOneChunk) {
  Scratch scratch;
  ScriptedFtpPeer peer;
  passive_prelude(log_in(peer), kStandard227)
      .expect("RETR a")
      .send("125 Data connection already open\r\n")
      .serve_data("first")
      .send("226 ok\r\n");
  passive_prelude(peer, kStandard227)
      .expect("RETR b")
      .send("150 go\r\n226 Transfer complete\r\n")  // the 226 is kept for later
      .serve_data("second")
      .expect("CWD next")
      .send("250 ok\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_receive_file(session, "a", (scratch / "a").c_str()), 1);
  EXPECT_EQ(ftp_receive_file(session, "b", (scratch / "b").c_str()), 1);
  EXPECT_EQ(ftp_change_directory(session, "next"), 1);  // still in step
  EXPECT_EQ(read_file(scratch / "a"), "first");
  EXPECT_EQ(read_file(scratch / "b"), "second");
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpTransferTest, FailuresKeepAnEarlierFileAndLeaveNoPartialOne) {
  struct Case {
    const char* name;
    std::function<void(ScriptedFtpPeer&)> after_retr;
    const char* retr_reply;
  };
  const Case cases[] = {
      {"missing remote file", [](ScriptedFtpPeer&) {}, "550 No such file or directory.\r\n"},
      {"data connection reset",
       [](ScriptedFtpPeer& p) {
         p.serve_data(std::string(200000, 'p'), DataEnd::reset).send("426 broken\r\n");
       },
       "150 go\r\n"},
      {"server reports failure after a clean end",
       [](ScriptedFtpPeer& p) {
         p.serve_data("half of it").send("451 local error in processing\r\n");
       },
       "150 go\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch scratch;
    const std::string local = scratch / "Brindax.ver";
    net_test::write_file(local, "old content");
    ScriptedFtpPeer peer;
    passive_prelude(log_in(peer), kStandard227).expect("RETR Brindax.ver").send(c.retr_reply);
    c.after_retr(peer);
    peer.expect("CWD after").send("250 ok\r\n").expect("QUIT");
    peer.start();
    const ObjectId session = open_session(peer);
    ASSERT_NE(session, 0);
    EXPECT_EQ(ftp_receive_file(session, "Brindax.ver", local.c_str()), 0);
    EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_FAILED);
    EXPECT_EQ(read_file(local), "old content");
    EXPECT_EQ(scratch.entries(), std::vector<std::string>{"Brindax.ver"});
    EXPECT_EQ(ftp_change_directory(session, "after"), 1);  // the session stays usable
    ftp_close(session);
    EXPECT_TRUE(peer.finish()) << peer.failure();
  }
}

TEST(FtpTransferTest, StalledDataConnectionFailsAfterTheTimeOut) {
  net_test::ShortTimeout timeout(1);
  Scratch scratch;
  ScriptedFtpPeer peer;
  passive_prelude(log_in(peer), kStandard227)
      .expect("RETR slow")
      .send("150 go\r\n")
      .serve_data("a little", DataEnd::stall)
      .stall();  // and no final reply either
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ftp_receive_file(session, "slow", (scratch / "slow").c_str()), 0);
  const double elapsed = net_test::seconds_since(start);
  EXPECT_GE(elapsed, 1.5);  // the data wait, then the final reply's wait
  EXPECT_LT(elapsed, 6.0);
  EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_FAILED);
  EXPECT_TRUE(scratch.entries().empty());
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpTransferTest, DownloadBounds) {
  net_test::ShortTimeout timeout(1);
  const std::int64_t unbounded = 0;
  struct Case {
    const char* name;
    std::string data;
    std::size_t chunk;
    int pause_ms;
    std::int64_t max_size;
    std::int64_t keep_free;
    std::int32_t result;
  };
  const Case cases[] = {
      {"a byte per 300 ms: under 1 KiB per time-out", std::string(20, 'x'), 1, 300, unbounded,
       FTP_KEEP_FREE_BYTES, 0},
      {"2 KiB per 300 ms over several time-outs", std::string(16384, 'y'), 2048, 300, unbounded,
       FTP_KEEP_FREE_BYTES, 1},
      {"exactly the size bound", std::string(5000, 's'), 5000, 0, 5000, FTP_KEEP_FREE_BYTES, 1},
      {"a byte past the size bound", std::string(5001, 's'), 5001, 0, 5000, FTP_KEEP_FREE_BYTES, 0},
      {"the volume would keep too little free space", "data", 4, 0, unbounded,
       std::int64_t{1} << 62, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch scratch;
    ScriptedFtpPeer peer;
    passive_prelude(log_in(peer), kStandard227)
        .expect("RETR file")
        .send("150 go\r\n")
        .trickle_data(c.data, c.chunk, c.pause_ms)
        .send("226 done\r\n")
        .expect("QUIT");
    peer.start();
    const ObjectId session = open_session(peer);
    ASSERT_NE(session, 0);
    FtpReceiveOptions limits;
    limits.max_size = c.max_size;
    limits.keep_free = c.keep_free;
    const std::string local = scratch / "file";
    EXPECT_EQ(ftp_receive_file_with(session, "file", local.c_str(), limits), c.result);
    if (c.result == 1) {
      EXPECT_EQ(read_file(local), c.data);
    } else {
      EXPECT_TRUE(scratch.entries().empty());
    }
    ftp_close(session);
    EXPECT_TRUE(peer.finish()) << peer.failure();
  }
}

TEST(FtpTransferTest, ActiveModeAnnouncesTheControlConnectionsAddress) {
  Scratch scratch;
  ScriptedFtpPeer peer;
  log_in(peer)
      .expect("TYPE I")
      .send("200 binary\r\n")
      .expect("PORT 127,0,0,1,")
      .send("200 PORT ok\r\n")
      .expect("RETR file.bin")
      .send("150 connecting\r\n")
      .connect_data(kContent)
      .send("226 done\r\n")
      .expect("TYPE I")
      .send("200 binary\r\n")
      .expect("PORT ")
      .send("500 no active mode here\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer, 0);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_receive_file(session, "file.bin", (scratch / "got").c_str()), 1);
  EXPECT_EQ(read_file(scratch / "got"), kContent);
  EXPECT_EQ(ftp_receive_file(session, "file.bin", (scratch / "again").c_str()), 0);
  EXPECT_EQ(ftp_lookup(session)->listener, nullptr);  // released at once
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpTransferTest, ActiveModeWithoutAConnectionFailsAfterTheTimeOut) {
  net_test::ShortTimeout timeout(2);
  Scratch scratch;
  ScriptedFtpPeer peer;
  log_in(peer)
      .expect("TYPE I")
      .send("200 binary\r\n")
      .expect("PORT ")
      .send("200 ok\r\n")
      .expect("RETR x")
      .send("150 connecting\r\n")
      .pause(300)
      .send("425 Can't open data connection.\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer, 0);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_receive_file(session, "x", (scratch / "x").c_str()), 0);
  EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_FAILED);
  EXPECT_TRUE(scratch.entries().empty());
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpTransferTest, WorkerDownloadsAndReportsThroughTheStatus) {
  Scratch scratch;
  ScriptedFtpPeer peer;
  passive_prelude(log_in(peer), kStandard227)
      .expect("RETR file.bin")
      .send("150 go\r\n")
      .serve_data(kContent)
      .send("226 done\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  ASSERT_EQ(ftp_receive_file_ex(session, "file.bin", (scratch / "got").c_str(), 1), 1);
  EXPECT_EQ(ftp_receive_file_ex(session, "file.bin", (scratch / "twice").c_str(), 1), 0);
  const auto start = std::chrono::steady_clock::now();
  while (ftp_transfer_status(session) != FTP_STATUS_DONE &&
         ftp_transfer_status(session) != FTP_STATUS_FAILED && net_test::seconds_since(start) < 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_DONE);
  ftp_wait_transfer(session);  // returns at once: nothing runs any more
  EXPECT_EQ(read_file(scratch / "got"), kContent);
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpTransferTest, ClosingDuringAWorkerDownloadStopsItAndKeepsNoFile) {
  Scratch scratch;
  ScriptedFtpPeer peer;
  passive_prelude(log_in(peer), kStandard227)
      .expect("RETR file.bin")
      .send("150 go\r\n")
      .serve_data("some of it", DataEnd::stall)
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  ASSERT_EQ(ftp_receive_file_ex(session, "file.bin", (scratch / "got").c_str(), 1), 1);
  const auto wait = std::chrono::steady_clock::now();
  while (ftp_transfer_status(session) != 10 && net_test::seconds_since(wait) < 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ftp_transfer_status(session), 10);  // receiving: the byte count
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ftp_close(session), 1);  // waits for the worker, then QUIT
  EXPECT_LT(net_test::seconds_since(start), 2.0);
  EXPECT_EQ(ftp_lookup(session), nullptr);
  EXPECT_TRUE(peer.finish()) << peer.failure();
  EXPECT_TRUE(scratch.entries().empty());
}

TEST(FtpTransferTest, ClosingWhileAWorkerWaitsForItsFirstReplyWaitsForIt) {
  // The worker is between its request and its local file (status -1): the
  // close must still wait for it instead of freeing the session under it.
  Scratch scratch;
  ScriptedFtpPeer peer;
  log_in(peer).expect("TYPE I").pause(300).send("200 binary\r\n").expect("PASV").send(
      "500 no\r\n").expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  ASSERT_EQ(ftp_receive_file_ex(session, "file.bin", (scratch / "got").c_str(), 1), 1);
  EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_STARTING);
  EXPECT_EQ(ftp_close(session), 1);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpTransferTest, AWorkerThatCannotStartLeavesTheSessionFailedNotBusy) {
  Scratch scratch;
  ScriptedFtpPeer peer;
  log_in(peer).expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  heap_fail_allocations_after(0);  // the job cannot be made, so no worker starts
  const std::int32_t started = ftp_receive_file_ex(session, "f", (scratch / "f").c_str(), 1);
  heap_fail_allocations_after(-1);
  EXPECT_EQ(started, 0);
  EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_FAILED);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ftp_close(session), 1);  // nothing to wait for
  EXPECT_LT(net_test::seconds_since(start), 1.0);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpTransferTest, MissingNamesOrSessionLeaveTheStatusAlone) {
  Scratch scratch;
  ScriptedFtpPeer peer;
  log_in(peer).expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_receive_file(session, nullptr, (scratch / "x").c_str()), 0);
  EXPECT_EQ(ftp_receive_file(session, "x", nullptr), 0);
  EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_NONE);
  ftp_close(session);
  EXPECT_EQ(ftp_receive_file(9, "x", (scratch / "x").c_str()), 0);  // never opened
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

}  // namespace
}  // namespace brindax
