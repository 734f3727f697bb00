// The socket side of the operating-system seam: Winsock 1.1 (with the name
// functions of "ws2_32.dll" loaded at run time) on Windows, BSD sockets on
// POSIX. Implemented by socket_win32.cpp and socket_posix.cpp; the portable
// network layer (network.cpp) rests only on what is declared here.
#pragma once

#include <cstdint>

namespace brindax::os {

// A socket as stored in records. 0 never names an open socket on any
// platform (both sides store the system's value + 1, since descriptor 0 is
// valid on POSIX), so it can serve as an existence marker.
using Socket = std::intptr_t;
inline constexpr Socket NO_SOCKET = 0;

// Address families as the network layer counts them.
inline constexpr std::int32_t FAMILY_IPV4 = 2;
inline constexpr std::int32_t FAMILY_IPV6 = 23;

// Socket types.
inline constexpr std::int32_t SOCKET_STREAM = 1;
inline constexpr std::int32_t SOCKET_DATAGRAM = 2;

// A socket address in portable form (either family).
struct SocketAddress {
  std::int32_t family;        // FAMILY_IPV4 or FAMILY_IPV6; 0 when unset
  std::uint16_t port;         // host byte order
  std::uint32_t ipv4;         // network byte order (FAMILY_IPV4)
  unsigned char ipv6[16];     // FAMILY_IPV6
  std::uint32_t flow_info;    // FAMILY_IPV6
  std::uint32_t scope_id;     // FAMILY_IPV6
};

// Errors of the last failed call on this thread, as the layer tells them apart.
enum class SocketError {
  none,
  would_block,      // WSAEWOULDBLOCK / EAGAIN: nothing yet on a non-blocking socket
  conn_aborted,     // WSAECONNABORTED
  conn_reset,       // WSAECONNRESET
  not_connected,    // WSAENOTCONN
  shut_down,        // WSAESHUTDOWN (EPIPE on POSIX)
  other,
};

// WSAStartup(0x0101); true when it succeeded (always true on POSIX).
bool startup();
// WSACleanup (nothing on POSIX).
void cleanup();
// Loads the optional name library and its three functions; true when all
// three are there (POSIX: always, getaddrinfo is part of the C library).
// Calling it again while loaded reuses the loaded library.
bool load_name_library();
// Unloads it when loaded.
void free_name_library();

// socket(family, type, 0); NO_SOCKET on failure.
Socket open_socket(std::int32_t family, std::int32_t type);
// closesocket / close.
void close_socket(Socket socket);
// FIONBIO; false on failure.
bool set_nonblocking(Socket socket, bool nonblocking);

// SO_RCVBUF: the receive buffer, and so the most a peer may send ahead of
// what has been read; false on failure.
bool set_receive_buffer(Socket socket, std::int32_t bytes);

bool bind_socket(Socket socket, const SocketAddress& address);
bool listen_socket(Socket socket, std::int32_t backlog);
// A waiting connection, or NO_SOCKET. The accepted socket has the listening
// socket's blocking mode on every platform.
Socket accept_socket(Socket socket);

enum class ConnectResult { connected, in_progress, failed };
// connect(); on a non-blocking socket it may answer in_progress.
ConnectResult connect_socket(Socket socket, const SocketAddress& address);
// After in_progress: waits with select for the socket to become writable (or
// to fail) for at most `timeout_ms`; true when the connection is established.
bool wait_connected(Socket socket, std::int32_t timeout_ms);

// Waits up to `timeout_ms` for the socket to become readable (data, the end of
// the stream or an error waiting). 1 ready, 0 time-out, -1 failure.
std::int32_t wait_readable(Socket socket, std::int32_t timeout_ms);

// send/recv; bytes, or -1 (then last_error tells why). No SIGPIPE on POSIX.
std::int32_t send_bytes(Socket socket, const void* data, std::int32_t length);
std::int32_t receive_bytes(Socket socket, void* buffer, std::int32_t size);
std::int32_t peek_bytes(Socket socket, void* buffer, std::int32_t size);
// FIONREAD: bytes waiting, or -1.
std::int32_t pending_bytes(Socket socket);
std::int32_t send_to(Socket socket, const void* data, std::int32_t length,
                     const SocketAddress& address);
// Receives one datagram and its IPv4 sender; -1 when nothing came.
std::int32_t receive_from(Socket socket, void* buffer, std::int32_t size, SocketAddress* sender);
SocketError last_error();

// getsockname / getpeername; false on failure.
bool local_address(Socket socket, SocketAddress* address);
bool peer_address(Socket socket, SocketAddress* address);

// inet_addr: the address in network byte order, 0xFFFFFFFF for none.
std::uint32_t parse_ipv4(const char* text);
// Name look-up for IPv4: the first address found; false when none.
bool lookup_ipv4(const char* host, std::uint32_t* address);
// Name look-up for IPv4: every address found, in the resolver's order
// (repeats possible); false when none. Windows: getaddrinfo of the name
// library, else gethostbyname's whole address list.
bool lookup_ipv4_all(const char* host, void (*each)(std::uint32_t address, void* context),
                     void* context);
// getaddrinfo(host, no service, hints with only the family set, 0 = any):
// calls `each` for every address found in order; false when the look-up
// failed or the name library is missing.
bool lookup_addresses(const char* host, std::int32_t family,
                      void (*each)(const SocketAddress& address, void* context),
                      void* context);

}  // namespace brindax::os
