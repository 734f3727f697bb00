// The network layer on loopback: outgoing connections, the polled stream
// server, peeking, datagrams and name look-up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "net/network.h"

namespace brindax {
namespace {

std::uint16_t bound_port(NetServer* server) {
  os::SocketAddress address{};
  EXPECT_TRUE(os::local_address(server->socket, &address));
  return address.port;
}

// Polls a server until it reports an event other than none (at most ~2 s).
std::int32_t next_event(NetServer* server) {
  for (int i = 0; i < 200; ++i) {
    const std::int32_t event = net_server_event(server);
    if (event != NET_EVENT_NONE) return event;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return NET_EVENT_NONE;
}

TEST(NetworkStart, RepeatedStartAnswersOneAndKeepsWorking) {
  EXPECT_EQ(network_start(), 1);
  EXPECT_EQ(network_start(), 1);
  NetServer* server = net_open_server(OBJECT_DYNAMIC, 0);
  ASSERT_NE(server, nullptr);
  EXPECT_NE(bound_port(server), 0);
  net_close_server(server->handle);
}

TEST(NetServerTest, ConnectDataAndDisconnectEvents) {
  NetServer* server = net_open_server(OBJECT_DYNAMIC, 0, NET_TCP, "127.0.0.1");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(net_server_event(server), NET_EVENT_NONE);  // nobody there: at once

  NetConnection* client = net_connect("127.0.0.1", bound_port(server));
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(next_event(server), NET_EVENT_CONNECT);
  NetConnection* accepted = net_event_connection();
  ASSERT_NE(accepted, nullptr);
  EXPECT_EQ(accepted->owner, server);
  EXPECT_EQ(net_event_server(), server->handle);

  ASSERT_EQ(net_send(client, "hello", 5), 5);
  ASSERT_EQ(next_event(server), NET_EVENT_DATA);
  EXPECT_EQ(net_event_connection(), accepted);
  char buffer[16] = {};
  EXPECT_EQ(net_receive(accepted, buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "hello");

  // The accepted side is non-blocking: nothing pending peeks as 0.
  char scratch[8];
  EXPECT_EQ(net_peek(accepted->socket, 8, scratch), 0);
  EXPECT_EQ(net_send(accepted, "back", 4), 4);
  EXPECT_EQ(net_receive(client, buffer, sizeof buffer), 4);

  net_close_connection(client);
  ASSERT_EQ(next_event(server), NET_EVENT_DISCONNECT);
  EXPECT_EQ(net_event_connection(), nullptr);  // the record is gone
  EXPECT_EQ(server->connections, nullptr);
  EXPECT_EQ(net_close_server(server->handle), 1);
}

TEST(NetServerTest, NumberedServerIsReplacedAndClosedByNumber) {
  NetServer* first = net_open_server(3, 0, NET_TCP, "127.0.0.1");
  ASSERT_NE(first, nullptr);
  const std::uint16_t first_port = bound_port(first);
  NetServer* second = net_open_server(3, 0, NET_TCP, "127.0.0.1");
  ASSERT_EQ(second, first);  // the same element, re-used
  EXPECT_EQ(second->handle, 3);
  // The old listener has been closed.
  EXPECT_EQ(net_open_connection("127.0.0.1", first_port, NET_TCP, 1000, nullptr, 0), nullptr);
  EXPECT_EQ(net_server_lookup(3), second);
  EXPECT_EQ(net_close_server(3), 1);
  EXPECT_EQ(net_server_lookup(3), nullptr);
  EXPECT_EQ(net_close_server(3), 0);
}

TEST(NetServerTest, CloseAllClosesServersWithTheirConnections) {
  NetServer* a = net_open_server(OBJECT_DYNAMIC, 0, NET_TCP, "127.0.0.1");
  NetServer* b = net_open_server(7, 0, NET_TCP, "127.0.0.1");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  const std::uint16_t port_a = bound_port(a);
  NetConnection* client = net_connect("127.0.0.1", port_a);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(next_event(a), NET_EVENT_CONNECT);

  net_close_server(OBJECT_DYNAMIC);
  EXPECT_EQ(net_server_lookup(7), nullptr);
  // The accepted connection went with its server: the client sees the end.
  char buffer[4];
  EXPECT_LE(net_receive(client, buffer, sizeof buffer), 0);
  net_close_connection(client);
}

TEST(NetServerTest, RefusesPortsAboveTheRange) {
  EXPECT_EQ(net_open_server(OBJECT_DYNAMIC, 65536), nullptr);
  EXPECT_EQ(net_open_server(OBJECT_DYNAMIC, -1), nullptr);
  EXPECT_EQ(net_open_server(5, 70000), nullptr);
  EXPECT_EQ(net_server_lookup(5), nullptr);
}

TEST(NetConnectionTest, TimedConnectToAClosedPortFailsAndToAnOpenOneWorks) {
  NetServer* server = net_open_server(OBJECT_DYNAMIC, 0, NET_TCP, "127.0.0.1");
  ASSERT_NE(server, nullptr);
  const std::uint16_t port = bound_port(server);
  NetConnection* connection = net_open_connection("127.0.0.1", port, NET_TCP, 1500, nullptr, 0);
  ASSERT_NE(connection, nullptr);
  // Left blocking: a receive with nothing sent would wait, so only check
  // that the end is seen once the server goes.
  net_close_server(server->handle);
  char buffer[4];
  EXPECT_LE(net_receive(connection, buffer, sizeof buffer), 0);
  net_close_connection(connection);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(net_open_connection("127.0.0.1", port, NET_TCP, 1500, nullptr, 0), nullptr);
  EXPECT_EQ(net_connect("127.0.0.1", port), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(NetConnectionTest, HostNamesLocalBindingAndBadHosts) {
  NetServer* server = net_open_server(OBJECT_DYNAMIC, 0, NET_TCP, "127.0.0.1");
  ASSERT_NE(server, nullptr);
  NetConnection* by_name = net_connect("localhost", bound_port(server));
  ASSERT_NE(by_name, nullptr);
  net_close_connection(by_name);

  NetConnection* bound =
      net_open_connection("127.0.0.1", bound_port(server), NET_TCP, 0, "127.0.0.1", 0);
  ASSERT_NE(bound, nullptr);
  os::SocketAddress local{};
  ASSERT_TRUE(net_local_address(bound, &local));
  char text[16];
  net_format_ipv4(local.ipv4, text);
  EXPECT_STREQ(text, "127.0.0.1");
  net_close_connection(bound);
  net_close_server(server->handle);

  EXPECT_EQ(net_connect(nullptr, 21), nullptr);
  // The broadcast address reads like inet_addr's failure.
  EXPECT_EQ(net_connect("255.255.255.255", 21), nullptr);
  EXPECT_EQ(net_open_connection("127.0.0.1", 21, 7, 0, nullptr, 0), nullptr);
}

TEST(NetPeekTest, ClosedPeerPendingCountAndNothing) {
  NetServer* server = net_open_server(OBJECT_DYNAMIC, 0, NET_TCP, "127.0.0.1");
  ASSERT_NE(server, nullptr);
  NetConnection* client = net_connect("127.0.0.1", bound_port(server));
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(next_event(server), NET_EVENT_CONNECT);
  NetConnection* accepted = net_event_connection();
  char scratch[8];
  EXPECT_EQ(net_peek(accepted->socket, 0, scratch), 0);
  EXPECT_EQ(net_peek(accepted->socket, -1, scratch), 0);

  ASSERT_EQ(net_send(client, "0123456789", 10), 10);
  ASSERT_EQ(next_event(server), NET_EVENT_DATA);
  EXPECT_EQ(net_peek(accepted->socket, -1, scratch), 10);
  EXPECT_EQ(net_peek(accepted->socket, 4, scratch), 4);
  EXPECT_EQ(std::string(scratch, 4), "0123");
  char buffer[16];
  ASSERT_EQ(net_receive(accepted, buffer, sizeof buffer), 10);  // peeking took nothing

  net_close_connection(client);
  for (int i = 0; i < 100 && net_peek(accepted->socket, 8, scratch) != NET_PEER_CLOSED; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(net_peek(accepted->socket, 8, scratch), NET_PEER_CLOSED);
  net_close_server(server->handle);
}

TEST(NetDatagramTest, DatagramsCollectPerPeerAndReadInPieces) {
  NetServer* server = net_open_server(OBJECT_DYNAMIC, 0, NET_UDP, "127.0.0.1");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->kind, NET_KIND_DATAGRAM);
  EXPECT_EQ(net_server_event(server), NET_EVENT_NONE);
  NetConnection* client =
      net_open_connection("127.0.0.1", bound_port(server), NET_UDP, 0, nullptr, 0);
  ASSERT_NE(client, nullptr);
  char nothing[4];
  EXPECT_EQ(net_receive(client, nothing, sizeof nothing), 0);  // nothing pending

  ASSERT_EQ(net_send(client, "abc", 3), 3);
  ASSERT_EQ(net_send(client, "defgh", 5), 5);
  ASSERT_EQ(next_event(server), NET_EVENT_DATA);
  NetConnection* peer = net_event_connection();
  ASSERT_EQ(next_event(server), NET_EVENT_DATA);
  EXPECT_EQ(net_event_connection(), peer);  // same sender, same record
  EXPECT_EQ(peer->pending_length, 8);

  char buffer[8] = {};
  EXPECT_EQ(net_receive(peer, buffer, 6), 6);
  EXPECT_EQ(std::string(buffer, 6), "abcdef");
  EXPECT_EQ(net_receive(peer, buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer, 2), "gh");
  EXPECT_EQ(peer->pending, nullptr);
  EXPECT_EQ(net_receive(peer, buffer, sizeof buffer), 0);

  // A reply goes out through the server's socket to the peer.
  EXPECT_EQ(net_send(peer, "ok", 2), 2);
  net_close_connection(peer);
  EXPECT_EQ(server->connections, nullptr);
  net_close_connection(client);
  net_close_server(server->handle);
}

TEST(NetResolveTest, LocalhostResolvesToLoopback) {
  os::SocketAddress address{};
  ASSERT_TRUE(net_ipv6_available());
  ASSERT_EQ(net_resolve(os::FAMILY_IPV4, "localhost", &address), 0);
  EXPECT_EQ(address.family, os::FAMILY_IPV4);
  char text[16];
  net_format_ipv4(address.ipv4, text);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(net_resolve(os::FAMILY_IPV4, nullptr, &address), -1);
}

}  // namespace
}  // namespace brindax
