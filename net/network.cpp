// Network connections and servers over the socket seam.
#include "net/network.h"

#include <cstdio>
#include <cstring>

#include "net/api_text.h"
#include "runtime/core/heap.h"

namespace brindax {
namespace {

constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;  // inet_addr's failure (and broadcast)
constexpr std::int32_t kServerGrowth = 16;
constexpr std::int32_t kListenBacklog = 100;
constexpr std::int32_t kPeekProbeSize = 8;

struct NetworkState {
  bool registry_made = false;
  ObjectRegistry* servers = nullptr;
  bool started = false;
  bool library_loaded = false;
  bool ipv6_available = false;
  NetConnection* event_connection = nullptr;
  ObjectId event_server = 0;
  NetHostResolver resolver = nullptr;  // a test's stand-in for the name look-up
};
NetworkState state;

// Closes a socket unless it has been handed on.
class SocketGuard {
 public:
  explicit SocketGuard(os::Socket socket) : socket_(socket) {}
  ~SocketGuard() { os::close_socket(socket_); }
  SocketGuard(const SocketGuard&) = delete;
  SocketGuard& operator=(const SocketGuard&) = delete;
  os::Socket release() {
    const os::Socket socket = socket_;
    socket_ = os::NO_SOCKET;
    return socket;
  }

 private:
  os::Socket socket_;
};

struct Protocol {
  std::int32_t family;
  std::int32_t type;
  bool valid;
};

Protocol split_protocol(std::int32_t protocol) {
  const bool ipv6 = (protocol & NET_IPV6) != 0;
  std::int32_t type = protocol & ~NET_IPV6;
  if (type == 0) type = NET_TCP;
  return {ipv6 ? os::FAMILY_IPV6 : os::FAMILY_IPV4, type,
          type == NET_TCP || type == NET_UDP};
}

void keep_first_ipv6(const os::SocketAddress& address, void* context) {
  auto* found = static_cast<os::SocketAddress*>(context);
  if (found->family == 0 && address.family == os::FAMILY_IPV6) *found = address;
}

// Collects addresses without repeats, up to the room there is.
struct AddressList {
  std::uint32_t* addresses;
  std::int32_t capacity;
  std::int32_t count;
};

void add_address(std::uint32_t address, void* context) {
  auto* list = static_cast<AddressList*>(context);
  if (address == kNoAddress || list->count >= list->capacity) return;
  for (std::int32_t i = 0; i < list->count; ++i) {
    if (list->addresses[i] == address) return;
  }
  list->addresses[list->count++] = address;
}

void keep_each(const os::SocketAddress& address, void* context) {
  *static_cast<os::SocketAddress*>(context) = address;
}

// The remote address of an outgoing connection; false when there is none.
bool find_remote_address(const char* host, std::int32_t family, os::SocketAddress* remote) {
  ApiText copy(host);
  *remote = os::SocketAddress{};
  if (family == os::FAMILY_IPV6) {
    if (!state.ipv6_available) return false;
    os::SocketAddress found{};
    if (!os::lookup_addresses(copy.get(), 0, keep_first_ipv6, &found) || found.family == 0) {
      return false;
    }
    *remote = found;
    return true;
  }
  std::uint32_t address = os::parse_ipv4(copy.get());
  if (address == kNoAddress && !os::lookup_ipv4(copy.get(), &address)) return false;
  if (address == kNoAddress) return false;
  remote->family = os::FAMILY_IPV4;
  remote->ipv4 = address;
  return true;
}

bool connect_stream(os::Socket socket, const os::SocketAddress& remote, std::int32_t timeout_ms) {
  if (timeout_ms <= 0) return os::connect_socket(socket, remote) == os::ConnectResult::connected;
  if (!os::set_nonblocking(socket, true)) return false;
  bool connected = false;
  switch (os::connect_socket(socket, remote)) {
    case os::ConnectResult::connected: connected = true; break;
    case os::ConnectResult::in_progress: connected = os::wait_connected(socket, timeout_ms); break;
    case os::ConnectResult::failed: break;
  }
  // Outgoing stream connections are always left blocking.
  if (!os::set_nonblocking(socket, false)) return false;
  return connected;
}

void free_pending(NetConnection* connection) {
  main_free(connection->pending);
  connection->pending = nullptr;
  connection->pending_length = 0;
  connection->read_position = 0;
}

// Unlinks and frees a record that a server owns.
void remove_from_server(NetServer* server, NetConnection* connection) {
  if (state.event_connection == connection) state.event_connection = nullptr;
  free_pending(connection);
  list_remove_node(&server->connections, connection);
}

NetConnection* add_to_server(NetServer* server) {
  return static_cast<NetConnection*>(
      list_add_node(&server->connections, sizeof(ListNode) + sizeof(NetConnection)));
}

void record_event(NetServer* server, NetConnection* connection) {
  state.event_connection = connection;
  state.event_server = server->handle;
}

std::int32_t stream_server_event(NetServer* server) {
  const os::Socket accepted = os::accept_socket(server->socket);
  if (accepted != os::NO_SOCKET) {
    NetConnection* connection = add_to_server(server);
    if (connection == nullptr) {
      os::close_socket(accepted);
      return NET_EVENT_NONE;
    }
    connection->kind = NET_KIND_STREAM;
    connection->socket = accepted;
    connection->owner = server;
    record_event(server, connection);
    return NET_EVENT_CONNECT;
  }
  unsigned char scratch[kPeekProbeSize];
  for (ListNode* node = server->connections; node != nullptr; node = node->older) {
    auto* connection = static_cast<NetConnection*>(list_payload_of(node));
    const std::int32_t peeked = net_peek(connection->socket, kPeekProbeSize, scratch);
    if (peeked > 0) {
      record_event(server, connection);
      return NET_EVENT_DATA;
    }
    if (peeked == NET_PEER_CLOSED) {
      os::close_socket(connection->socket);
      remove_from_server(server, connection);
      // The record is gone: the event names no connection that could be used.
      state.event_connection = nullptr;
      state.event_server = server->handle;
      return NET_EVENT_DISCONNECT;
    }
  }
  return NET_EVENT_NONE;
}

std::int32_t datagram_server_event(NetServer* server) {
  unsigned char datagram[NET_DATAGRAM_SIZE];
  os::SocketAddress sender{};
  const std::int32_t received =
      os::receive_from(server->socket, datagram, sizeof datagram, &sender);
  if (received <= 0) return NET_EVENT_NONE;
  NetConnection* peer = nullptr;
  for (ListNode* node = server->connections; node != nullptr; node = node->older) {
    auto* connection = static_cast<NetConnection*>(list_payload_of(node));
    if (connection->peer_address == sender.ipv4 && connection->peer_port == sender.port) {
      peer = connection;
      break;
    }
  }
  if (peer == nullptr) {
    peer = add_to_server(server);
    if (peer == nullptr) return NET_EVENT_NONE;
    peer->kind = NET_KIND_DATAGRAM;
    peer->peer_address = sender.ipv4;
    peer->peer_port = sender.port;
    peer->owner = server;
  }
  if (peer->pending == nullptr) {
    peer->pending = static_cast<unsigned char*>(main_alloc(static_cast<std::size_t>(received)));
    if (peer->pending == nullptr) return NET_EVENT_NONE;
    std::memcpy(peer->pending, datagram, static_cast<std::size_t>(received));
    peer->pending_length = received;
    peer->read_position = 0;
  } else {
    const std::int32_t end = peer->read_position + peer->pending_length;
    auto* grown = static_cast<unsigned char*>(
        main_realloc(peer->pending, static_cast<std::size_t>(end + received)));
    if (grown == nullptr) return NET_EVENT_NONE;
    std::memcpy(grown + end, datagram, static_cast<std::size_t>(received));
    peer->pending = grown;
    peer->pending_length += received;
  }
  record_event(server, peer);
  return NET_EVENT_DATA;
}

}  // namespace

std::int32_t network_start() {
  if (!state.registry_made) {
    state.registry_made = true;
    state.servers = registry_create(sizeof(NetServer), kServerGrowth,
                                    [](ObjectId id) { net_close_server(id); });
  }
  if (!state.started) {
    state.started = os::startup();
    // Also when the socket library failed: the name functions are optional.
    state.ipv6_available = os::load_name_library();
    state.library_loaded = true;
  }
  return state.started ? 1 : 0;
}

void network_end() {
  if (state.registry_made && state.servers != nullptr) registry_free_all(state.servers);
  if (state.started) os::cleanup();
  state.started = false;
  if (state.library_loaded) os::free_name_library();
  state.library_loaded = false;
  state.ipv6_available = false;
  state.event_connection = nullptr;
}

bool net_ipv6_available() { return state.ipv6_available; }

std::int32_t net_host_addresses(const char* host, std::uint32_t* addresses,
                                std::int32_t capacity) {
  if (host == nullptr || addresses == nullptr || capacity <= 0) return 0;
  ApiText copy(host);
  AddressList list{addresses, capacity, 0};
  const std::uint32_t literal = os::parse_ipv4(copy.get());
  if (literal != kNoAddress) {
    add_address(literal, &list);
  } else if (state.resolver != nullptr) {
    std::uint32_t found[NET_MAX_HOST_ADDRESSES];
    const std::int32_t count = state.resolver(copy.get(), found, NET_MAX_HOST_ADDRESSES);
    for (std::int32_t i = 0; i < count && i < NET_MAX_HOST_ADDRESSES; ++i) {
      add_address(found[i], &list);
    }
  } else {
    os::lookup_ipv4_all(copy.get(), add_address, &list);
  }
  return list.count;
}

void net_set_host_resolver_for_tests(NetHostResolver resolver) { state.resolver = resolver; }

NetConnection* net_open_connection(const char* host, std::int32_t port, std::int32_t protocol,
                                   std::int32_t timeout_ms, const char* local_address,
                                   std::int32_t local_port, std::int32_t receive_buffer) {
  if (host == nullptr) return nullptr;
  const Protocol kind = split_protocol(protocol);
  // A datagram record keeps an IPv4 peer only.
  if (!kind.valid || (kind.type == NET_UDP && kind.family == os::FAMILY_IPV6)) return nullptr;
  const os::Socket socket = os::open_socket(kind.family, kind.type);
  if (socket == os::NO_SOCKET) return nullptr;
  SocketGuard guard(socket);

  os::SocketAddress remote;
  if (!find_remote_address(host, kind.family, &remote)) return nullptr;
  remote.port = static_cast<std::uint16_t>(port);

  if (local_port != 0 || (local_address != nullptr && local_address[0] != '\0')) {
    os::SocketAddress local{};
    local.family = os::FAMILY_IPV4;
    local.port = static_cast<std::uint16_t>(local_port);
    if (local_address != nullptr && local_address[0] != '\0') {
      ApiText copy(local_address);
      local.ipv4 = os::parse_ipv4(copy.get());
    }
    if (!os::bind_socket(socket, local)) return nullptr;
  }

  if (kind.type == NET_TCP) {
    if (receive_buffer > 0) os::set_receive_buffer(socket, receive_buffer);
    if (!connect_stream(socket, remote, timeout_ms)) return nullptr;
    auto* connection = static_cast<NetConnection*>(main_alloc(sizeof(NetConnection)));
    if (connection == nullptr) return nullptr;
    connection->kind = NET_KIND_STREAM;
    connection->socket = guard.release();
    return connection;
  }

  if (!os::set_nonblocking(socket, true)) return nullptr;
  auto* connection = static_cast<NetConnection*>(main_alloc(sizeof(NetConnection)));
  if (connection == nullptr) return nullptr;
  connection->kind = NET_KIND_DATAGRAM;
  connection->peer_address = remote.ipv4;
  connection->peer_port = port;
  connection->socket = guard.release();
  return connection;
}

NetConnection* net_connect(const char* host, std::int32_t port) {
  return net_open_connection(host, port, NET_TCP, 0, nullptr, 0);
}

std::int32_t net_send(NetConnection* connection, const void* data, std::int32_t length) {
  if (connection == nullptr) return -1;
  if (connection->kind == NET_KIND_STREAM) return os::send_bytes(connection->socket, data, length);
  os::SocketAddress peer{};
  peer.family = os::FAMILY_IPV4;
  peer.ipv4 = connection->peer_address;
  peer.port = static_cast<std::uint16_t>(connection->peer_port);
  const os::Socket socket =
      connection->owner != nullptr ? connection->owner->socket : connection->socket;
  return os::send_to(socket, data, length, peer);
}

std::int32_t net_receive(NetConnection* connection, void* buffer, std::int32_t size) {
  if (connection == nullptr) return -1;
  if (connection->kind == NET_KIND_STREAM) {
    return os::receive_bytes(connection->socket, buffer, size);
  }
  if (connection->pending == nullptr || size <= 0) return 0;
  const std::int32_t count = size < connection->pending_length ? size : connection->pending_length;
  std::memcpy(buffer, connection->pending + connection->read_position,
              static_cast<std::size_t>(count));
  connection->read_position += count;
  connection->pending_length -= count;
  if (connection->pending_length == 0) free_pending(connection);
  return count;
}

void net_close_connection(NetConnection* connection) {
  if (connection == nullptr) return;
  if (connection->kind == NET_KIND_STREAM || connection->owner == nullptr) {
    os::close_socket(connection->socket);
  }
  if (connection->owner != nullptr) {
    remove_from_server(connection->owner, connection);
  } else {
    if (state.event_connection == connection) state.event_connection = nullptr;
    free_pending(connection);
    main_free(connection);
  }
}

std::int32_t net_wait_readable(NetConnection* connection, std::int32_t timeout_ms) {
  if (connection == nullptr) return -1;
  if (connection->kind == NET_KIND_DATAGRAM) return connection->pending != nullptr ? 1 : 0;
  return os::wait_readable(connection->socket, timeout_ms < 0 ? 0 : timeout_ms);
}

bool net_local_address(NetConnection* connection, os::SocketAddress* address) {
  if (connection == nullptr) return false;
  const os::Socket socket =
      connection->owner != nullptr && connection->kind == NET_KIND_DATAGRAM
          ? connection->owner->socket
          : connection->socket;
  return os::local_address(socket, address);
}

bool net_peer_address(NetConnection* connection, os::SocketAddress* address) {
  if (connection == nullptr) return false;
  if (connection->kind == NET_KIND_DATAGRAM) {
    *address = os::SocketAddress{};
    address->family = os::FAMILY_IPV4;
    address->ipv4 = connection->peer_address;
    address->port = static_cast<std::uint16_t>(connection->peer_port);
    return true;
  }
  return os::peer_address(connection->socket, address);
}

void net_format_ipv4(std::uint32_t address, char* text) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address, 4);  // network byte order: first byte first
  std::snprintf(text, 16, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

NetServer* net_open_server(ObjectId id, std::int32_t port, std::int32_t protocol,
                           const char* bind_address) {
  if (state.servers == nullptr) return nullptr;
  auto* server = static_cast<NetServer*>(registry_obtain(state.servers, id));
  if (server == nullptr) return nullptr;
  // A failed opening gives the element back: lookups ignore it either way,
  // and a dynamic one would otherwise linger until the end.
  auto fail = [&]() -> NetServer* {
    registry_release(state.servers, id == OBJECT_DYNAMIC ? reinterpret_cast<ObjectId>(server) : id);
    return nullptr;
  };
  if (static_cast<std::uint32_t>(port) > 65535u) return fail();
  const Protocol kind = split_protocol(protocol);
  if (!kind.valid) return fail();
  const os::Socket socket = os::open_socket(kind.family, kind.type);
  if (socket == os::NO_SOCKET) return fail();
  SocketGuard guard(socket);
  if (!os::set_nonblocking(socket, true)) return fail();

  os::SocketAddress local{};
  if (bind_address != nullptr && bind_address[0] != '\0') {
    if (kind.family == os::FAMILY_IPV6) {
      net_resolve(os::FAMILY_IPV6, bind_address, &local);
    } else {
      ApiText copy(bind_address);
      local.ipv4 = os::parse_ipv4(copy.get());
    }
  }
  local.family = kind.family;
  local.port = static_cast<std::uint16_t>(port);
  if (!os::bind_socket(socket, local)) return fail();
  if (kind.type == NET_TCP && !os::listen_socket(socket, kListenBacklog)) return fail();

  server->local_address = local;
  server->kind = static_cast<std::int16_t>(kind.type == NET_TCP ? NET_KIND_STREAM
                                                                 : NET_KIND_DATAGRAM);
  server->ipv6 = kind.family == os::FAMILY_IPV6 ? 1 : 0;
  server->handle = id == OBJECT_DYNAMIC ? reinterpret_cast<ObjectId>(server) : id;
  server->connections = nullptr;
  server->socket = guard.release();
  return server;
}

NetServer* net_open_server(ObjectId id, std::int32_t port, std::int32_t protocol) {
  return net_open_server(id, port, protocol, nullptr);
}

NetServer* net_open_server(ObjectId id, std::int32_t port) {
  return net_open_server(id, port, NET_TCP, nullptr);
}

NetServer* net_server_lookup(ObjectId id) {
  if (state.servers == nullptr) return nullptr;
  return static_cast<NetServer*>(registry_lookup(state.servers, id));
}

std::int32_t net_close_server(ObjectId id) {
  if (state.servers == nullptr) return 0;
  if (id == OBJECT_DYNAMIC) {
    registry_free_all(state.servers);
    return 1;
  }
  NetServer* server = net_server_lookup(id);
  if (server == nullptr) return 0;
  while (server->connections != nullptr) {
    auto* connection = static_cast<NetConnection*>(list_payload_of(server->connections));
    if (server->kind == NET_KIND_STREAM) os::close_socket(connection->socket);
    remove_from_server(server, connection);
  }
  os::close_socket(server->socket);
  server->socket = os::NO_SOCKET;
  registry_release(state.servers, id);
  return 1;
}

std::int32_t net_server_event(NetServer* server) {
  if (server == nullptr || server->socket == os::NO_SOCKET) return NET_EVENT_NONE;
  return server->kind == NET_KIND_STREAM ? stream_server_event(server)
                                         : datagram_server_event(server);
}

NetConnection* net_event_connection() { return state.event_connection; }

ObjectId net_event_server() { return state.event_server; }

std::int32_t net_peek(os::Socket socket, std::int32_t size, void* scratch) {
  if (size == -1) {
    // The count the socket reports is the answer; it is not copied into a
    // scratch buffer whose size the caller did not state.
    const std::int32_t waiting = os::pending_bytes(socket);
    return waiting > 0 ? waiting : 0;
  }
  if (size <= 0) return 0;
  const std::int32_t peeked = os::peek_bytes(socket, scratch, size);
  if (peeked == 0) return NET_PEER_CLOSED;
  if (peeked > 0) return peeked;
  switch (os::last_error()) {
    case os::SocketError::conn_aborted:
    case os::SocketError::conn_reset:
    case os::SocketError::not_connected:
    case os::SocketError::shut_down:
      return NET_PEER_CLOSED;
    default:
      return 0;
  }
}

std::int32_t net_resolve(std::int32_t family, const char* host, os::SocketAddress* output) {
  if (!state.ipv6_available || host == nullptr || output == nullptr) return -1;
  ApiText copy(host);
  return os::lookup_addresses(copy.get(), family, keep_each, output) ? 0 : -1;
}

}  // namespace brindax
