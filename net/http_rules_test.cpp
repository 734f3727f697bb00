// The HTTPS rules over plain strings: file URLs, response heads, statuses,
// Content-Range, codings and redirects.
#include "net/http_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace brindax::http {
namespace {

TEST(HttpRules, FileUrlEncodesEachSegment) {
  struct Case {
    const char* remote;
    const char* url;  // "" refused
  };
  const Case cases[] = {
      {"Brindax.ver", "https://h/source/Kelmor/Brindax.ver"},
      {"sub dir/Brindax 2.zip", "https://h/source/Kelmor/sub%20dir/Brindax%202.zip"},
      {"a%2Fb?c#d&e+f", "https://h/source/Kelmor/a%252Fb%3Fc%23d%26e%2Bf"},
      {"caf\xe9.zip", "https://h/source/Kelmor/caf%E9.zip"},
      {"back\\slash", "https://h/source/Kelmor/back%5Cslash"},
      {"-._~Az09", "https://h/source/Kelmor/-._~Az09"},
      {"", ""},
      {"/abs", ""},
      {"dir/", ""},
      {"a//b", ""},
      {"../up", ""},
      {"a/./b", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(file_url("https://h/source/Kelmor/", c.remote), c.url) << c.remote;
  }
}

TEST(HttpRules, BaseUrls) {
  struct Case {
    const char* base;
    bool allow_loopback_http;
    bool valid;
  };
  const Case cases[] = {
      {"https://updates.example/source/Kelmor/", false, true},
      {"https://updates.example:8443/", false, true},
      {"https://updates.example/source/Kelmor", false, false},  // not a folder
      {"http://updates.example/", false, false},
      {"http://updates.example/", true, false},  // plain http: loopback only
      {"http://127.0.0.1:47300/kelmor/", true, true},
      {"http://127.0.0.1:47300/kelmor/", false, false},
      {"ftp://updates.example/", true, false},
      {"https://user:pw@updates.example/", false, false},
      {"https://updates.example:0/", false, false},
      {"https://updates.example:99999/", false, false},
      {"https://up dates.example/", false, false},
      {"https:///path/", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(valid_base_url(c.base, c.allow_loopback_http), c.valid) << c.base;
  }
}

TEST(HttpRules, StatusLinesAndTheirUse) {
  EXPECT_EQ(status_of("HTTP/1.1 206 Partial Content"), 206);
  EXPECT_EQ(status_of("HTTP/2 200"), 200);
  EXPECT_EQ(status_of("HTTP/1.1 2000 OK"), 0);
  EXPECT_EQ(status_of("ICY 200 OK"), 0);
  EXPECT_EQ(status_of("HTTP/1.1 20x"), 0);
  struct Case {
    std::int32_t status;
    bool ranged;
    StatusUse use;
  };
  const Case cases[] = {
      {200, false, StatusUse::whole},   {200, true, StatusUse::whole},
      {206, true, StatusUse::range},    {206, false, StatusUse::refused},
      {301, false, StatusUse::redirect}, {308, true, StatusUse::redirect},
      {304, true, StatusUse::refused},  {404, false, StatusUse::refused},
      {416, true, StatusUse::refused},  {204, false, StatusUse::refused},
  };
  for (const Case& c : cases) EXPECT_EQ(status_use(c.status, c.ranged), c.use) << c.status;
}

TEST(HttpRules, ContentRange) {
  struct Case {
    const char* value;
    bool parsed;
    std::uint64_t first, last;
    std::int64_t total;
  };
  const Case cases[] = {
      {"bytes 0-0/100", true, 0, 0, 100},
      {"bytes 10-19/*", true, 10, 19, -1},
      {"BYTES 5-9/10", true, 5, 9, 10},
      {"bytes 5-10/10", false, 0, 0, 0},   // past the end
      {"bytes 9-5/10", false, 0, 0, 0},
      {"bytes */10", false, 0, 0, 0},
      {"bytes -1-5/10", false, 0, 0, 0},
      {"bytes 0-5", false, 0, 0, 0},
      {"items 0-5/10", false, 0, 0, 0},
      {"bytes 0-99999999999999999999/1", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const auto range = parse_content_range(c.value);
    ASSERT_EQ(range.has_value(), c.parsed) << c.value;
    if (!range) continue;
    EXPECT_EQ(range->first, c.first) << c.value;
    EXPECT_EQ(range->last, c.last) << c.value;
    EXPECT_EQ(range->total, c.total) << c.value;
  }
  EXPECT_TRUE(range_answers({10, 19, 100}, 10, 19, 100));
  EXPECT_TRUE(range_answers({10, 19, -1}, 10, 19, 100));
  EXPECT_FALSE(range_answers({10, 19, 101}, 10, 19, 100));  // the file changed size
  EXPECT_FALSE(range_answers({10, 18, 100}, 10, 19, -1));
  EXPECT_FALSE(range_answers({0, 19, 100}, 10, 19, -1));
}

TEST(HttpRules, ResponseHeads) {
  struct Case {
    std::vector<std::string> lines;
    bool accepted;
  };
  const Case cases[] = {
      {{"HTTP/1.1 200 OK", "Content-Length: 5", "content-length: 5", ""}, true},
      {{"HTTP/1.1 200 OK", "Content-Length: 5", "Content-Length: 6"}, false},
      {{"HTTP/1.1 200 OK", "Content-Length: -5"}, false},
      {{"HTTP/1.1 200 OK", "Content-Length: 5, 5"}, false},
      {{"Content-Length: 5"}, false},  // no status line
      {{"HTTP/1.1 200 OK", "no colon"}, false},
      {{"HTTP/1.1 200 OK", " folded"}, false},
      {{"HTTP/1.1 200 OK", "Bad Name: x"}, false},
      {{"HTTP/1.1 200 OK", "", "Late: x"}, false},
      {{"HTTP/1.1 100 Continue", "", "HTTP/1.1 206 Partial", "Content-Range: bytes 0-0/9", ""}, true},
      {{"HTTP/1.1 200 OK", std::string(MAX_HEADER_BYTES, 'x')}, false},
  };
  for (const Case& c : cases) {
    ResponseHead head;
    bool accepted = true;
    for (const std::string& line : c.lines) accepted = accepted && add_header_line(head, line);
    EXPECT_EQ(accepted, c.accepted) << c.lines[1 % c.lines.size()];
    EXPECT_EQ(head.malformed, !c.accepted);
  }
  ResponseHead head;
  for (const char* line : {"HTTP/1.1 103 Early", "ETag: \"early\"", "", "HTTP/1.1 206 Partial Content",
                           "ETag:  \"abc\" ", "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT",
                           "Content-Range: bytes 0-0/9", "Location: /x", "Content-Encoding: gzip",
                           "Content-Encoding: identity", ""}) {
    ASSERT_TRUE(add_header_line(head, line)) << line;
  }
  EXPECT_TRUE(head.complete);
  EXPECT_EQ(head.status, 206);
  EXPECT_EQ(head.etag, "\"abc\"");
  EXPECT_EQ(head.content_range, "bytes 0-0/9");
  EXPECT_EQ(head.location, "/x");
  EXPECT_FALSE(identity_encoding(head.content_encoding));  // gzip, identity
  EXPECT_TRUE(identity_encoding(""));
  EXPECT_TRUE(identity_encoding(" Identity "));
  EXPECT_FALSE(identity_encoding("br"));
}

TEST(HttpRules, OnlyFramedBodiesAreKept) {
  struct Case {
    std::vector<std::string> fields;
    bool framed;
  };
  const Case cases[] = {
      {{"Content-Length: 0"}, true},
      {{"Transfer-Encoding: chunked"}, true},
      {{"Transfer-Encoding:  Chunked "}, true},
      {{}, false},  // ends where the connection closes
      {{"Content-Type: text/plain"}, false},
      {{"Transfer-Encoding: gzip, chunked"}, false},
      {{"Transfer-Encoding: gzip", "Transfer-Encoding: chunked"}, false},
      {{"Transfer-Encoding: identity", "Content-Length: 9"}, false},
  };
  for (const Case& c : cases) {
    ResponseHead head;
    ASSERT_TRUE(add_header_line(head, "HTTP/1.1 200 OK"));
    for (const std::string& field : c.fields) ASSERT_TRUE(add_header_line(head, field)) << field;
    ASSERT_TRUE(add_header_line(head, ""));
    EXPECT_EQ(body_framed(head), c.framed) << (c.fields.empty() ? "no fields" : c.fields.back());
  }
}

TEST(HttpRules, Redirects) {
  struct Case {
    const char* from;
    const char* location;
    bool allow_loopback_http;
    const char* to;  // "" refused
  };
  const Case cases[] = {
      {"https://a/r/x.zip", "https://b/y.zip", false, "https://b/y.zip"},
      {"https://a/r/x.zip", "//b:8443/y.zip", false, "https://b:8443/y.zip"},
      {"https://a:8443/r/x.zip", "/y.zip", false, "https://a:8443/y.zip"},
      {"https://a/r/x.zip?q", "y.zip", false, "https://a/r/y.zip"},
      {"https://a/r/x.zip", "http://b/y.zip", false, ""},
      {"https://127.0.0.1/r/x", "http://127.0.0.1/y", true, ""},  // never https -> http
      {"http://127.0.0.1/r/x", "http://127.0.0.1/y", true, "http://127.0.0.1/y"},
      {"http://127.0.0.1/r/x", "/y", true, "http://127.0.0.1/y"},
      {"http://127.0.0.1/r/x", "/y", false, ""},
      {"http://127.0.0.1/r/x", "http://b/y", true, ""},
      {"http://127.0.0.1/r/x", "https://b/y", true, "https://b/y"},
      {"https://a/r/x", "ftp://a/y", false, ""},
      {"https://a/r/x", "", false, ""},
  };
  for (const Case& c : cases) {
    const auto to = redirect_target(c.from, c.location, c.allow_loopback_http);
    EXPECT_EQ(to.value_or(""), c.to) << c.from << " -> " << c.location;
  }
}

TEST(HttpRules, IdentityAndValidator) {
  EXPECT_EQ(file_identity("\"e\"", "date"), "\"e\"");
  EXPECT_EQ(file_identity("", "date"), "date");
  EXPECT_EQ(if_range_validator("\"e\"", "date"), "\"e\"");
  EXPECT_EQ(if_range_validator("W/\"e\"", "date"), "date");  // a weak ETag cannot serve
  EXPECT_EQ(if_range_validator("W/\"e\"", ""), "");
}

}  // namespace
}  // namespace brindax::http
