// The update server's side of a run: the one transport to the release
// server, the server's list, and the update check.
#pragma once

#include <cstdint>
#include <memory>

#include "net/transport.h"

namespace brindax {

// Opens the transport to the built-in release server (FTP, or HTTPS when
// release URLs are built in); on failure reports it and ends the process
// with exit code 0.
void open_update_server();

// The transport opened by open_update_server.
Transport& update_server();

// Ends the session with the release server; nothing more is fetched.
void close_update_server();

// Fetches the server's list into "ServerVersion.ver" and, with a publisher
// key built in, checks its signature; on failure reports it and ends the
// process with exit code 0.
void fetch_server_list();

// The HTTPS transport over the built-in release URLs, or null when it cannot
// start. Defined with the built-in settings: a build without release URLs
// answers null without linking the HTTPS client (nor, on Windows, importing
// WinHTTP).
std::unique_ptr<Transport> open_release_url_transport(const char* base_urls,
                                                      std::int32_t timeout_seconds);

// Mode "UpdateAvailable": ends the process with 0, 1 or 2.
[[noreturn]] void check_for_update();

}  // namespace brindax
