// The platform's HTTPS client, as narrow as one request: GET a URL (with an
// optional byte range and its If-Range validator) and hand the response's
// header lines and body bytes to a handler as they come. Implemented by
// https_client_posix.cpp (libcurl) and https_client_win32.cpp (WinHTTP).
//
// The client only moves bytes and keeps time. Every judgement about the
// response (status, Content-Range, Content-Length against what arrived,
// content codings, redirects, the size of the headers) is made by the
// portable code of net/https_transport.cpp over what the handler is given,
// so both platforms behave alike. In particular the client:
//   - sends GET with no body, "Accept-Encoding: identity" (or no
//     Accept-Encoding at all), and never decodes a content coding;
//   - never follows a redirect itself (a 3xx is handed over like any other
//     response);
//   - speaks TLS 1.2 or newer and verifies the server's certificate and host
//     name against the system's trust store (plus `ca_file` when given and
//     readable);
//   - uses the system's proxy settings (POSIX: https_proxy / no_proxy as
//     libcurl reads them; Windows: the user's settings through WinHTTP);
//   - keeps its connection open between requests (keep-alive) for as long as
//     the client object lives, so a run makes one TLS handshake per host.
#pragma once

#include <cstdint>
#include <memory>

namespace brindax {

struct HttpsRequest {
  const char* url = nullptr;  // absolute, already percent-encoded
  // When `ranged`: "Range: bytes=<first>-<last>" (both inclusive).
  bool ranged = false;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  // When non-null and non-empty: "If-Range: <if_range>" (an ETag as the
  // server sent it, quotes included, or a Last-Modified date).
  const char* if_range = nullptr;
  // Test programs only: a PEM file of one more trusted CA, added to the
  // system's store when it can be read (never in its place); null otherwise.
  const char* ca_file = nullptr;
  // Test builds only: plain http:// URLs may be fetched; otherwise the
  // client refuses any URL but https:// (and fails with `failed`).
  bool allow_plain_http = false;
  // Bounds: the connection must open (connect and TLS handshake) within it,
  // the whole response head must arrive within it from when the request was
  // sent, and the transfer fails once a window of this length brings fewer
  // than `min_bytes_per_window` bytes.
  std::int32_t timeout_seconds = 30;
  std::int32_t min_bytes_per_window = 1024;
};

// Takes one response as it arrives. Returning false from either function
// stops the request at once (the outcome is then `stopped`).
class HttpsResponseHandler {
 public:
  // One header line without its CR LF: the status line first ("HTTP/1.1 206
  // Partial Content"), then each header field, then an empty line that ends
  // the head. Interim responses (1xx) may be handed over too, each with its
  // own status line and empty line; folded lines come as they were sent.
  virtual bool header_line(const char* line, std::int32_t size) = 0;
  // The next piece of the body, the transfer coding (chunked) removed and
  // nothing else changed. Never called before the head has ended.
  virtual bool body(const char* data, std::int32_t size) = 0;

 protected:
  ~HttpsResponseHandler() = default;
};

enum class HttpsOutcome {
  complete,     // the response ended as the server framed it
  unreachable,  // no connection opened: name not resolved, every address
                // refused or timed out, TLS handshake or certificate failed
  failed,       // after the connection opened: cut short, a bound ran out,
                // malformed framing, a refused URL or proxy error
  stopped,      // the handler returned false
};

class HttpsClient {
 public:
  virtual ~HttpsClient() = default;
  HttpsClient(const HttpsClient&) = delete;
  HttpsClient& operator=(const HttpsClient&) = delete;

  // One request and its response. Requests are made one after another on
  // the caller's thread; a connection left open by one serves the next.
  virtual HttpsOutcome perform(const HttpsRequest& request, HttpsResponseHandler& handler) = 0;

 protected:
  HttpsClient() = default;
};

// A client of this platform; null when the platform's library cannot start.
std::unique_ptr<HttpsClient> make_https_client();

}  // namespace brindax
