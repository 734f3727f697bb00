// The FTP client against a real server (pyftpdlib on loopback).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "net/ftp.h"
#include "net/net_test_support.h"
#include "testing/ftp_server_fixture.h"

namespace brindax {
namespace {

using net_test::read_file;
using net_test::Scratch;
using testkit::FtpServerFixture;

ObjectId open_session(const FtpServerFixture& server, std::int32_t passive = 1) {
  return static_cast<ObjectId>(ftp_open(OBJECT_DYNAMIC, server.host(), server.user().c_str(),
                                        server.password().c_str(), passive, server.port()));
}

// Peak resident memory of this process in KiB (0 where /proc is missing).
long peak_resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmHWM:" && status >> value) return value;
    status.ignore(256, '\n');
  }
  return 0;
}

// Whether a file holds exactly `size` bytes of the fixture's pattern; read in
// pieces so that checking does not itself raise the memory peak.
bool holds_pattern(const std::string& path, std::size_t size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> block(1 << 16);
  std::size_t at = 0;
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const auto n = static_cast<std::size_t>(in.gcount());
    for (std::size_t i = 0; i < n; ++i) {
      if (static_cast<unsigned char>(block[i]) != FtpServerFixture::pattern_byte(at + i)) {
        return false;
      }
    }
    at += n;
  }
  return at == size;
}

class FtpServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.running()) << "pyftpdlib did not start"; }

  FtpServerFixture server_;
  Scratch scratch_;
};

TEST_F(FtpServerTest, LogInChangeIntoANestedDirectoryAndDownload) {
  server_.write_file("public_html/source/Kelmor/Brindax.ver", "3\n1@a@2\n");
  server_.write_file("top.txt", "at the top");
  const ObjectId session = open_session(server_);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_change_directory(session, "public_html/source/Kelmor/"), 1);
  EXPECT_EQ(ftp_receive_file(session, "Brindax.ver", (scratch_ / "ServerVersion.ver").c_str()),
            1);
  EXPECT_EQ(read_file(scratch_ / "ServerVersion.ver"), "3\n1@a@2\n");
  EXPECT_EQ(ftp_change_directory(session, "no-such-directory"), 0);
  EXPECT_EQ(ftp_change_directory(session, ".."), 1);
  EXPECT_EQ(ftp_change_directory(session, ".."), 1);
  EXPECT_EQ(ftp_change_directory(session, ".."), 1);
  EXPECT_EQ(ftp_receive_file(session, "top.txt", (scratch_ / "top").c_str()), 1);
  EXPECT_EQ(read_file(scratch_ / "top"), "at the top");
  EXPECT_EQ(ftp_close(session), 1);
}

TEST_F(FtpServerTest, EmptyAndSmallFilesInBothModes) {
  server_.write_file("empty.bin", "");
  server_.write_pattern_file("small.bin", 5000);
  for (std::int32_t passive : {1, 0}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    const ObjectId session = open_session(server_, passive);
    ASSERT_NE(session, 0);
    const std::string empty = scratch_ / ("empty" + std::to_string(passive));
    net_test::write_file(empty, "previous content");  // replaced
    EXPECT_EQ(ftp_receive_file(session, "empty.bin", empty.c_str()), 1);
    EXPECT_EQ(read_file(empty), "");
    const std::string small = scratch_ / ("small" + std::to_string(passive));
    EXPECT_EQ(ftp_receive_file(session, "small.bin", small.c_str()), 1);
    EXPECT_TRUE(holds_pattern(small, 5000));
    EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_DONE);
    ftp_close(session);
  }
}

TEST_F(FtpServerTest, LargeFileArrivesWholeWithFlatMemory) {
  constexpr std::size_t kSize = 64u << 20;
  server_.write_pattern_file("big.zip", kSize);
  const ObjectId session = open_session(server_);
  ASSERT_NE(session, 0);
  const long peak_before = peak_resident_kib();
  ASSERT_EQ(ftp_receive_file(session, "big.zip", (scratch_ / "big.zip").c_str()), 1);
  const long peak_after = peak_resident_kib();
  EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_DONE);
  EXPECT_TRUE(holds_pattern(scratch_ / "big.zip", kSize));
  // The data goes through one fixed buffer: 64 MiB pass without the
  // process growing by more than a few pages.
  EXPECT_LT(peak_after - peak_before, 4096) << "KiB before " << peak_before;
  ftp_close(session);
}

TEST_F(FtpServerTest, MissingRemoteFileLeavesTheLocalFileAlone) {
  const std::string local = scratch_ / "Brindax.zip";
  net_test::write_file(local, "the installed package");
  const ObjectId session = open_session(server_);
  ASSERT_NE(session, 0);
  EXPECT_EQ(ftp_receive_file(session, "Brindax.zip", local.c_str()), 0);
  EXPECT_EQ(ftp_transfer_status(session), FTP_STATUS_FAILED);
  EXPECT_EQ(read_file(local), "the installed package");
  EXPECT_EQ(scratch_.entries(), std::vector<std::string>{"Brindax.zip"});
  server_.write_file("later.txt", "ok");
  EXPECT_EQ(ftp_receive_file(session, "later.txt", (scratch_ / "later").c_str()), 1);
  ftp_close(session);
}

TEST_F(FtpServerTest, WrongPasswordOrUserFailsTheLogIn) {
  EXPECT_EQ(ftp_open(OBJECT_DYNAMIC, server_.host(), server_.user().c_str(), "wrong", 1,
                     server_.port()),
            0);
  EXPECT_EQ(ftp_open(2, server_.host(), "nobody", server_.password().c_str(), 1, server_.port()),
            0);
  EXPECT_EQ(ftp_lookup(2), nullptr);
  // The server still takes a correct log-in afterwards.
  const ObjectId session = open_session(server_);
  EXPECT_NE(session, 0);
  ftp_close(session);
}

}  // namespace
}  // namespace brindax
