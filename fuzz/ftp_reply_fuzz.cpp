// FTP reply reading: whatever the server sends, a reply is read within the
// bytes given, a complete reply does not depend on what follows it, and a 227
// reply's address reads back the same from its canonical form.
//
// Input: the first byte picks the accepted codes, the rest are the bytes
// received on the control connection.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "net/ftp_reply.h"

using namespace brindax::ftp_reply;

namespace {

constexpr std::string_view kAccepted[] = {"", "220", "125;150", "230;331", "227", "226;250"};

bool same(const Reply& a, const Reply& b) {
  return a.complete == b.complete && a.consumed == b.consumed && a.code == b.code &&
         a.accepted == b.accepted && a.matching == b.matching && a.lines == b.lines;
}

void check_passive(std::string_view line) {
  PassiveAddress address{};
  if (!parse_passive_reply(line, &address)) return;
  char canonical[64];
  std::snprintf(canonical, sizeof canonical, "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u)",
                address.host[0], address.host[1], address.host[2], address.host[3],
                address.port >> 8, address.port & 255);
  PassiveAddress again{};
  FUZZ_CHECK(parse_passive_reply(canonical, &again));
  for (int i = 0; i < 4; ++i) FUZZ_CHECK(again.host[i] == address.host[i]);
  FUZZ_CHECK(again.port == address.port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view accepted = kAccepted[data[0] % std::size(kAccepted)];
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string_view view(bytes);

  const Reply reply = read_reply(view, accepted);
  FUZZ_CHECK(reply.consumed <= view.size());
  if (!reply.matching.empty()) {
    FUZZ_CHECK(reply.matching.data() >= view.data() &&
               reply.matching.data() + reply.matching.size() <= view.data() + view.size());
    FUZZ_CHECK(code_accepted(accepted, reply.matching));
  }
  if (reply.complete) {
    FUZZ_CHECK(reply.consumed > 0 && view[reply.consumed - 1] == '\n');
    // The reply ends where its last line does: only its own bytes decide it.
    FUZZ_CHECK(same(read_reply(view.substr(0, reply.consumed), accepted), reply));
  } else {
    FUZZ_CHECK(reply.consumed == 0);
  }

  // Every line, as the client would meet it in a 227 reply.
  std::string_view rest = view;
  for (LineCut cut = cut_line(rest); cut.complete; cut = cut_line(rest)) {
    FUZZ_CHECK(cut.consumed > 0 && cut.consumed <= rest.size());
    check_passive(cut.line);
    rest.remove_prefix(cut.consumed);
  }
  check_passive(rest);
  return 0;
}
