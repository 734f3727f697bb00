#include "updater/release_binding.h"

#include <limits>

namespace brindax {
namespace {

constexpr std::string_view kSequenceField = "brindax-release:";
constexpr std::string_view kSizeField = " size:";
constexpr std::string_view kDigestField = " blake2b512:";
constexpr std::string_view kExpiresField = " expires:";
constexpr std::string_view kManifestField = "brindax-manifest:";
constexpr std::string_view kListDigestField = " list-blake2b512:";
constexpr char kHexDigits[] = "0123456789abcdef";

bool take_prefix(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// A decimal number as format_release_binding writes it: one or more digits,
// no leading zero (but "0" itself), no larger than `limit`; stops at the
// first character that is not a digit.
bool take_number(std::string_view& text, std::uint64_t limit, std::uint64_t* value) {
  if (text.size() > 1 && text[0] == '0' && text[1] >= '0' && text[1] <= '9') return false;
  std::size_t digits = 0;
  std::uint64_t result = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
    if (result > (limit - digit) / 10) return false;
    result = result * 10 + digit;
    ++digits;
  }
  if (digits == 0) return false;
  text.remove_prefix(digits);
  *value = result;
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void put_hex(std::string& text, const std::array<std::uint8_t, 64>& digest) {
  for (const std::uint8_t byte : digest) {
    text += kHexDigits[byte >> 4];
    text += kHexDigits[byte & 0xF];
  }
}

// Exactly 128 lowercase hex digits.
bool take_digest(std::string_view& text, std::array<std::uint8_t, 64>* digest) {
  if (text.size() < 2 * digest->size()) return false;
  for (std::uint8_t& byte : *digest) {
    const int high = hex_value(text[0]), low = hex_value(text[1]);
    if (high < 0 || low < 0) return false;
    byte = static_cast<std::uint8_t>(high << 4 | low);
    text.remove_prefix(2);
  }
  return true;
}

}  // namespace

std::string format_release_binding(const ReleaseBinding& binding) {
  std::string text(kSequenceField);
  text += std::to_string(binding.sequence);
  text += kSizeField;
  text += std::to_string(binding.package_size);
  text += kDigestField;
  put_hex(text, binding.package_digest);
  if (binding.expires) {
    text += kExpiresField;
    text += std::to_string(*binding.expires);
  }
  return text;
}

std::optional<ReleaseBinding> parse_release_binding(std::string_view text) {
  constexpr auto kAny = std::numeric_limits<std::uint64_t>::max();
  ReleaseBinding binding;
  if (!take_prefix(text, kSequenceField) || !take_number(text, kAny, &binding.sequence) ||
      binding.sequence == 0) {
    return std::nullopt;
  }
  if (!take_prefix(text, kSizeField) || !take_number(text, kAny, &binding.package_size)) {
    return std::nullopt;
  }
  if (!take_prefix(text, kDigestField) || !take_digest(text, &binding.package_digest)) {
    return std::nullopt;
  }
  if (text.empty()) return binding;
  std::uint64_t expires = 0;
  if (!take_prefix(text, kExpiresField) ||
      !take_number(text, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()),
                   &expires) ||
      !text.empty()) {
    return std::nullopt;
  }
  binding.expires = static_cast<std::int64_t>(expires);
  return binding;
}

std::string format_manifest_binding(const ManifestBinding& binding) {
  std::string text(kManifestField);
  text += std::to_string(binding.sequence);
  text += kListDigestField;
  put_hex(text, binding.list_digest);
  return text;
}

std::optional<ManifestBinding> parse_manifest_binding(std::string_view text) {
  ManifestBinding binding;
  if (!take_prefix(text, kManifestField) ||
      !take_number(text, std::numeric_limits<std::uint64_t>::max(), &binding.sequence) ||
      binding.sequence == 0 || !take_prefix(text, kListDigestField) ||
      !take_digest(text, &binding.list_digest) || !text.empty()) {
    return std::nullopt;
  }
  return binding;
}

}  // namespace brindax
