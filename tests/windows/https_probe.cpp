// Test probe of the platform's HTTPS client (net/https_client.h): one
// request, then what the handler was given, for the Wine process tests.
//
//   brindax-https-probe <url> [--range FIRST LAST] [--if-range V] [--timeout S]
//                       [--plain]
//
// Prints "header <line>" per header line, "body <bytes> <text>" with the
// body's size and its first 64 bytes (the blank stays when there are
// none), and "outcome <name>" last. --plain
// allows http:// URLs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/https_client.h"

namespace {

class Printer final : public brindax::HttpsResponseHandler {
 public:
  bool header_line(const char* line, std::int32_t size) override {
    std::printf("header %.*s\n", static_cast<int>(size), line);
    return true;
  }
  bool body(const char* data, std::int32_t size) override {
    if (text_.size() < 64) text_.append(data, static_cast<std::size_t>(size) < 64 ? size : 64);
    bytes_ += size;
    return true;
  }
  void finish() const {
    std::printf("body %lld %s\n", bytes_, text_.substr(0, 64).c_str());
  }

 private:
  long long bytes_ = 0;
  std::string text_;
};

const char* name(brindax::HttpsOutcome outcome) {
  switch (outcome) {
    case brindax::HttpsOutcome::complete: return "complete";
    case brindax::HttpsOutcome::unreachable: return "unreachable";
    case brindax::HttpsOutcome::failed: return "failed";
    case brindax::HttpsOutcome::stopped: return "stopped";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: brindax-https-probe <url> [options]\n");
    return 2;
  }
  brindax::HttpsRequest request;
  request.url = argv[1];
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--range") == 0 && i + 2 < argc) {
      request.ranged = true;
      request.first = std::strtoull(argv[++i], nullptr, 10);
      request.last = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--if-range") == 0 && i + 1 < argc) {
      request.if_range = argv[++i];
    } else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      request.timeout_seconds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--plain") == 0) {
      request.allow_plain_http = true;
    } else {
      std::fprintf(stderr, "brindax-https-probe: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  auto client = brindax::make_https_client();
  if (client == nullptr) {
    std::printf("outcome no-client\n");
    return 1;
  }
  Printer printer;
  const brindax::HttpsOutcome outcome = client->perform(request, printer);
  printer.finish();
  std::printf("outcome %s\n", name(outcome));
  std::fflush(stdout);
  return 0;
}
