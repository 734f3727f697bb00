// The HTTPS transport against real servers on 127.0.0.1: nginx with a CA and
// certificates made at test time, a hostile Python peer and tinyproxy
// (testing/https_servers.h).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "net/transport.h"
#include "testing/https_servers.h"

namespace brindax {
namespace {

namespace fs = std::filesystem;
using testkit::HttpsServers;

std::string pattern(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = 2463534242u + static_cast<std::uint32_t>(seed);
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

std::string base(int port, const char* folder = "") {
  return "https://127.0.0.1:" + std::to_string(port) + "/" + folder;
}

std::string read_file(const fs::path& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

// Collects what a ranged fetch hands over, by offset.
struct Collected {
  std::map<std::uint64_t, std::string> pieces;
  std::string joined() const {
    std::string all;
    for (const auto& [offset, data] : pieces) {
      if (offset != all.size()) return "gap at " + std::to_string(offset);
      all += data;
    }
    return all;
  }
  static bool take(void* self, std::uint64_t offset, const char* data, std::int32_t n) {
    auto& pieces = static_cast<Collected*>(self)->pieces;
    pieces[offset].append(data, static_cast<std::size_t>(n));
    return true;
  }
};

class HttpsTransportTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    servers_ = new HttpsServers(BRINDAX_HTTPS_TEST_DIR, BRINDAX_TEST_CA_FILE, BRINDAX_HTTPS_PEER_SCRIPT);
    servers_->write_file("Brindax.ver", "Brindax.zip\nBrindax.exe@1\n");
    servers_->write_file("pkg dir/Brindax 1.zip", pattern(300000, 1));
    servers_->write_file("no-ranges/Brindax.zip", pattern(200000, 2));
    servers_->write_file("gzip/Brindax.ver", "Brindax.zip\n");
  }
  static void TearDownTestSuite() {
    delete servers_;
    servers_ = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(servers_->failure(), "");
    local_ = fs::path(BRINDAX_HTTPS_TEST_DIR) / "local";
    fs::remove_all(local_);
    fs::create_directories(local_);
  }
  std::unique_ptr<Transport> open(const std::string& bases, std::int32_t timeout = 20) {
    auto transport = open_https_transport(bases.c_str(), timeout, BRINDAX_TEST_CA_FILE);
    EXPECT_NE(transport, nullptr) << bases;
    return transport;
  }
  std::string local(const char* name) const { return (local_ / name).string(); }

  static HttpsServers* servers_;
  fs::path local_;
};
HttpsServers* HttpsTransportTest::servers_ = nullptr;

TEST_F(HttpsTransportTest, WholeFilesRangesAndIdentityOverOneConnection) {
  const std::size_t log_start = servers_->access_log().size();
  auto server = open(base(HttpsServers::NGINX_PORT));
  ASSERT_NE(server, nullptr);
  ASSERT_TRUE(server->receive_file("Brindax.ver", local("Brindax.ver").c_str(), {}));
  EXPECT_EQ(read_file(local("Brindax.ver")), "Brindax.zip\nBrindax.exe@1\n");

  const std::string package = pattern(300000, 1);
  const auto info = server->remote_file("pkg dir/Brindax 1.zip");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->size, 300000);
  EXPECT_FALSE(info->identity.empty());
  Collected tail, middle;
  EXPECT_EQ(server->receive_range("pkg dir/Brindax 1.zip", 299000, 1000, Collected::take, &tail), RangeReply::range);
  EXPECT_EQ(server->receive_range("pkg dir/Brindax 1.zip", 70000, 150000, Collected::take, &middle),
            RangeReply::range);
  ASSERT_EQ(tail.pieces.begin()->first, 299000u);
  ASSERT_EQ(middle.pieces.begin()->first, 70000u);
  tail.pieces = {{0, package.substr(0, 299000) + tail.pieces.begin()->second}};
  EXPECT_EQ(tail.joined(), package);
  std::string got;
  for (const auto& [offset, data] : middle.pieces) got += data;
  EXPECT_EQ(got, package.substr(70000, 150000));

  // Every request of the run came over one connection, and the pieces were
  // asked for on the condition of the first answer's ETag.
  const auto log = servers_->access_log(log_start + 4);
  ASSERT_EQ(log.size(), log_start + 4);
  std::set<std::string> connections;
  for (std::size_t i = log_start; i < log.size(); ++i) connections.insert(log[i].substr(0, log[i].find(' ')));
  EXPECT_EQ(connections.size(), 1u);
  EXPECT_NE(log.back().find(" 206"), std::string::npos) << log.back();
}

TEST_F(HttpsTransportTest, ReplacedFileBetweenRangesFails) {
  servers_->write_file("changing.zip", pattern(100000, 3));
  auto server = open(base(HttpsServers::NGINX_PORT));
  Collected first, second;
  ASSERT_EQ(server->receive_range("changing.zip", 0, 1000, Collected::take, &first), RangeReply::range);
  // A new file of the same size: nginx's ETag (time and size) changes.
  servers_->write_file("changing.zip", pattern(100000, 4));
  fs::last_write_time(servers_->root() / "changing.zip", fs::file_time_type::clock::now() + std::chrono::hours(1));
  EXPECT_EQ(server->receive_range("changing.zip", 5000, 1000, Collected::take, &second), RangeReply::failed);
}

TEST_F(HttpsTransportTest, ServerWithoutRangesGivesTheWholeFileOnce) {
  const std::size_t log_start = servers_->access_log().size();
  auto server = open(base(HttpsServers::NGINX_PORT));
  Collected whole;
  ASSERT_EQ(server->receive_range("no-ranges/Brindax.zip", 150000, 100, Collected::take, &whole), RangeReply::whole);
  EXPECT_EQ(whole.joined(), pattern(200000, 2));
  EXPECT_EQ(servers_->access_log(log_start + 1).size(), log_start + 1);
}

TEST_F(HttpsTransportTest, RefusedAnswersLeaveNoFile) {
  struct Case {
    std::string base;
    const char* remote;
    std::int64_t max_size;
  };
  const Case cases[] = {
      {base(HttpsServers::NGINX_PORT), "missing.ver", 0},                 // 404
      {base(HttpsServers::NGINX_PORT, "to-http/"), "Brindax.ver", 0},     // redirect to http://
      {base(HttpsServers::NGINX_PORT, "loop/"), "Brindax.ver", 0},        // endless redirects
      {base(HttpsServers::NGINX_PORT, "gzip/"), "Brindax.ver", 0},        // Content-Encoding: gzip
      {base(HttpsServers::NGINX_PORT), "pkg dir/Brindax 1.zip", 299999},  // over the cap
      {base(HttpsServers::PEER_PORT), "short.bin", 0},                    // less than Content-Length
      {base(HttpsServers::PEER_PORT), "huge-head.bin", 0},                // 70 KiB of headers
      {base(HttpsServers::PEER_PORT), "unframed.ver", 0},     // no length: a cut looks like the end
      {base(HttpsServers::PEER_PORT), "cut-chunked.ver", 0},  // no last chunk
  };
  for (const Case& c : cases) {
    auto server = open(c.base);
    ASSERT_NE(server, nullptr);
    ReceiveOptions options;
    options.max_size = c.max_size;
    EXPECT_FALSE(server->receive_file(c.remote, local("got").c_str(), options)) << c.base << c.remote;
    EXPECT_FALSE(fs::exists(local("got"))) << c.base << c.remote;
    EXPECT_FALSE(server->unreachable()) << c.base << c.remote;
    EXPECT_TRUE(fs::is_empty(local_)) << c.base << c.remote;  // no temporary file left
  }
  auto peer = open(base(HttpsServers::PEER_PORT));
  Collected ignored;
  EXPECT_EQ(peer->receive_range("wrong-range.bin", 100, 10, Collected::take, &ignored), RangeReply::failed);
  EXPECT_TRUE(ignored.pieces.empty());

  for (const char* remote : {"unframed.ver", "cut-chunked.ver"}) {
    Collected streamed;
    EXPECT_FALSE(peer->receive_stream(remote, 0, Collected::take, &streamed)) << remote;
  }
  // A whole chunked body is kept.
  EXPECT_TRUE(peer->receive_file("chunked.ver", local("chunked.ver").c_str(), {}));
  EXPECT_EQ(read_file(local("chunked.ver")), "Brindax.zip\nBrindax.exe@1\n");

  // A redirect within https is followed.
  auto moved = open(base(HttpsServers::NGINX_PORT, "moved/"));
  EXPECT_TRUE(moved->receive_file("Brindax.ver", local("Brindax.ver").c_str(), {}));
}

TEST_F(HttpsTransportTest, RefusedCertificatesCountAsUnreachableAndMirrorsTakeOver) {
  for (int port : {HttpsServers::OTHER_CA_PORT, HttpsServers::EXPIRED_PORT, HttpsServers::WRONG_HOST_PORT,
                   HttpsServers::CLOSED_PORT}) {
    auto server = open(base(port));
    EXPECT_FALSE(server->receive_file("Brindax.ver", local("Brindax.ver").c_str(), {})) << port;
    EXPECT_TRUE(server->unreachable()) << port;
  }
  auto mirrors = open(base(HttpsServers::CLOSED_PORT) + ";" + base(HttpsServers::EXPIRED_PORT) + ";" +
                      base(HttpsServers::NGINX_PORT) + ";" + base(HttpsServers::PEER_PORT));
  EXPECT_TRUE(mirrors->receive_file("Brindax.ver", local("Brindax.ver").c_str(), {}));
  EXPECT_FALSE(mirrors->unreachable());
  // The serving base stays: a missing file does not send the run elsewhere.
  EXPECT_FALSE(mirrors->receive_file("missing.ver", local("missing").c_str(), {}));
  EXPECT_TRUE(mirrors->remote_file("pkg dir/Brindax 1.zip").has_value());
}

TEST_F(HttpsTransportTest, ServerThatNeverAnswersTimesOut) {
  auto server = open(base(HttpsServers::PEER_PORT), 2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server->receive_file("silent.bin", local("silent").c_str(), {}));
  // Two seconds for the head; the margin is for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_FALSE(server->unreachable());  // it was reached: no failover for this
}

TEST_F(HttpsTransportTest, ThroughTheProxyOfTheEnvironment) {
  const std::string proxy = "http://127.0.0.1:" + std::to_string(HttpsServers::PROXY_PORT);
  setenv("https_proxy", proxy.c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  auto server = open(base(HttpsServers::NGINX_PORT));
  const bool received = server->receive_file("Brindax.ver", local("Brindax.ver").c_str(), {});
  unsetenv("https_proxy");
  EXPECT_TRUE(received);
  EXPECT_NE(servers_->proxy_log().find("CONNECT"), std::string::npos) << servers_->proxy_log();
}

}  // namespace
}  // namespace brindax
