// The release server over HTTPS: the Transport of net/transport.h on the
// platform's client (net/https_client.h), with every judgement of the
// responses made here by the rules of net/http_rules.h.
//
// remote_file() asks for the first byte of the file ("Range: bytes=0-0"): the
// 206's Content-Range names the size, its ETag (else Last-Modified) the
// identity, and that answer is the file's first one, so later ranges carry
// its validator in If-Range. A server that answers with 200 instead gives
// the size in Content-Length; its body is not read (that connection ends).
#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/ftp.h"
#include "net/http_rules.h"
#include "net/https_client.h"
#include "net/transport.h"
#include "runtime/core/os_file.h"
#include "runtime/core/replacing_file.h"

namespace brindax {
namespace {

#ifdef BRINDAX_TEST_ALLOW_LOOPBACK_HTTP
constexpr bool kAllowLoopbackHttp = true;
#else
constexpr bool kAllowLoopbackHttp = false;
#endif

// The body of a redirect or a refusal is read and dropped up to this much,
// so that the connection stays usable; more ends it.
constexpr std::int64_t kDiscardedBodyBytes = 64 * 1024;
// The free space of the local volume is looked at every this many bytes.
constexpr std::int64_t kFreeSpaceCheckBytes = std::int64_t{4} << 20;
// A downloaded file is written in blocks of this size.
constexpr std::int32_t kWriteBlockBytes = 256 * 1024;

// What one request asks for and where its body goes once the response head
// has been accepted.
class Reception {
 public:
  bool ranged = false;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::string if_range;
  // A known total size the Content-Range must name (-1: none known).
  std::int64_t known_total = -1;

  // The accepted head of a 200 (`whole`) or 206; false refuses it.
  virtual bool begin(const http::ResponseHead& head, bool whole) = 0;
  // Bytes of the body at their offset in the remote file; false stops.
  virtual bool piece(std::uint64_t offset, const char* data, std::int32_t n) = 0;

 protected:
  ~Reception() = default;
};

enum class Mode { pending, whole, range, redirect, refused };

// One response as it comes from the client, judged as its head completes.
class Exchange final : public HttpsResponseHandler {
 public:
  explicit Exchange(Reception& reception) : reception_(reception) {}

  bool header_line(const char* line, std::int32_t size) override {
    if (!http::add_header_line(head_, std::string_view(line, static_cast<std::size_t>(size)))) {
      return false;
    }
    if (!head_.complete) return true;
    switch (http::status_use(head_.status, reception_.ranged)) {
      case http::StatusUse::redirect:
        mode_ = Mode::redirect;
        return true;
      case http::StatusUse::refused:
        mode_ = Mode::refused;
        return true;
      case http::StatusUse::whole:
        // A whole file's end must be marked: a close cannot be told from a cut.
        if (!http::identity_encoding(head_.content_encoding) || !http::body_framed(head_)) return refuse();
        mode_ = Mode::whole;
        return reception_.begin(head_, true) || refuse();
      case http::StatusUse::range: {
        // A range's end is its length; a transfer coding must still be chunked.
        if (!http::identity_encoding(head_.content_encoding) ||
            (!head_.transfer_encoding.empty() && !http::body_framed(head_))) {
          return refuse();
        }
        const auto range = http::parse_content_range(head_.content_range);
        if (!range || !http::range_answers(*range, reception_.first, reception_.last, reception_.known_total)) {
          return refuse();
        }
        total_ = range->total;
        mode_ = Mode::range;
        return reception_.begin(head_, false) || refuse();
      }
    }
    return refuse();
  }

  bool body(const char* data, std::int32_t size) override {
    if (mode_ == Mode::redirect || mode_ == Mode::refused) {
      discarded_ += size;
      return discarded_ <= kDiscardedBodyBytes;
    }
    if (mode_ != Mode::whole && mode_ != Mode::range) return false;
    const std::uint64_t offset = (mode_ == Mode::range ? reception_.first : 0) + received_;
    received_ += static_cast<std::uint64_t>(size);
    if (head_.content_length >= 0 && received_ > static_cast<std::uint64_t>(head_.content_length)) return false;
    if (mode_ == Mode::range && received_ > reception_.last - reception_.first + 1) return false;
    return reception_.piece(offset, data, size);
  }

  // Whether a completed exchange brought a whole file or the asked range,
  // every byte as announced.
  bool delivered() const {
    if (mode_ != Mode::whole && mode_ != Mode::range) return false;
    if (head_.content_length >= 0 && received_ != static_cast<std::uint64_t>(head_.content_length)) return false;
    return mode_ == Mode::whole || received_ == reception_.last - reception_.first + 1;
  }

  Mode mode() const { return mode_; }
  const http::ResponseHead& head() const { return head_; }
  std::int64_t total() const { return total_; }

 private:
  bool refuse() {
    mode_ = Mode::refused;
    return false;
  }

  Reception& reception_;
  http::ResponseHead head_;
  Mode mode_ = Mode::pending;
  std::uint64_t received_ = 0;
  std::int64_t discarded_ = 0;
  std::int64_t total_ = -1;
};

// The outcome of one request with its redirects.
struct Answer {
  bool delivered = false;  // a 200 or 206 whose every byte went to the reception
  Mode mode = Mode::refused;
  http::ResponseHead head;
  std::int64_t total = -1;  // a 206's Content-Range total
};

// A whole file into a ReplacingFile, within the download options.
class FileReception final : public Reception {
 public:
  FileReception(const char* local, const ReceiveOptions& options)
      : local_(local), folder_(os::folder_of(local)), options_(options) {}

  bool begin(const http::ResponseHead& head, bool) override {
    if (options_.max_size > 0 && head.content_length > options_.max_size) return false;
    file_.discard();
    written_ = 0;
    buffered_ = 0;
    next_space_check_ = 0;
    return file_.open(local_);
  }

  bool piece(std::uint64_t, const char* data, std::int32_t n) override {
    if (options_.max_size > 0 && written_ + n > options_.max_size) return false;
    if (options_.keep_free > 0 && written_ + n > next_space_check_) {
      const std::int64_t free_bytes = os::free_space(folder_.c_str());
      if (free_bytes >= 0 && free_bytes - kFreeSpaceCheckBytes < options_.keep_free) return false;
      next_space_check_ = written_ + kFreeSpaceCheckBytes;
    }
    if (!store(data, n)) return false;
    if (options_.observer != nullptr) options_.observer->received(data, n);
    written_ += n;
    return true;
  }

  bool commit() { return flush() && file_.commit(); }

 private:
  // The client hands over a TLS record at a time (16 KiB at most); the file
  // is written in larger blocks, a fraction of the system calls.
  bool store(const char* data, std::int32_t n) {
    if (buffer_.empty()) buffer_.resize(kWriteBlockBytes);
    if (buffered_ + n > kWriteBlockBytes && !flush()) return false;
    if (n >= kWriteBlockBytes) return file_.write(data, n);
    std::copy(data, data + n, buffer_.data() + buffered_);
    buffered_ += n;
    return true;
  }
  bool flush() {
    const std::int32_t n = buffered_;
    buffered_ = 0;
    return n == 0 || file_.write(buffer_.data(), n);
  }

  const char* local_;
  std::string folder_;
  const ReceiveOptions& options_;
  ReplacingFile file_;
  std::vector<char> buffer_;
  std::int32_t buffered_ = 0;
  std::int64_t written_ = 0;
  std::int64_t next_space_check_ = 0;
};

// A whole file handed to the caller's sink, within a size bound.
class StreamReception final : public Reception {
 public:
  StreamReception(std::int64_t max_size, RangeSink sink, void* context)
      : max_size_(max_size), sink_(sink), context_(context) {}

  bool begin(const http::ResponseHead& head, bool whole) override {
    return whole && (max_size_ <= 0 || head.content_length <= max_size_);
  }
  bool piece(std::uint64_t offset, const char* data, std::int32_t n) override {
    if (max_size_ > 0 && offset + static_cast<std::uint64_t>(n) > static_cast<std::uint64_t>(max_size_)) {
      return false;
    }
    return sink_(context_, offset, data, n);
  }

 private:
  std::int64_t max_size_;
  RangeSink sink_;
  void* context_;
};

// A range handed to the caller's sink.
class SinkReception final : public Reception {
 public:
  SinkReception(RangeSink sink, void* context) : sink_(sink), context_(context) {}
  // For a 200: whether it may stand for the asked range (checked by the
  // transport before any byte goes to the sink).
  bool (*accept_whole)(const http::ResponseHead& head, const void* self) = nullptr;
  const void* accept_context = nullptr;

  bool begin(const http::ResponseHead& head, bool whole) override {
    return !whole || (accept_whole != nullptr && accept_whole(head, accept_context));
  }
  bool piece(std::uint64_t offset, const char* data, std::int32_t n) override {
    return sink_(context_, offset, data, n);
  }

 private:
  RangeSink sink_;
  void* context_;
};

// remote_file(): only the head matters.
class HeadReception final : public Reception {
 public:
  bool begin(const http::ResponseHead&, bool whole) override { return !whole; }
  bool piece(std::uint64_t, const char*, std::int32_t) override { return true; }
};

class HttpsTransport final : public Transport {
 public:
  HttpsTransport(std::vector<std::string> bases, std::int32_t timeout_seconds,
                 std::unique_ptr<HttpsClient> client, std::string extra_ca_file)
      : bases_(std::move(bases)),
        timeout_(timeout_seconds),
        client_(std::move(client)),
        extra_ca_file_(std::move(extra_ca_file)) {}

  bool receive_file(const char* remote, const char* local, const ReceiveOptions& options) override {
    FileReception reception(local, options);
    const Answer answer = request(remote, reception);
    return answer.delivered && answer.mode == Mode::whole && reception.commit();
  }

  bool receive_stream(const char* remote, std::int64_t max_size, RangeSink sink,
                      void* context) override {
    StreamReception reception(max_size, sink, context);
    const Answer answer = request(remote, reception);
    return answer.delivered && answer.mode == Mode::whole;
  }

  RangeReply receive_range(const char* remote, std::uint64_t offset, std::uint64_t length,
                           RangeSink sink, void* context) override {
    if (length == 0 || offset + length < offset) return RangeReply::failed;
    Known* known = find_known(remote);
    SinkReception reception(sink, context);
    reception.ranged = true;
    reception.first = offset;
    reception.last = offset + length - 1;
    if (known != nullptr) {
      reception.if_range = known->validator;
      reception.known_total = known->size;
    }
    // A 200 carries the whole file. Without If-Range the server ignores
    // ranges and the file is the one asked for; after an If-Range it is the
    // same file only when its validator is still the first answer's.
    struct WholeCheck {
      const Known* known;
    } check{known};
    reception.accept_whole = [](const http::ResponseHead& head, const void* self) {
      const Known* first = static_cast<const WholeCheck*>(self)->known;
      if (first == nullptr || first->validator.empty()) return true;
      return http::if_range_validator(head.etag, head.last_modified) == first->validator &&
             (first->size < 0 || head.content_length < 0 || head.content_length == first->size);
    };
    reception.accept_context = &check;
    const Answer answer = request(remote, reception);
    if (!answer.delivered) return RangeReply::failed;
    if (known == nullptr) remember(remote, answer);
    return answer.mode == Mode::range ? RangeReply::range : RangeReply::whole;
  }

  std::optional<RemoteFileInfo> remote_file(const char* remote) override {
    HeadReception reception;
    reception.ranged = true;
    reception.first = 0;
    reception.last = 0;
    const Answer answer = request(remote, reception);
    RemoteFileInfo info;
    if (answer.mode == Mode::range && answer.delivered) {
      info.size = answer.total;
    } else if (answer.mode == Mode::whole) {
      info.size = answer.head.content_length;  // the body was left unread
    } else {
      return std::nullopt;
    }
    info.identity = http::file_identity(answer.head.etag, answer.head.last_modified);
    if (info.size < 0 && info.identity.empty()) return std::nullopt;
    Answer noted = answer;
    noted.total = info.size;
    remember(remote, noted);
    return info;
  }

  void close() override {
    closed_ = true;
    client_.reset();
  }

  bool unreachable() const override { return unreachable_; }

  void give_up_at(std::optional<std::chrono::steady_clock::time_point> until) override {
    give_up_ = until;
  }

 private:
  // What the first answer for a file said.
  struct Known {
    std::string validator;
    std::int64_t size = -1;
  };

  Known* find_known(const char* remote) {
    const auto found = known_.find(remote);
    return found == known_.end() ? nullptr : &found->second;
  }

  void remember(const char* remote, const Answer& answer) {
    Known known;
    known.validator = http::if_range_validator(answer.head.etag, answer.head.last_modified);
    known.size = answer.mode == Mode::range ? answer.total : answer.head.content_length;
    known_[remote] = std::move(known);
  }

  // One request for `remote`: over the serving base, or (before any base
  // served) over each base in turn while none can be reached; then its
  // redirects.
  Answer request(const char* remote, Reception& reception) {
    Answer answer;
    if (closed_ || client_ == nullptr) return answer;
    const std::size_t last_base = settled_ ? base_ : bases_.size() - 1;
    for (std::size_t base = base_; base <= last_base; ++base) {
      const std::string url = http::file_url(bases_[base], remote);
      if (url.empty()) return answer;
      HttpsOutcome outcome = HttpsOutcome::failed;
      answer = follow(url, reception, &outcome);
      if (outcome == HttpsOutcome::unreachable && !settled_) continue;
      if (!settled_) {
        settled_ = true;
        base_ = base;
      }
      return answer;
    }
    unreachable_ = true;
    return answer;
  }

  // `url` and the redirects from it. `first_outcome` gets the outcome of the
  // request to `url` itself.
  Answer follow(std::string url, Reception& reception, HttpsOutcome* first_outcome) {
    Answer answer;
    for (std::int32_t redirects = 0;; ++redirects) {
      HttpsRequest request;
      request.url = url.c_str();
      request.ranged = reception.ranged;
      request.first = reception.first;
      request.last = reception.last;
      request.if_range = reception.if_range.c_str();
      request.ca_file = extra_ca_file_.empty() ? nullptr : extra_ca_file_.c_str();
      request.allow_plain_http = kAllowLoopbackHttp;
      request.timeout_seconds = request_timeout();
      request.min_bytes_per_window = MIN_BYTES_PER_TIMEOUT;
      if (request.timeout_seconds <= 0) return answer;  // the caller's time is up
      Exchange exchange(reception);
      const HttpsOutcome outcome = client_->perform(request, exchange);
      if (redirects == 0) *first_outcome = outcome;
      answer.mode = exchange.mode();
      answer.head = exchange.head();
      answer.total = exchange.total();
      answer.delivered = outcome == HttpsOutcome::complete && exchange.delivered();
      if (outcome == HttpsOutcome::unreachable && redirects == 0) return answer;
      if (exchange.mode() != Mode::redirect || outcome != HttpsOutcome::complete) {
        if (redirects > 0 && outcome == HttpsOutcome::unreachable) answer.mode = Mode::refused;
        return answer;
      }
      if (redirects >= http::MAX_REDIRECTS) return answer;
      const auto next = http::redirect_target(url, exchange.head().location, kAllowLoopbackHttp);
      if (!next) return answer;
      url = *next;
    }
  }

  // The bound of the next request: the time-out, or less when the caller
  // gives up sooner; 0 when that time has come.
  std::int32_t request_timeout() const {
    if (!give_up_) return timeout_;
    const auto left = *give_up_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(left).count();
    return static_cast<std::int32_t>(std::min<std::int64_t>(seconds, timeout_));
  }

  std::vector<std::string> bases_;
  std::int32_t timeout_;
  std::optional<std::chrono::steady_clock::time_point> give_up_;
  std::unique_ptr<HttpsClient> client_;
  std::string extra_ca_file_;
  std::map<std::string, Known> known_;
  std::size_t base_ = 0;
  bool settled_ = false;  // a base has answered: it serves the whole run
  bool unreachable_ = false;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<Transport> open_https_transport(const char* base_urls, std::int32_t timeout_seconds,
                                                const char* extra_ca_file) {
  std::vector<std::string> bases;
  const std::string_view list(base_urls != nullptr ? base_urls : "");
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(';', start);
    if (end == std::string_view::npos) end = list.size();
    const std::string_view base = list.substr(start, end - start);
    if (!base.empty()) {
      if (!http::valid_base_url(base, kAllowLoopbackHttp)) return nullptr;
      bases.emplace_back(base);
    }
    start = end + 1;
  }
  if (bases.empty()) return nullptr;
  auto client = make_https_client();
  if (client == nullptr) return nullptr;
  return std::make_unique<HttpsTransport>(std::move(bases), timeout_seconds > 0 ? timeout_seconds : FTP_TIMEOUT_SECONDS,
                                          std::move(client), extra_ca_file != nullptr ? extra_ca_file : "");
}

}  // namespace brindax
