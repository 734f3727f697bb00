// The HTTPS client on Windows: WinHTTP (winhttp.dll), synchronous, one
// session for the client's life and one connect handle per scheme, host and
// port, so that WinHTTP keeps the connection alive between requests.
//
// Proxies are the user's own settings. From Windows 8.1 on, WinHTTP applies
// them itself (WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY). Before, the session has
// WinHTTP's default and each server's proxy is worked out here from the
// Internet Options of the current user: an auto-config script or
// auto-detection through WinHttpGetProxyForUrl, else the fixed proxy with its
// bypass list.
//
// Trust: WinHTTP verifies the server against the system's certificate
// stores and cannot be given one more CA for a single request, so
// `ca_file` is not used here; Windows test runs put their CA into the root
// store of the test user instead (tests/windows/).
#include <windows.h>

#include <winhttp.h>

#include <string>
#include <vector>

#include "net/https_client.h"

namespace brindax {
namespace {

constexpr wchar_t kUserAgent[] = L"brindax-updater";
constexpr DWORD kReadBufferBytes = 64 * 1024;

// An open WinHTTP handle, closed with the object.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HINTERNET handle) : handle_(handle) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }

  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HINTERNET handle_ = nullptr;
};

// Memory that WinHTTP's proxy functions hand over, freed with GlobalFree.
class GlobalText {
 public:
  GlobalText() = default;
  ~GlobalText() {
    if (text != nullptr) GlobalFree(text);
  }
  GlobalText(const GlobalText&) = delete;
  GlobalText& operator=(const GlobalText&) = delete;
  LPWSTR text = nullptr;
};

std::wstring widen(const char* utf8) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), size) != size) {
    return {};
  }
  wide.resize(static_cast<std::size_t>(size) - 1);
  return wide;
}

// Header text back to the bytes it was made from: WinHTTP widens the
// response head with the ANSI code page.
std::string narrow(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int wide_length = static_cast<int>(length);
  const int size = WideCharToMultiByte(CP_ACP, 0, text, wide_length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, wide_length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

// Errors that mean no connection to the server came about: the name, the
// TCP connection, the proxy's tunnel, the TLS handshake or the certificate.
bool connection_not_opened(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      return true;
    default:
      return false;
  }
}

bool is_certificate_or_handshake_error(DWORD error) {
  return error != ERROR_WINHTTP_TIMEOUT && error != ERROR_WINHTTP_CONNECTION_ERROR &&
         connection_not_opened(error);
}

std::wstring decimal(std::uint64_t value) {
  wchar_t digits[24];
  std::size_t at = sizeof digits / sizeof digits[0];
  do {
    digits[--at] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  return std::wstring(digits + at, sizeof digits / sizeof digits[0] - at);
}

DWORD milliseconds(std::int32_t seconds) {
  return seconds <= 0 ? 0 : static_cast<DWORD>(seconds) * 1000u;
}

// The parts of a URL that WinHTTP's calls take.
struct CrackedUrl {
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;  // path and query, as they stand in the URL
};

bool crack(const std::wstring& url, CrackedUrl* out) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  parts.dwUserNameLength = static_cast<DWORD>(-1);
  parts.dwPasswordLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTPS && parts.nScheme != INTERNET_SCHEME_HTTP) return false;
  if (parts.dwUserNameLength > 0 || parts.dwPasswordLength > 0) return false;
  if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) return false;
  out->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  out->host.assign(parts.lpszHostName, parts.dwHostNameLength);
  out->port = parts.nPort;
  if (parts.lpszUrlPath != nullptr) out->path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) out->path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (out->path.empty()) out->path = L"/";
  return true;
}

// The proxy for one server, from the user's Internet Options (systems
// before Windows 8.1): worked out when a connection to a server is made and
// set on each request to it.
class ManualProxy {
 public:
  void choose(HINTERNET session, const std::wstring& url) {
    use_ = false;
    proxy_.clear();
    bypass_.clear();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return;  // none configured
    GlobalText auto_config_url, proxy, bypass;
    auto_config_url.text = config.lpszAutoConfigUrl;
    proxy.text = config.lpszProxy;
    bypass.text = config.lpszProxyBypass;

    if (config.fAutoDetect || auto_config_url.text != nullptr) {
      WINHTTP_AUTOPROXY_OPTIONS options{};
      if (config.fAutoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
      }
      if (auto_config_url.text != nullptr) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = auto_config_url.text;
      }
      options.fAutoLogonIfChallenged = TRUE;
      WINHTTP_PROXY_INFO found{};
      if (WinHttpGetProxyForUrl(session, url.c_str(), &options, &found)) {
        GlobalText found_proxy, found_bypass;
        found_proxy.text = found.lpszProxy;
        found_bypass.text = found.lpszProxyBypass;
        if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && found_proxy.text != nullptr) {
          use_ = true;
          proxy_ = found_proxy.text;
          if (found_bypass.text != nullptr) bypass_ = found_bypass.text;
        }
        return;  // the script's answer, a proxy or direct
      }
      // No script or no answer from it: the fixed proxy, if any, else direct.
    }
    if (proxy.text == nullptr) return;
    use_ = true;
    proxy_ = proxy.text;
    if (bypass.text != nullptr) bypass_ = bypass.text;
  }

  // Sets the chosen proxy on a request; false when it cannot be set.
  bool apply(HINTERNET request) const {
    if (!use_) return true;
    WINHTTP_PROXY_INFO info{};
    info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = const_cast<LPWSTR>(proxy_.c_str());
    info.lpszProxyBypass = bypass_.empty() ? nullptr : const_cast<LPWSTR>(bypass_.c_str());
    return WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info) != FALSE;
  }

 private:
  bool use_ = false;
  std::wstring proxy_;
  std::wstring bypass_;
};

// The low-speed rule over the body: every window of `seconds` must bring at
// least `min_bytes`.
class SpeedWindow {
 public:
  SpeedWindow(std::int32_t seconds, std::int32_t min_bytes)
      : length_ms_(milliseconds(seconds)), min_bytes_(min_bytes < 0 ? 0 : min_bytes),
        start_(GetTickCount()) {}

  // Counts `bytes` that have just arrived; false once a whole window has
  // passed with fewer than the minimum.
  bool add(DWORD bytes) {
    bytes_ += bytes;
    if (length_ms_ == 0) return true;
    const DWORD now = GetTickCount();
    if (now - start_ < length_ms_) return true;
    if (bytes_ < static_cast<std::uint64_t>(min_bytes_)) return false;
    start_ = now;
    bytes_ = 0;
    return true;
  }

 private:
  DWORD length_ms_;
  std::int32_t min_bytes_;
  DWORD start_;
  std::uint64_t bytes_ = 0;
};

class WinHttpClient final : public HttpsClient {
 public:
  WinHttpClient(Handle session, bool manual_proxy)
      : session_(std::move(session)), manual_proxy_(manual_proxy) {}

  HttpsOutcome perform(const HttpsRequest& request, HttpsResponseHandler& handler) override {
    if (request.url == nullptr) return HttpsOutcome::failed;
    const std::wstring url = widen(request.url);
    CrackedUrl target;
    if (url.empty() || !crack(url, &target)) return HttpsOutcome::failed;
    if (!target.secure && !request.allow_plain_http) return HttpsOutcome::failed;
    if (!connect_to(target, url)) return HttpsOutcome::unreachable;

    Handle http(WinHttpOpenRequest(connection_.get(), L"GET", target.path.c_str(), nullptr,
                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                   (target.secure ? WINHTTP_FLAG_SECURE : 0) |
                                       WINHTTP_FLAG_ESCAPE_DISABLE |
                                       WINHTTP_FLAG_ESCAPE_DISABLE_QUERY));
    if (!http || !prepare(http.get(), request)) return HttpsOutcome::failed;

    const std::wstring headers = request_headers(request);
    if (!WinHttpSendRequest(http.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
      return connection_not_opened(GetLastError()) ? HttpsOutcome::unreachable
                                                   : HttpsOutcome::failed;
    }
    if (!WinHttpReceiveResponse(http.get(), nullptr)) {
      // Some systems report the certificate or the handshake only here.
      return is_certificate_or_handshake_error(GetLastError()) ? HttpsOutcome::unreachable
                                                               : HttpsOutcome::failed;
    }
    const HttpsOutcome head = hand_over_head(http.get(), handler);
    if (head != HttpsOutcome::complete) return head;
    return hand_over_body(http.get(), request, handler);
  }

 private:
  // The connect handle for the target's scheme, host and port: the one in
  // use when it is the same server, so that its connection is reused.
  bool connect_to(const CrackedUrl& target, const std::wstring& url) {
    if (connection_ && target.secure == secure_ && target.host == host_ && target.port == port_) {
      return true;
    }
    connection_.reset();
    connection_ = Handle(WinHttpConnect(session_.get(), target.host.c_str(), target.port, 0));
    if (!connection_) return false;
    secure_ = target.secure;
    host_ = target.host;
    port_ = target.port;
    if (manual_proxy_) proxy_.choose(session_.get(), url);
    return true;
  }

  // Options of one request: bounds, no redirects or cookies, proxy.
  bool prepare(HINTERNET http, const HttpsRequest& request) const {
    const int timeout = static_cast<int>(milliseconds(request.timeout_seconds));
    if (!WinHttpSetTimeouts(http, timeout, timeout, timeout, timeout)) return false;
    // The whole head within the bound, not only each piece of it (where the
    // system knows this option; else each receive is bounded alone).
    DWORD head_timeout = static_cast<DWORD>(timeout);
    WinHttpSetOption(http, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head_timeout, sizeof head_timeout);
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    if (!WinHttpSetOption(http, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled)) {
      return false;
    }
    return !manual_proxy_ || proxy_.apply(http);
  }

  static std::wstring request_headers(const HttpsRequest& request) {
    std::wstring headers = L"Accept-Encoding: identity\r\n";
    if (request.ranged) {
      headers += L"Range: bytes=" + decimal(request.first) + L"-" + decimal(request.last) + L"\r\n";
    }
    if (request.if_range != nullptr && request.if_range[0] != '\0') {
      // A validator is ASCII; a byte above it stands for itself.
      headers += L"If-Range: ";
      for (const char* c = request.if_range; *c != '\0'; ++c) {
        headers += static_cast<wchar_t>(static_cast<unsigned char>(*c));
      }
      headers += L"\r\n";
    }
    return headers;
  }

  // The status line and the header fields, one by one, then the empty line.
  static HttpsOutcome hand_over_head(HINTERNET http, HttpsResponseHandler& handler) {
    DWORD size = 0;
    WinHttpQueryHeaders(http, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return HttpsOutcome::failed;
    std::vector<wchar_t> raw(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(http, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                             raw.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
      return HttpsOutcome::failed;
    }
    const std::wstring text(raw.data(), size / sizeof(wchar_t));
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find(L"\r\n", start);
      if (end == std::wstring::npos) end = text.size();
      if (end == start) break;  // the empty line that ends the head
      const std::string line = narrow(text.data() + start, end - start);
      if (!handler.header_line(line.data(), static_cast<std::int32_t>(line.size()))) {
        return HttpsOutcome::stopped;
      }
      start = end + 2;
    }
    return handler.header_line("", 0) ? HttpsOutcome::complete : HttpsOutcome::stopped;
  }

  static HttpsOutcome hand_over_body(HINTERNET http, const HttpsRequest& request,
                                     HttpsResponseHandler& handler) {
    std::vector<char> buffer(kReadBufferBytes);
    SpeedWindow window(request.timeout_seconds, request.min_bytes_per_window);
    for (;;) {
      DWORD available = 0;
      if (!WinHttpQueryDataAvailable(http, &available)) return HttpsOutcome::failed;
      if (available == 0) return HttpsOutcome::complete;
      DWORD read = 0;
      const DWORD wanted = available < kReadBufferBytes ? available : kReadBufferBytes;
      if (!WinHttpReadData(http, buffer.data(), wanted, &read)) return HttpsOutcome::failed;
      if (read == 0) return HttpsOutcome::complete;
      if (!handler.body(buffer.data(), static_cast<std::int32_t>(read))) return HttpsOutcome::stopped;
      if (!window.add(read)) return HttpsOutcome::failed;
    }
  }

  Handle session_;
  bool manual_proxy_;
  ManualProxy proxy_;
  Handle connection_;
  bool secure_ = false;
  std::wstring host_;
  INTERNET_PORT port_ = 0;
};

// TLS 1.2 and 1.3, or TLS 1.2 alone where 1.3 is unknown.
bool restrict_protocols(HINTERNET session) {
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    return true;
  }
  protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  return WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols) !=
         FALSE;
}

}  // namespace

std::unique_ptr<HttpsClient> make_https_client() {
  bool manual_proxy = false;
  Handle session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {  // before Windows 8.1
    manual_proxy = true;
    session = Handle(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  }
  if (!session || !restrict_protocols(session.get())) return nullptr;
  return std::unique_ptr<HttpsClient>(new WinHttpClient(std::move(session), manual_proxy));
}

}  // namespace brindax
