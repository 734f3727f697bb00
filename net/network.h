// Network connections: TCP (and datagram) connections over the system's
// socket library, and a small polled server side that the FTP client's active
// mode uses to take the server's data connection.
//
// network_start must run before any other operation here or of the FTP
// client; network_end once at program end, after the FTP sessions are closed.
// Outgoing connections are plain heap records that their owner closes;
// servers are registry objects that network_end closes.
#pragma once

#include <cstdint>

#include "net/os_socket.h"
#include "runtime/core/registry.h"
#include "runtime/core/types.h"

namespace brindax {

// Protocol word: the low part is the socket type (0 means NET_TCP); NET_IPV6
// selects the IPv6 family.
inline constexpr std::int32_t NET_TCP = 1;
inline constexpr std::int32_t NET_UDP = 2;
inline constexpr std::int32_t NET_IPV6 = 0x10000000;

// Server events.
inline constexpr std::int32_t NET_EVENT_NONE = 0;
inline constexpr std::int32_t NET_EVENT_CONNECT = 1;
inline constexpr std::int32_t NET_EVENT_DATA = 2;
inline constexpr std::int32_t NET_EVENT_DISCONNECT = 4;

// net_peek: the peer has gone.
inline constexpr std::int32_t NET_PEER_CLOSED = -2;

// Largest datagram a datagram server takes in one event.
inline constexpr std::int32_t NET_DATAGRAM_SIZE = 2048;

struct NetServer;

inline constexpr std::int32_t NET_KIND_STREAM = 1;
inline constexpr std::int32_t NET_KIND_DATAGRAM = 2;

// One connection; the record's address is its handle. Both kinds share the
// kind and the owning server; the rest is per kind.
struct NetConnection {
  std::int32_t kind;  // NET_KIND_STREAM or NET_KIND_DATAGRAM
  os::Socket socket;  // stream: the connected socket; datagram: own socket (no owner)
  NetServer* owner;   // server that accepted / received from it; null when outgoing
  // Datagram kind only.
  std::uint32_t peer_address;  // IPv4, network byte order
  std::int32_t peer_port;      // host byte order
  unsigned char* pending;      // received bytes not yet read, or null
  std::int32_t pending_length;
  std::int32_t read_position;
};

// An object of the server registry.
struct NetServer {
  os::Socket socket;  // first field: non-zero only while the server is open
  os::SocketAddress local_address;
  std::int16_t kind;  // NET_KIND_STREAM or NET_KIND_DATAGRAM
  std::int16_t ipv6;
  ObjectId handle;          // the number, or the object's own address when dynamic
  ListNode* connections;    // NetConnection records it owns, newest first
};

// 1 when the socket library is started, 0 when it could not be.
std::int32_t network_start();
void network_end();

// An outgoing connection to `host` (dotted address or name). A time-out
// above 0 bounds the connect (ms); 0 or less waits as long as the system
// does. Local address/port (none/0: any) bind the local end. A positive
// `receive_buffer` sets a stream's receive buffer before it connects, which
// bounds what the peer can have in flight from the first window on. Null on
// failure.
NetConnection* net_open_connection(const char* host, std::int32_t port, std::int32_t protocol,
                                   std::int32_t timeout_ms, const char* local_address,
                                   std::int32_t local_port, std::int32_t receive_buffer = 0);
// net_open_connection(host, port, NET_TCP, 0, none, 0).
NetConnection* net_connect(const char* host, std::int32_t port);
// Bytes sent, or -1.
std::int32_t net_send(NetConnection* connection, const void* data, std::int32_t length);
// Bytes received; 0 when the peer closed (stream) or nothing is pending
// (datagram); -1 on error.
std::int32_t net_receive(NetConnection* connection, void* buffer, std::int32_t size);
void net_close_connection(NetConnection* connection);

// Waits at most `timeout_ms` until a stream connection has something to read
// (data, its end, or an error). 1 ready, 0 time-out, -1 failure.
std::int32_t net_wait_readable(NetConnection* connection, std::int32_t timeout_ms);
// The local or the remote end of a connection; false when unknown.
bool net_local_address(NetConnection* connection, os::SocketAddress* address);
bool net_peer_address(NetConnection* connection, os::SocketAddress* address);
// Dotted text of an IPv4 address in network byte order ("a.b.c.d"); `text`
// holds at least 16 bytes.
void net_format_ipv4(std::uint32_t address, char* text);

// A listening (stream) or receiving (datagram) server on `port` (0: chosen
// by the system), non-blocking; bound to `bind_address` or the any-address.
NetServer* net_open_server(ObjectId id, std::int32_t port, std::int32_t protocol,
                           const char* bind_address);
NetServer* net_open_server(ObjectId id, std::int32_t port, std::int32_t protocol);
NetServer* net_open_server(ObjectId id, std::int32_t port);
// A server by number or handle; -1 closes every server. 1 when one was
// closed, 0 when the identifier named nothing.
std::int32_t net_close_server(ObjectId id);
NetServer* net_server_lookup(ObjectId id);
// Polls once, never waits: NET_EVENT_*.
std::int32_t net_server_event(NetServer* server);
// The connection of the last event (gone after NET_EVENT_DISCONNECT).
NetConnection* net_event_connection();
// The handle of the server of the last event.
ObjectId net_event_server();

// Bytes waiting on a socket (size -1: as many as the socket reports), 0, or
// NET_PEER_CLOSED. Does not wait on a non-blocking socket (on POSIX never).
std::int32_t net_peek(os::Socket socket, std::int32_t size, void* scratch);
// Resolves `host` for `family` (2 IPv4, 23 IPv6) into `output`: 0, or -1.
std::int32_t net_resolve(std::int32_t family, const char* host, os::SocketAddress* output);

// Every IPv4 address of `host` (network byte order) in the resolver's
// order, without repeats and at most `capacity`: a dotted address is its own
// only address. The count; 0 when the name resolves to nothing.
inline constexpr std::int32_t NET_MAX_HOST_ADDRESSES = 16;
std::int32_t net_host_addresses(const char* host, std::uint32_t* addresses,
                                std::int32_t capacity);

// Test seam: a resolver that replaces the system's name look-up in
// net_host_addresses (dotted addresses never reach it); null restores the
// system's. It fills `addresses` and gives the count. Only tests set one.
using NetHostResolver = std::int32_t (*)(const char* host, std::uint32_t* addresses,
                                         std::int32_t capacity);
void net_set_host_resolver_for_tests(NetHostResolver resolver);

// Whether the optional name functions are there.
bool net_ipv6_available();

}  // namespace brindax
