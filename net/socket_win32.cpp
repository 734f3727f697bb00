// Winsock 1.1 (WSOCK32) behind the socket seam; getaddrinfo, freeaddrinfo and
// getnameinfo come from "ws2_32.dll", loaded at run time when present.
#include <winsock.h>
#include <windows.h>

#include <cstring>

#include "net/os_socket.h"

namespace brindax::os {
namespace {

// Winsock 1.1 headers know neither the IPv6 socket address nor addrinfo; the
// layouts below are those of ws2tcpip.h.
struct SockAddrIn6 {
  short sin6_family;
  u_short sin6_port;
  u_long sin6_flowinfo;
  unsigned char sin6_addr[16];
  u_long sin6_scope_id;
};

struct AddrInfoA {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  size_t ai_addrlen;
  char* ai_canonname;
  sockaddr* ai_addr;
  AddrInfoA* ai_next;
};

using GetAddrInfoFn = int(PASCAL*)(const char*, const char*, const AddrInfoA*, AddrInfoA**);
using FreeAddrInfoFn = void(PASCAL*)(AddrInfoA*);
using GetNameInfoFn = int(PASCAL*)(const sockaddr*, int, char*, DWORD, char*, DWORD, int);

constexpr int kFamilyIpv6 = 23;  // AF_INET6 on Windows

struct NameLibrary {
  HMODULE module = nullptr;
  GetAddrInfoFn getaddrinfo = nullptr;
  FreeAddrInfoFn freeaddrinfo = nullptr;
  GetNameInfoFn getnameinfo = nullptr;
};
NameLibrary name_library;

SOCKET system_of(Socket socket) { return static_cast<SOCKET>(socket - 1); }
Socket socket_of(SOCKET s) { return static_cast<Socket>(s) + 1; }

// Room for either socket address form.
union AnyAddress {
  sockaddr generic;
  sockaddr_in in4;
  SockAddrIn6 in6;
};

int to_system(const SocketAddress& address, AnyAddress* storage) {
  std::memset(storage, 0, sizeof *storage);
  if (address.family == FAMILY_IPV6) {
    storage->in6.sin6_family = kFamilyIpv6;
    storage->in6.sin6_port = htons(address.port);
    storage->in6.sin6_flowinfo = address.flow_info;
    std::memcpy(storage->in6.sin6_addr, address.ipv6, 16);
    storage->in6.sin6_scope_id = address.scope_id;
    return sizeof(SockAddrIn6);
  }
  storage->in4.sin_family = AF_INET;
  storage->in4.sin_port = htons(address.port);
  storage->in4.sin_addr.s_addr = address.ipv4;
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
  if (source->sa_family == kFamilyIpv6) {
    const auto* in6 = reinterpret_cast<const SockAddrIn6*>(source);
    address->family = FAMILY_IPV6;
    address->port = ntohs(in6->sin6_port);
    address->flow_info = in6->sin6_flowinfo;
    std::memcpy(address->ipv6, in6->sin6_addr, 16);
    address->scope_id = in6->sin6_scope_id;
    return true;
  }
  return false;
}

}  // namespace

bool startup() {
  WSADATA data;
  return WSAStartup(0x0101, &data) == 0;
}

void cleanup() { WSACleanup(); }

bool load_name_library() {
  if (name_library.module == nullptr) {
    name_library.module = LoadLibraryA("ws2_32.dll");
    if (name_library.module == nullptr) return false;
    name_library.getaddrinfo = reinterpret_cast<GetAddrInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(name_library.module, "getaddrinfo")));
    name_library.freeaddrinfo = reinterpret_cast<FreeAddrInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(name_library.module, "freeaddrinfo")));
    name_library.getnameinfo = reinterpret_cast<GetNameInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(name_library.module, "getnameinfo")));
  }
  return name_library.getaddrinfo != nullptr && name_library.freeaddrinfo != nullptr &&
         name_library.getnameinfo != nullptr;
}

void free_name_library() {
  if (name_library.module != nullptr) FreeLibrary(name_library.module);
  name_library = NameLibrary{};
}

Socket open_socket(std::int32_t family, std::int32_t type) {
  const SOCKET s = ::socket(family == FAMILY_IPV6 ? kFamilyIpv6 : AF_INET,
                            type == SOCKET_DATAGRAM ? SOCK_DGRAM : SOCK_STREAM, 0);
  return s == INVALID_SOCKET ? NO_SOCKET : socket_of(s);
}

void close_socket(Socket socket) {
  if (socket != NO_SOCKET) closesocket(system_of(socket));
}

bool set_nonblocking(Socket socket, bool nonblocking) {
  u_long value = nonblocking ? 1 : 0;
  return ioctlsocket(system_of(socket), FIONBIO, &value) == 0;
}

bool set_receive_buffer(Socket socket, std::int32_t bytes) {
  return ::setsockopt(system_of(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

bool bind_socket(Socket socket, const SocketAddress& address) {
  AnyAddress storage;
  const int length = to_system(address, &storage);
  return ::bind(system_of(socket), &storage.generic, length) == 0;
}

bool listen_socket(Socket socket, std::int32_t backlog) {
  return ::listen(system_of(socket), backlog) == 0;
}

Socket accept_socket(Socket socket) {
  const SOCKET s = ::accept(system_of(socket), nullptr, nullptr);
  return s == INVALID_SOCKET ? NO_SOCKET : socket_of(s);
}

ConnectResult connect_socket(Socket socket, const SocketAddress& address) {
  AnyAddress storage;
  const int length = to_system(address, &storage);
  if (::connect(system_of(socket), &storage.generic, length) == 0) return ConnectResult::connected;
  return WSAGetLastError() == WSAEWOULDBLOCK ? ConnectResult::in_progress
                                             : ConnectResult::failed;
}

bool wait_connected(Socket socket, std::int32_t timeout_ms) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(system_of(socket), &writable);
  FD_SET(system_of(socket), &failed);
  timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return select(0, nullptr, &writable, &failed, &wait) == 1 &&
         FD_ISSET(system_of(socket), &writable);
}

std::int32_t wait_readable(Socket socket, std::int32_t timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(system_of(socket), &readable);
  timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int ready = select(0, &readable, nullptr, nullptr, &wait);
  if (ready == SOCKET_ERROR) return -1;
  return ready == 0 ? 0 : 1;
}

std::int32_t send_bytes(Socket socket, const void* data, std::int32_t length) {
  const int sent = ::send(system_of(socket), static_cast<const char*>(data), length, 0);
  return sent == SOCKET_ERROR ? -1 : sent;
}

std::int32_t receive_bytes(Socket socket, void* buffer, std::int32_t size) {
  const int received = ::recv(system_of(socket), static_cast<char*>(buffer), size, 0);
  return received == SOCKET_ERROR ? -1 : received;
}

std::int32_t peek_bytes(Socket socket, void* buffer, std::int32_t size) {
  const int received = ::recv(system_of(socket), static_cast<char*>(buffer), size, MSG_PEEK);
  return received == SOCKET_ERROR ? -1 : received;
}

std::int32_t pending_bytes(Socket socket) {
  u_long count = 0;
  return ioctlsocket(system_of(socket), FIONREAD, &count) == 0 ? static_cast<std::int32_t>(count)
                                                               : -1;
}

std::int32_t send_to(Socket socket, const void* data, std::int32_t length,
                     const SocketAddress& address) {
  AnyAddress storage;
  const int address_length = to_system(address, &storage);
  const int sent = ::sendto(system_of(socket), static_cast<const char*>(data), length, 0,
                            &storage.generic, address_length);
  return sent == SOCKET_ERROR ? -1 : sent;
}

std::int32_t receive_from(Socket socket, void* buffer, std::int32_t size, SocketAddress* sender) {
  AnyAddress storage{};
  int length = sizeof storage;
  const int received =
      ::recvfrom(system_of(socket), static_cast<char*>(buffer), size, 0, &storage.generic, &length);
  if (received == SOCKET_ERROR) return -1;
  if (!from_system(&storage.generic, sender)) *sender = SocketAddress{};
  return received;
}

SocketError last_error() {
  switch (WSAGetLastError()) {
    case 0: return SocketError::none;
    case WSAEWOULDBLOCK: return SocketError::would_block;
    case WSAECONNABORTED: return SocketError::conn_aborted;
    case WSAECONNRESET: return SocketError::conn_reset;
    case WSAENOTCONN: return SocketError::not_connected;
    case WSAESHUTDOWN: return SocketError::shut_down;
    default: return SocketError::other;
  }
}

bool local_address(Socket socket, SocketAddress* address) {
  AnyAddress storage{};
  int length = sizeof storage;
  if (getsockname(system_of(socket), &storage.generic, &length) != 0) return false;
  return from_system(&storage.generic, address);
}

bool peer_address(Socket socket, SocketAddress* address) {
  AnyAddress storage{};
  int length = sizeof storage;
  if (getpeername(system_of(socket), &storage.generic, &length) != 0) return false;
  return from_system(&storage.generic, address);
}

std::uint32_t parse_ipv4(const char* text) { return inet_addr(text); }

bool lookup_ipv4(const char* host, std::uint32_t* address) {
  const hostent* entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    return false;
  }
  std::memcpy(address, entry->h_addr_list[0], sizeof *address);
  return true;
}

bool lookup_ipv4_all(const char* host, void (*each)(std::uint32_t address, void* context),
                     void* context) {
  bool found = false;
  if (name_library.getaddrinfo != nullptr && name_library.freeaddrinfo != nullptr) {
    AddrInfoA hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    AddrInfoA* results = nullptr;
    if (name_library.getaddrinfo(host, nullptr, &hints, &results) == 0) {
      for (AddrInfoA* result = results; result != nullptr; result = result->ai_next) {
        if (result->ai_addr == nullptr || result->ai_addr->sa_family != AF_INET) continue;
        each(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr, context);
        found = true;
      }
      name_library.freeaddrinfo(results);
    }
  }
  if (found) return true;
  // Without the name library (or when it finds nothing): the whole address
  // list of the Winsock 1.1 look-up.
  const hostent* entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr) {
    return false;
  }
  for (char** item = entry->h_addr_list; *item != nullptr; ++item) {
    std::uint32_t address;
    std::memcpy(&address, *item, sizeof address);
    each(address, context);
    found = true;
  }
  return found;
}

bool lookup_addresses(const char* host, std::int32_t family,
                      void (*each)(const SocketAddress& address, void* context),
                      void* context) {
  if (name_library.getaddrinfo == nullptr || name_library.freeaddrinfo == nullptr) return false;
  AddrInfoA hints{};
  hints.ai_family = family;
  AddrInfoA* results = nullptr;
  if (name_library.getaddrinfo(host, nullptr, &hints, &results) != 0) return false;
  for (AddrInfoA* result = results; result != nullptr; result = result->ai_next) {
    SocketAddress address;
    if (result->ai_addr != nullptr && from_system(result->ai_addr, &address)) {
      each(address, context);
    }
  }
  name_library.freeaddrinfo(results);
  return true;
}

}  // namespace brindax::os
