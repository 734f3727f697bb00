// The record of the installed release: any bytes read as a value or as
// unreadable, never as absent, and a value is one the writer would write
// (up to CRs before the line ends and leading zeros).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "updater/release_record.h"

using namespace brindax;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const ReleaseRecord record = parse_release_record(bytes);
  FUZZ_CHECK(record.state != ReleaseRecord::State::absent);
  if (record.state != ReleaseRecord::State::value) return 0;
  // Without the CRs and the leading zeros, the bytes are what the writer
  // writes for that sequence, which reads back as the same value.
  std::string plain;
  for (const char c : bytes) {
    if (c != '\r') plain += c;
  }
  const std::size_t number = plain.find('\n') + 1;
  while (plain.size() > number + 2 && plain[number] == '0') plain.erase(number, 1);
  const std::string written = format_release_record(record.sequence);
  FUZZ_CHECK(plain == written);
  const ReleaseRecord again = parse_release_record(written);
  FUZZ_CHECK(again.state == ReleaseRecord::State::value && again.sequence == record.sequence);
  return 0;
}
