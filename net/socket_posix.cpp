// BSD sockets behind the socket seam.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/os_socket.h"

namespace brindax::os {
namespace {

int fd_of(Socket socket) { return static_cast<int>(socket - 1); }
Socket socket_of(int fd) { return static_cast<Socket>(fd) + 1; }

int system_family(std::int32_t family) { return family == FAMILY_IPV6 ? AF_INET6 : AF_INET; }

// Fills `storage` from a portable address; returns its length.
socklen_t to_system(const SocketAddress& address, sockaddr_storage* storage) {
  std::memset(storage, 0, sizeof *storage);
  if (address.family == FAMILY_IPV6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(address.port);
    in6->sin6_flowinfo = address.flow_info;
    std::memcpy(&in6->sin6_addr, address.ipv6, 16);
    in6->sin6_scope_id = address.scope_id;
    return sizeof(sockaddr_in6);
  }
  auto* in4 = reinterpret_cast<sockaddr_in*>(storage);
  in4->sin_family = AF_INET;
  in4->sin_port = htons(address.port);
  in4->sin_addr.s_addr = address.ipv4;
  return sizeof(sockaddr_in);
}

bool from_system(const sockaddr* source, SocketAddress* address) {
  *address = SocketAddress{};
  if (source->sa_family == AF_INET) {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(source);
    address->family = FAMILY_IPV4;
    address->port = ntohs(in4->sin_port);
    address->ipv4 = in4->sin_addr.s_addr;
    return true;
  }
  if (source->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(source);
    address->family = FAMILY_IPV6;
    address->port = ntohs(in6->sin6_port);
    address->flow_info = in6->sin6_flowinfo;
    std::memcpy(address->ipv6, &in6->sin6_addr, 16);
    address->scope_id = in6->sin6_scope_id;
    return true;
  }
  return false;
}

}  // namespace

bool startup() { return true; }
void cleanup() {}
bool load_name_library() { return true; }
void free_name_library() {}

Socket open_socket(std::int32_t family, std::int32_t type) {
  const int system_type = type == SOCKET_DATAGRAM ? SOCK_DGRAM : SOCK_STREAM;
  const int fd = ::socket(system_family(family), system_type | SOCK_CLOEXEC, 0);
  return fd < 0 ? NO_SOCKET : socket_of(fd);
}

void close_socket(Socket socket) {
  if (socket != NO_SOCKET) ::close(fd_of(socket));
}

bool set_nonblocking(Socket socket, bool nonblocking) {
  int value = nonblocking ? 1 : 0;
  return ::ioctl(fd_of(socket), FIONBIO, &value) == 0;
}

bool set_receive_buffer(Socket socket, std::int32_t bytes) {
  return ::setsockopt(fd_of(socket), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool bind_socket(Socket socket, const SocketAddress& address) {
  sockaddr_storage storage;
  const socklen_t length = to_system(address, &storage);
  return ::bind(fd_of(socket), reinterpret_cast<sockaddr*>(&storage), length) == 0;
}

bool listen_socket(Socket socket, std::int32_t backlog) {
  return ::listen(fd_of(socket), backlog) == 0;
}

Socket accept_socket(Socket socket) {
  const int listener = fd_of(socket);
  // Linux does not hand the listening socket's O_NONBLOCK on; Winsock does.
  const int listener_flags = ::fcntl(listener, F_GETFL);
  const int flags = SOCK_CLOEXEC | ((listener_flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
  const int fd = ::accept4(listener, nullptr, nullptr, flags);
  return fd < 0 ? NO_SOCKET : socket_of(fd);
}

ConnectResult connect_socket(Socket socket, const SocketAddress& address) {
  sockaddr_storage storage;
  const socklen_t length = to_system(address, &storage);
  if (::connect(fd_of(socket), reinterpret_cast<sockaddr*>(&storage), length) == 0) {
    return ConnectResult::connected;
  }
  return errno == EINPROGRESS ? ConnectResult::in_progress : ConnectResult::failed;
}

bool wait_connected(Socket socket, std::int32_t timeout_ms) {
  pollfd entry{fd_of(socket), POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready != 1) return false;
  // A refused connection also shows as writable here (Winsock puts it in
  // the exception set instead): the socket's pending error tells them apart.
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_of(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  return error == 0;
}

std::int32_t wait_readable(Socket socket, std::int32_t timeout_ms) {
  pollfd entry{fd_of(socket), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  return ready == 0 ? 0 : 1;
}

std::int32_t send_bytes(Socket socket, const void* data, std::int32_t length) {
  const ssize_t sent = ::send(fd_of(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  return sent < 0 ? -1 : static_cast<std::int32_t>(sent);
}

std::int32_t receive_bytes(Socket socket, void* buffer, std::int32_t size) {
  ssize_t received;
  do {
    received = ::recv(fd_of(socket), buffer, static_cast<size_t>(size), 0);
  } while (received < 0 && errno == EINTR);
  return received < 0 ? -1 : static_cast<std::int32_t>(received);
}

std::int32_t peek_bytes(Socket socket, void* buffer, std::int32_t size) {
  const ssize_t received =
      ::recv(fd_of(socket), buffer, static_cast<size_t>(size), MSG_PEEK | MSG_DONTWAIT);
  return received < 0 ? -1 : static_cast<std::int32_t>(received);
}

std::int32_t pending_bytes(Socket socket) {
  int count = 0;
  return ::ioctl(fd_of(socket), FIONREAD, &count) == 0 ? count : -1;
}

std::int32_t send_to(Socket socket, const void* data, std::int32_t length,
                     const SocketAddress& address) {
  sockaddr_storage storage;
  const socklen_t address_length = to_system(address, &storage);
  const ssize_t sent = ::sendto(fd_of(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                                reinterpret_cast<sockaddr*>(&storage), address_length);
  return sent < 0 ? -1 : static_cast<std::int32_t>(sent);
}

std::int32_t receive_from(Socket socket, void* buffer, std::int32_t size, SocketAddress* sender) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  const ssize_t received = ::recvfrom(fd_of(socket), buffer, static_cast<size_t>(size), 0,
                                      reinterpret_cast<sockaddr*>(&storage), &length);
  if (received < 0) return -1;
  if (!from_system(reinterpret_cast<sockaddr*>(&storage), sender)) *sender = SocketAddress{};
  return static_cast<std::int32_t>(received);
}

SocketError last_error() {
  switch (errno) {
    case 0: return SocketError::none;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return SocketError::would_block;
    case ECONNABORTED: return SocketError::conn_aborted;
    case ECONNRESET: return SocketError::conn_reset;
    case ENOTCONN: return SocketError::not_connected;
    case EPIPE:
    case ESHUTDOWN: return SocketError::shut_down;
    default: return SocketError::other;
  }
}

bool local_address(Socket socket, SocketAddress* address) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd_of(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return false;
  }
  return from_system(reinterpret_cast<sockaddr*>(&storage), address);
}

bool peer_address(Socket socket, SocketAddress* address) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(fd_of(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return false;
  }
  return from_system(reinterpret_cast<sockaddr*>(&storage), address);
}

std::uint32_t parse_ipv4(const char* text) { return ::inet_addr(text); }

bool lookup_ipv4(const char* host, std::uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* results = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &results) != 0 || results == nullptr) return false;
  *address = reinterpret_cast<sockaddr_in*>(results->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(results);
  return true;
}

bool lookup_ipv4_all(const char* host, void (*each)(std::uint32_t address, void* context),
                     void* context) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &results) != 0) return false;
  bool found = false;
  for (addrinfo* result = results; result != nullptr; result = result->ai_next) {
    if (result->ai_addr == nullptr || result->ai_family != AF_INET) continue;
    each(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr, context);
    found = true;
  }
  ::freeaddrinfo(results);
  return found;
}

bool lookup_addresses(const char* host, std::int32_t family,
                      void (*each)(const SocketAddress& address, void* context),
                      void* context) {
  addrinfo hints{};
  hints.ai_family = family == 0 ? AF_UNSPEC : system_family(family);
  addrinfo* results = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &results) != 0) return false;
  for (addrinfo* result = results; result != nullptr; result = result->ai_next) {
    SocketAddress address;
    if (result->ai_addr != nullptr && from_system(result->ai_addr, &address)) {
      each(address, context);
    }
  }
  ::freeaddrinfo(results);
  return true;
}

}  // namespace brindax::os
