// The HTTPS client on POSIX: one libcurl easy handle for the client's life,
// so its connection (and TLS session) is kept from one request to the next.
// libcurl reads https_proxy / no_proxy from the environment itself.
//
// Trust: the system's store as OpenSSL knows it (its default file and folder,
// which SSL_CERT_FILE / SSL_CERT_DIR may name instead), loaded into each TLS
// context by on_ssl_context(); libcurl's own compiled-in bundle path is not
// used. A test program's extra CA is added to that store when it can be
// read, and ignored when it cannot: it never takes the system's place.
#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

#include "net/https_client.h"

namespace brindax {
namespace {

using Clock = std::chrono::steady_clock;

void start_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The state of one perform() as libcurl's callbacks see it.
struct Call {
  HttpsResponseHandler* handler = nullptr;
  CURL* easy = nullptr;
  bool stopped = false;     // the handler said no
  bool head_done = false;   // a final response head has ended
  bool timed_out = false;   // the head did not come within the time-out
  bool final_status = false;  // the last status line was not an interim (1xx) one
  Clock::time_point started;
  std::chrono::seconds timeout{30};
};

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* call = static_cast<Call*>(user);
  std::size_t n = size * count;
  std::size_t length = n;
  while (length > 0 && (data[length - 1] == '\n' || data[length - 1] == '\r')) --length;
  if (!call->handler->header_line(data, static_cast<std::int32_t>(length))) {
    call->stopped = true;
    return 0;
  }
  // A status line starts a head; the empty line after a final one ends it.
  const std::string_view text(data, length);
  if (text.starts_with("HTTP/")) {
    const std::size_t blank = text.find(' ');
    call->final_status = blank != std::string_view::npos && blank + 1 < length && text[blank + 1] >= '2';
  } else if (length == 0 && call->final_status) {
    call->head_done = true;
  }
  return n;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* call = static_cast<Call*>(user);
  const std::size_t n = size * count;
  if (n == 0) return 0;
  if (!call->handler->body(data, static_cast<std::int32_t>(n))) {
    call->stopped = true;
    return CURL_WRITEFUNC_ERROR;
  }
  return n;
}

// Called about once a second and on every transfer step: ends a request
// whose head has not arrived within the time-out after it was sent.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* call = static_cast<Call*>(user);
  if (call->head_done) return 0;
  curl_off_t sent_after = 0;  // microseconds from the start until the request went out
  if (curl_easy_getinfo(call->easy, CURLINFO_PRETRANSFER_TIME_T, &sent_after) != CURLE_OK || sent_after <= 0) {
    return 0;  // still connecting: the connect time-out holds
  }
  const auto deadline = call->started + std::chrono::microseconds(sent_after) + call->timeout;
  if (Clock::now() > deadline) {
    call->timed_out = true;
    return 1;
  }
  return 0;
}

// libcurl's hook on each new TLS context (OpenSSL backend): the system's
// store, then the test program's CA when there is one.
CURLcode on_ssl_context(CURL*, void* ssl_context, void* user) {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_context));
  if (store == nullptr) return CURLE_SSL_CACERT_BADFILE;
  // A missing default file or folder leaves the store emptier, not broken.
  X509_STORE_set_default_paths(store);
  const char* extra_ca = static_cast<const char*>(user);
  if (extra_ca != nullptr && extra_ca[0] != '\0') X509_STORE_load_locations(store, extra_ca, nullptr);
  ERR_clear_error();
  return CURLE_OK;
}

class CurlClient final : public HttpsClient {
 public:
  explicit CurlClient(CURL* easy) : easy_(easy) {}
  ~CurlClient() override { curl_easy_cleanup(easy_); }

  HttpsOutcome perform(const HttpsRequest& request, HttpsResponseHandler& handler) override {
    // A reset keeps the open connections, the TLS session cache and the
    // name cache; only the options go back to their defaults.
    curl_easy_reset(easy_);
    Call call;
    call.handler = &handler;
    call.easy = easy_;
    call.timeout = std::chrono::seconds(request.timeout_seconds > 0 ? request.timeout_seconds : 30);
    const long timeout = static_cast<long>(call.timeout.count());

    curl_slist* headers = curl_slist_append(nullptr, "Accept-Encoding: identity");
    std::string if_range;
    if (request.if_range != nullptr && request.if_range[0] != '\0') {
      if_range = std::string("If-Range: ") + request.if_range;
      headers = curl_slist_append(headers, if_range.c_str());
    }
    std::string range;
    if (request.ranged) {
      range = std::to_string(request.first) + "-" + std::to_string(request.last);
    }
    if (headers == nullptr) return HttpsOutcome::failed;

    curl_easy_setopt(easy_, CURLOPT_URL, request.url);
    curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, request.allow_plain_http ? "http,https" : "https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy_, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers);
    if (request.ranged) curl_easy_setopt(easy_, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(easy_, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
    // The trusted CAs come from on_ssl_context() alone.
    curl_easy_setopt(easy_, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy_, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy_, CURLOPT_SSL_CTX_DATA, const_cast<char*>(request.ca_file));
    if (curl_easy_setopt(easy_, CURLOPT_SSL_CTX_FUNCTION, on_ssl_context) != CURLE_OK) {
      curl_slist_free_all(headers);
      return HttpsOutcome::failed;  // not the OpenSSL backend: no trust to give
    }
    curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, timeout);
    const long min_rate = (request.min_bytes_per_window + timeout - 1) / timeout;
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, min_rate > 0 ? min_rate : 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, timeout);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, &call);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &call);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, &call);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);

    call.started = Clock::now();
    const CURLcode code = curl_easy_perform(easy_);
    curl_slist_free_all(headers);
    if (code == CURLE_OK) return HttpsOutcome::complete;
    if (call.stopped) return HttpsOutcome::stopped;
    if (call.timed_out) return HttpsOutcome::failed;
    // Nothing was sent: the connection never opened (the name, every
    // address, the proxy, the TLS handshake or the certificate failed).
    curl_off_t sent_after = 0;
    const bool sent = curl_easy_getinfo(easy_, CURLINFO_PRETRANSFER_TIME_T, &sent_after) == CURLE_OK && sent_after > 0;
    if (!sent && code != CURLE_UNSUPPORTED_PROTOCOL && code != CURLE_URL_MALFORMAT) {
      return HttpsOutcome::unreachable;
    }
    return HttpsOutcome::failed;
  }

 private:
  CURL* easy_;
};

}  // namespace

std::unique_ptr<HttpsClient> make_https_client() {
  start_curl_once();
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return nullptr;
  return std::make_unique<CurlClient>(easy);
}

}  // namespace brindax
