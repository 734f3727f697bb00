// The rules the HTTPS transport applies to what it sends and receives, as
// pure functions over strings: building a file's URL, reading a response
// head, judging its status, Content-Range, codings and redirects. No
// sockets here; net/https_transport.cpp puts them to work.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brindax::http {

// A response head larger than this (status line and every field, CR LF
// included) is refused.
inline constexpr std::int64_t MAX_HEADER_BYTES = 64 * 1024;
// Redirects followed for one request at most.
inline constexpr std::int32_t MAX_REDIRECTS = 5;

// --- URLs --------------------------------------------------------------------

struct Url {
  std::string scheme;  // "https" or "http", lower case
  std::string host;    // as written (a bracketed IPv6 literal keeps its brackets)
  std::int32_t port = 0;  // the explicit port, else 443 / 80
  std::string path;    // from the first "/" on, query included; "/" at least
};
// Splits an absolute http(s) URL; nullopt for anything else (other schemes,
// user info, a fragment, no host, a bad port, blanks or control characters).
std::optional<Url> parse_url(std::string_view url);

// Whether `host` names this machine's loopback ("127.0.0.1", "localhost",
// "[::1]"); only there may a test build speak plain http.
bool is_loopback_host(std::string_view host);

// Whether `base` may be a base URL: an absolute URL ending in "/", https, or
// http on a loopback host when `allow_loopback_http`.
bool valid_base_url(std::string_view base, bool allow_loopback_http);

// base + remote, each "/"-separated segment of `remote` percent-encoded
// (every byte but ALPHA, DIGIT, "-", ".", "_" and "~"). Empty when `remote`
// is empty, starts or ends with "/", or has an empty, "." or ".." segment.
std::string file_url(std::string_view base, std::string_view remote);

// --- the response head ----------------------------------------------------------

// The status code of a status line ("HTTP/1.1 200 OK", "HTTP/2 206"); 0 when
// the line is not one.
std::int32_t status_of(std::string_view status_line);

// The fields the transport uses from one response head, gathered line by
// line as the client hands them over.
struct ResponseHead {
  std::int32_t status = 0;          // 0 until a final status line came
  std::int64_t content_length = -1;  // -1: none sent
  std::string content_range;
  std::string content_encoding;
  std::string transfer_encoding;  // every Transfer-Encoding field, ", " between
  std::string etag;
  std::string last_modified;
  std::string location;
  std::int64_t header_bytes = 0;  // every line counted with its CR LF
  bool complete = false;           // the empty line after a final status came
  bool malformed = false;          // refused: see add_header_line
};
// Takes the next header line (without CR LF). False, with `malformed` set,
// for a head that is refused: larger than MAX_HEADER_BYTES, no status line
// first, a field line without a name and ":", or Content-Length given twice
// with different values or not a plain decimal. An interim (1xx) response
// is read and forgotten; lines after the head is complete are refused.
bool add_header_line(ResponseHead& head, std::string_view line);

// Whether a Content-Encoding value leaves the body as it is (none, or
// "identity").
bool identity_encoding(std::string_view content_encoding);

// Whether the response marks where its body ends: a Content-Length, or the
// chunked transfer coding alone (any other transfer coding is refused). A
// body that ends only where the connection closes could be cut short by
// anyone on the path, since a TCP close passes without a TLS close_notify,
// so no such body is kept.
bool body_framed(const ResponseHead& head);

// What a final status means for a request (ranged or whole).
enum class StatusUse {
  whole,     // 200: the whole file follows
  range,     // 206 to a ranged request: the range follows (check Content-Range)
  redirect,  // 301, 302, 303, 307, 308: look at Location
  refused,   // anything else, and 206 to a request that asked for no range
};
StatusUse status_use(std::int32_t status, bool ranged);

struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::int64_t total = -1;  // -1: "*" (the server does not tell)
};
// "bytes first-last/total" (total may be "*"), first <= last < total;
// nullopt otherwise (also for "bytes */total", which answers no range).
std::optional<ContentRange> parse_content_range(std::string_view value);
// Whether a 206's Content-Range is exactly the asked range (`first`,
// `last`), and when `known_total` >= 0 names that total too.
bool range_answers(const ContentRange& range, std::uint64_t first, std::uint64_t last,
                   std::int64_t known_total);

// --- redirects -------------------------------------------------------------------

// The absolute URL a Location value leads to from `current` (absolute URLs,
// "//host/path", "/path" and relative paths are resolved); nullopt when it
// cannot be resolved, or when it is not allowed: only https is followed,
// except that with `allow_loopback_http` an http URL may lead to http on a
// loopback host. https never leads to http.
std::optional<std::string> redirect_target(std::string_view current, std::string_view location,
                                           bool allow_loopback_http);

// --- what identifies a file --------------------------------------------------------

// The identity of a remote file: its ETag, else its Last-Modified; empty
// when the server gives neither.
std::string file_identity(std::string_view etag, std::string_view last_modified);
// The validator for If-Range: a strong ETag, else Last-Modified (a weak ETag
// cannot serve there); empty when there is none.
std::string if_range_validator(std::string_view etag, std::string_view last_modified);

}  // namespace brindax::http
