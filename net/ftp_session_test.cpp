// The FTP control session against a scripted peer: greetings and replies in
// awkward shapes, log-in, change of directory, refused commands, time-outs.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "net/ftp.h"
#include "net/net_test_support.h"
#include "testing/scripted_ftp_peer.h"

namespace brindax {
namespace {

using net_test::log_in;
using net_test::open_session;

using testkit::ScriptedFtpPeer;

TEST(FtpSessionTest, MultiLineGreetingsAreReadWholeBeforeUser) {
  // Lines inside a multi-line reply may begin with anything, even another
  // code followed by a blank; only "220 " ends it.
  const char* greetings[] = {
      "220-Welcome\r\n220-to the server\r\n220 ready\r\n",
      ("220-Welcome\r\nno code on this line\r\n  indented 331 line\r\n\r\n230 not the end\r\n"
       "220 ready\r\n"),
      "421-Busy\r\n421 try later\r\n",  // read the same way; the log-in goes on
      "220-Line ending only in LF\n220 ready\n",
  };
  for (const char* greeting : greetings) {
    SCOPED_TRACE(greeting);
    ScriptedFtpPeer peer;
    log_in(peer, greeting).expect("QUIT");
    peer.start();
    const ObjectId session = open_session(peer);
    EXPECT_NE(session, 0);
    ftp_close(session);
    EXPECT_TRUE(peer.finish()) << peer.failure();
  }
}

TEST(FtpSessionTest, RepliesSplitAcrossReceivesAreReassembled) {
  ScriptedFtpPeer peer;
  peer.send_bytewise("220-Split\r\n220 greeting\r\n")
      .expect("USER ")
      .send_bytewise("331 one byte per send\r\n")
      .expect("PASS ")
      .send("230-Welc")
      .pause(50)
      .send("ome\r\n230")
      .pause(50)
      .send(" done\r\n")
      .expect("CWD dir")
      .send("25")
      .pause(50)
      .send("0 ok\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_change_directory(session, "dir"), 1);
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpSessionTest, MultiLine230KeepsTheLastLineWithTheCode) {
  ScriptedFtpPeer peer;
  peer.send("220 ready\r\n")
      .expect("USER ")
      .send("331 pw\r\n")
      .expect("PASS ")
      .send("230-Welcome\r\n230-Second line\r\n250 inside, not an end\r\n230 last\r\n")
      .expect("CWD x")
      .send("250-Directory\r\n250 changed\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_change_directory(session, "x"), 1);
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpSessionTest, ExpectOutputsTheLastMatchingLineAndCutsToTheBuffer) {
  ScriptedFtpPeer peer;
  log_in(peer)
      .expect("NOOP")
      .send("200-first\r\n200-second\r\n200 third and last\r\n")
      .expect("NOOP")
      .send("200 a long line that does not fit\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  FtpSession* object = ftp_lookup(session);
  char output[64];
  ASSERT_EQ(ftp_send_command(object, "NOOP", ""), 1);
  EXPECT_EQ(ftp_expect(object, "200", output, sizeof output), 1);
  EXPECT_STREQ(output, "200 third and last");
  char small[8];
  ASSERT_EQ(ftp_send_command(object, "NOOP", ""), 1);
  EXPECT_EQ(ftp_expect(object, "150;200", small, sizeof small), 1);
  EXPECT_STREQ(small, "200 a l");
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpSessionTest, OverlongLinesAndManyLinesNeverOverflow) {
  std::string reply = "220-" + std::string(9000, 'x') + "\r\n";
  for (int i = 0; i < 300; ++i) reply += "220-line " + std::to_string(i) + "\r\n";
  reply += "220 ready\r\n";
  ScriptedFtpPeer peer;
  log_in(peer, reply)
      .expect("CWD d")
      .send("250 " + std::string(5000, 'y') + "\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_change_directory(session, "d"), 1);
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpSessionTest, ChangeDirectoryCommands) {
  ScriptedFtpPeer peer;
  log_in(peer)
      .expect("CDUP")
      .send("250 up\r\n")
      .expect("CWD ../x")
      .send("250 ok\r\n")
      .expect("CWD public_html/source/Kelmor/")
      .send("550 no such directory\r\n")
      .expect("CDUP")
      .send("200 up, but the wrong code\r\n")
      .expect("CWD ")
      .send("250 ok\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_change_directory(session, ".."), 1);
  EXPECT_EQ(ftp_change_directory(session, "../x"), 1);
  EXPECT_EQ(ftp_change_directory(session, "public_html/source/Kelmor/"), 0);
  EXPECT_EQ(ftp_change_directory(session, ".."), 0);
  EXPECT_EQ(ftp_change_directory(session, nullptr), 0);  // nothing sent
  EXPECT_EQ(ftp_change_directory(session, ""), 1);
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
  const auto lines = peer.received_lines();
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[2], "CDUP");
  EXPECT_EQ(lines[6], "CWD ");  // the empty path: the word, its blank, CR LF
}

TEST(FtpSessionTest, ArgumentsWithLineBreaksOrTooLongAreNotSent) {
  const std::string longest(1020, 'a');  // "X" + 1020 + CR LF + NUL fills the 1024 bytes
  ScriptedFtpPeer peer;
  log_in(peer)
      .expect("X" + longest)
      .send("500 unknown\r\n")
      .expect("CWD fine")
      .send("250 ok\r\n")
      .expect("QUIT");
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_change_directory(session, "x\r\nDELE important"), 0);
  EXPECT_EQ(ftp_change_directory(session, "x\nDELE important"), 0);
  EXPECT_EQ(ftp_change_directory(session, "x\r"), 0);
  EXPECT_EQ(ftp_change_directory(session, longest.c_str()), 0);  // "CWD " + 1020 is too long
  FtpSession* object = ftp_lookup(session);
  ASSERT_EQ(ftp_send_command(object, "X", longest.c_str()), 1);
  EXPECT_EQ(ftp_expect(object, "500", nullptr, 0), 1);
  EXPECT_EQ(ftp_change_directory(session, "fine"), 1);
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
  EXPECT_EQ(peer.received_lines().size(), 5u);  // USER, PASS, X, CWD, QUIT: nothing else
}

TEST(FtpSessionTest, RefusedLogInClosesTheSession) {
  struct Case {
    const char* name;
    std::function<void(ScriptedFtpPeer&)> script;
  };
  const Case cases[] = {
      {"account asked for",
       [](ScriptedFtpPeer& p) { p.send("220 hi\r\n").expect("USER ").send("332 acct\r\n"); }},
      {"wrong password",
       [](ScriptedFtpPeer& p) {
         p.send("220 hi\r\n").expect("USER ").send("331 pw\r\n").expect("PASS ").send(
             "530 Login incorrect.\r\n");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFtpPeer peer;
    c.script(peer);
    peer.expect("QUIT").expect_closed();
    peer.start();
    EXPECT_EQ(open_session(peer), 0);
    EXPECT_TRUE(peer.finish()) << peer.failure();
  }
}

TEST(FtpSessionTest, A230ToUserLogsInWithoutPassword) {
  ScriptedFtpPeer peer;
  peer.send("220 hi\r\n").expect("USER ").send("230-no password needed\r\n230 in\r\n");
  peer.expect("QUIT").expect_closed();
  peer.start();
  const ObjectId session = open_session(peer);
  EXPECT_NE(session, 0);
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
  EXPECT_EQ(peer.received_lines(), (std::vector<std::string>{"USER vantorel", "QUIT"}));
}

// Mirrors: one name standing for several loopback addresses (through the
// resolver seam), and lists of hosts.
std::int32_t resolve_mirrors(const char* host, std::uint32_t* addresses, std::int32_t capacity) {
  const std::string name(host);
  std::vector<const char*> found;
  if (name == "mirrors.test") found = {"127.0.0.2", "127.0.0.3", "127.0.0.1"};
  if (name == "refusing.test") found = {"127.0.0.4", "127.0.0.1"};
  std::int32_t count = 0;
  for (const char* text : found) {
    if (count < capacity) addresses[count++] = inet_addr(text);
  }
  return count;
}

TEST(FtpSessionTest, OpeningPassesOverAddressesThatDoNotGreet) {
  net_test::ShortTimeout timeout(1);
  net_set_host_resolver_for_tests(resolve_mirrors);
  // 127.0.0.2 refuses, 127.0.0.3 accepts and never greets, 127.0.0.4
  // greets and refuses the log-in, 127.0.0.1 logs the client in.
  struct Case {
    const char* hosts;
    bool opens;  // through 127.0.0.1
  };
  const Case cases[] = {
      {"mirrors.test", true},
      {"nothing.test;mirrors.test", true},  // a name without addresses first
      {"127.0.0.2;127.0.0.3", false},       // all dead: no session
      // The first server that greets refuses the log-in: the run stays with
      // it, though 127.0.0.1 would have served.
      {"refusing.test", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hosts);
    ScriptedFtpPeer served("127.0.0.1");
    ASSERT_NE(served.port(), 0);
    ScriptedFtpPeer silent("127.0.0.3", served.port());
    silent.stall(5000);
    silent.start();
    ScriptedFtpPeer refusing("127.0.0.4", served.port());
    refusing.send("220 hi\r\n").expect("USER ").send("530 not here\r\n").stall(5000);
    refusing.start();
    log_in(served).expect("QUIT");
    served.start();
    const auto start = std::chrono::steady_clock::now();
    const auto session = static_cast<ObjectId>(
        ftp_open(OBJECT_DYNAMIC, c.hosts, "vantorel", "secret", 1, served.port()));
    EXPECT_LT(net_test::seconds_since(start), 4.0);
    EXPECT_EQ(session != 0, c.opens);
    ftp_close(session);
    if (c.opens) {
      EXPECT_TRUE(served.finish()) << served.failure();
    }
  }
  net_set_host_resolver_for_tests(nullptr);
}

TEST(FtpSessionTest, NumberedSessionsOpenAndClose) {
  ScriptedFtpPeer peer;
  log_in(peer).expect("QUIT").expect_closed();
  peer.start();
  const std::intptr_t address =
      ftp_open(4, "127.0.0.1", "vantorel", "secret", 1, peer.port());
  ASSERT_NE(address, 0);
  EXPECT_EQ(reinterpret_cast<FtpSession*>(address), ftp_lookup(4));
  EXPECT_EQ(ftp_close(4), 1);
  EXPECT_EQ(ftp_close(4), 0);  // not open: nothing sent
  EXPECT_EQ(ftp_change_directory(4, "x"), 0);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(FtpSessionTest, ConnectionRefusedGivesZero) {
  int port = 0;
  {
    ScriptedFtpPeer closed_again;  // a port that was free a moment ago
    port = closed_again.port();
  }
  EXPECT_EQ(ftp_open(OBJECT_DYNAMIC, "127.0.0.1", "u", "p", 1, port), 0);
  EXPECT_EQ(ftp_open(6, "127.0.0.1", "u", "p", 1, port), 0);
  EXPECT_EQ(ftp_lookup(6), nullptr);
  EXPECT_EQ(ftp_open(OBJECT_DYNAMIC, nullptr, "u", "p", 1, port), 0);
}

TEST(FtpSessionTest, AServerThatStopsAnsweringFailsAfterTheTimeOut) {
  net_test::ShortTimeout timeout(1);
  ScriptedFtpPeer peer;
  peer.send("220 hi\r\n").expect("USER ").stall();
  peer.start();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(open_session(peer), 0);
  const double elapsed = net_test::seconds_since(start);
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 5.0);
  EXPECT_TRUE(peer.finish()) << peer.failure();
  // The QUIT of the failed log-in was sent before the connection closed.
  const auto lines = peer.received_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "QUIT");
}

TEST(FtpSessionTest, ConnectionLostMidReplyFailsTheCommand) {
  ScriptedFtpPeer peer;
  log_in(peer).expect("CWD a").send("250-partial\r\n").close_control();
  peer.start();
  const ObjectId session = open_session(peer);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_change_directory(session, "a"), 0);
  ftp_close(session);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

}  // namespace
}  // namespace brindax
