#include "net/http_rules.h"

#include <charconv>

namespace brindax::http {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && same_text_ignoring_case(text.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A plain decimal number (digits only, no sign, no blanks) that fits.
std::optional<std::uint64_t> decimal(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(static_cast<char>(c)) ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

// The directory part of a URL path (up to and with its last "/"), without
// its query.
std::string_view directory_of(std::string_view path) {
  path = path.substr(0, path.find('?'));
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view("/") : path.substr(0, slash + 1);
}

std::string origin_of(const Url& url) {
  const std::int32_t default_port = url.scheme == "https" ? 443 : 80;
  std::string origin = url.scheme + "://" + url.host;
  if (url.port != default_port) origin += ":" + std::to_string(url.port);
  return origin;
}

}  // namespace

std::optional<Url> parse_url(std::string_view url) {
  for (char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f || c == '#' || c == '\\') return std::nullopt;
  }
  Url result;
  if (starts_with_ignoring_case(url, "https://")) {
    result.scheme = "https";
    result.port = 443;
    url.remove_prefix(8);
  } else if (starts_with_ignoring_case(url, "http://")) {
    result.scheme = "http";
    result.port = 80;
    url.remove_prefix(7);
  } else {
    return std::nullopt;
  }
  const std::size_t authority_end = url.find_first_of("/?");
  std::string_view authority = url.substr(0, authority_end);
  std::string_view rest = authority_end == std::string_view::npos ? std::string_view() : url.substr(authority_end);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
    }
  } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return std::nullopt;
  if (authority.find(':') != std::string_view::npos && host.back() != ']' && port.empty()) return std::nullopt;
  if (!port.empty()) {
    const auto number = decimal(port);
    if (!number || *number == 0 || *number > 65535) return std::nullopt;
    result.port = static_cast<std::int32_t>(*number);
  }
  result.host = std::string(host);
  for (char& c : result.host) c = lower(c);
  result.path = rest.empty() || rest.front() != '/' ? "/" + std::string(rest) : std::string(rest);
  return result;
}

bool is_loopback_host(std::string_view host) {
  return host == "127.0.0.1" || same_text_ignoring_case(host, "localhost") || host == "[::1]";
}

bool valid_base_url(std::string_view base, bool allow_loopback_http) {
  const auto url = parse_url(base);
  if (!url || base.back() != '/' || url->path.find('?') != std::string::npos) return false;
  return url->scheme == "https" || (allow_loopback_http && is_loopback_host(url->host));
}

std::string file_url(std::string_view base, std::string_view remote) {
  if (remote.empty() || remote.front() == '/' || remote.back() == '/') return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url(base);
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = remote.find('/', start);
    const std::string_view segment = remote.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (segment.empty() || segment == "." || segment == "..") return {};
    for (char c : segment) {
      const auto byte = static_cast<unsigned char>(c);
      if (unreserved(byte)) {
        url += c;
      } else {
        url += '%';
        url += kHex[byte >> 4];
        url += kHex[byte & 15];
      }
    }
    if (slash == std::string_view::npos) break;
    url += '/';
    start = slash + 1;
  }
  return url;
}

std::int32_t status_of(std::string_view line) {
  if (!line.starts_with("HTTP/")) return 0;
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos || line.size() < blank + 4) return 0;
  const std::string_view code = line.substr(blank + 1, 3);
  if (line.size() > blank + 4 && line[blank + 4] != ' ') return 0;
  const auto value = decimal(code);
  if (!value || *value < 100 || *value > 599) return 0;
  return static_cast<std::int32_t>(*value);
}

bool add_header_line(ResponseHead& head, std::string_view line) {
  const auto refuse = [&head] {
    head.malformed = true;
    return false;
  };
  if (head.malformed || head.complete) return refuse();
  head.header_bytes += static_cast<std::int64_t>(line.size()) + 2;
  if (head.header_bytes > MAX_HEADER_BYTES) return refuse();
  if (head.status == 0) {
    // The first line of a response, or of the one after an interim one.
    const std::int32_t status = status_of(line);
    if (status == 0) return refuse();
    head.status = status;
    return true;
  }
  if (line.empty()) {
    if (head.status < 200) {
      // An interim response ended: the next line starts the real one.
      const std::int64_t counted = head.header_bytes;
      head = ResponseHead{};
      head.header_bytes = counted;
    } else {
      head.complete = true;
    }
    return true;
  }
  if (line.front() == ' ' || line.front() == '\t') return refuse();  // obsolete folding
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return refuse();
  const std::string_view name = line.substr(0, colon);
  if (name.find_first_of(" \t") != std::string_view::npos) return refuse();
  const std::string_view value = trim(line.substr(colon + 1));
  if (head.status < 200) return true;
  if (same_text_ignoring_case(name, "Content-Length")) {
    const auto length = decimal(value);
    if (!length || *length > static_cast<std::uint64_t>(INT64_MAX)) return refuse();
    if (head.content_length >= 0 && head.content_length != static_cast<std::int64_t>(*length)) return refuse();
    head.content_length = static_cast<std::int64_t>(*length);
  } else if (same_text_ignoring_case(name, "Content-Range")) {
    head.content_range = value;
  } else if (same_text_ignoring_case(name, "Content-Encoding")) {
    // Several fields add up to one list.
    if (!head.content_encoding.empty()) head.content_encoding += ", ";
    head.content_encoding += value;
  } else if (same_text_ignoring_case(name, "Transfer-Encoding")) {
    if (!head.transfer_encoding.empty()) head.transfer_encoding += ", ";
    head.transfer_encoding += value;
  } else if (same_text_ignoring_case(name, "ETag")) {
    head.etag = value;
  } else if (same_text_ignoring_case(name, "Last-Modified")) {
    head.last_modified = value;
  } else if (same_text_ignoring_case(name, "Location")) {
    head.location = value;
  }
  return true;
}

bool identity_encoding(std::string_view content_encoding) {
  const std::string_view value = trim(content_encoding);
  return value.empty() || same_text_ignoring_case(value, "identity");
}

bool body_framed(const ResponseHead& head) {
  const std::string_view coding = trim(head.transfer_encoding);
  if (!coding.empty()) return same_text_ignoring_case(coding, "chunked");
  return head.content_length >= 0;
}

StatusUse status_use(std::int32_t status, bool ranged) {
  switch (status) {
    case 200:
      return StatusUse::whole;
    case 206:
      return ranged ? StatusUse::range : StatusUse::refused;
    case 301:
    case 302:
    case 303:
    case 307:
    case 308:
      return StatusUse::redirect;
    default:
      return StatusUse::refused;
  }
}

std::optional<ContentRange> parse_content_range(std::string_view value) {
  value = trim(value);
  if (!starts_with_ignoring_case(value, "bytes ")) return std::nullopt;
  value = trim(value.substr(6));
  const std::size_t dash = value.find('-');
  const std::size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) return std::nullopt;
  const auto first = decimal(value.substr(0, dash));
  const auto last = decimal(value.substr(dash + 1, slash - dash - 1));
  if (!first || !last || *first > *last) return std::nullopt;
  ContentRange range{*first, *last, -1};
  const std::string_view total = value.substr(slash + 1);
  if (total != "*") {
    const auto number = decimal(total);
    if (!number || *number > static_cast<std::uint64_t>(INT64_MAX) || *last >= *number) return std::nullopt;
    range.total = static_cast<std::int64_t>(*number);
  }
  return range;
}

bool range_answers(const ContentRange& range, std::uint64_t first, std::uint64_t last,
                   std::int64_t known_total) {
  if (range.first != first || range.last != last) return false;
  return known_total < 0 || range.total < 0 || range.total == known_total;
}

std::optional<std::string> redirect_target(std::string_view current, std::string_view location,
                                           bool allow_loopback_http) {
  const auto from = parse_url(current);
  location = trim(location);
  if (!from || location.empty()) return std::nullopt;
  std::string target;
  if (starts_with_ignoring_case(location, "https://") || starts_with_ignoring_case(location, "http://")) {
    target = location;
  } else if (location.starts_with("//")) {
    target = from->scheme + ":" + std::string(location);
  } else if (location.front() == '/') {
    target = origin_of(*from) + std::string(location);
  } else if (location.find(':') == std::string_view::npos ||
             location.find('/') < location.find(':')) {
    target = origin_of(*from) + std::string(directory_of(from->path)) + std::string(location);
  } else {
    return std::nullopt;  // another scheme
  }
  const auto to = parse_url(target);
  if (!to) return std::nullopt;
  if (to->scheme == "https") return target;
  const bool loopback_http = allow_loopback_http && from->scheme == "http" &&
                             is_loopback_host(from->host) && is_loopback_host(to->host);
  return loopback_http ? std::optional<std::string>(target) : std::nullopt;
}

std::string file_identity(std::string_view etag, std::string_view last_modified) {
  return std::string(!etag.empty() ? etag : last_modified);
}

std::string if_range_validator(std::string_view etag, std::string_view last_modified) {
  if (!etag.empty() && !etag.starts_with("W/")) return std::string(etag);
  return std::string(last_modified);
}

}  // namespace brindax::http
