#include "updater/release_signature.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace brindax {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::size_t kKeyBytes = 2 + 8 + crypto_sign_PUBLICKEYBYTES;
constexpr std::size_t kSignatureBytes = 2 + 8 + crypto_sign_BYTES;

// libsodium's own start-up; harmless when repeated.
bool sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

// Decodes base64 (with padding, no blanks) of exactly `size` bytes.
bool decode_exact(std::string_view text, std::uint8_t* out, std::size_t size) {
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  return length == size && end == text.data() + text.size();
}

std::string_view trim(std::string_view text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The next line of `rest` without its LF and a CR before it.
std::string_view take_line(std::string_view& rest) {
  std::size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reads a whole file of at most `limit` bytes. missing / malformed (larger)
// / unreadable on failure, ok otherwise.
SignatureCheck read_small_file(const char* path, std::size_t limit, std::string* out,
                               SignatureCheck when_missing) {
  File file(std::fopen(path, "rb"));
  if (!file) return when_missing;
  out->clear();
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (out->size() + got > limit) return SignatureCheck::malformed;
    out->append(buffer, got);
  }
  return std::ferror(file.get()) ? SignatureCheck::unreadable : SignatureCheck::ok;
}

}  // namespace

const char* describe(SignatureCheck result) {
  switch (result) {
    case SignatureCheck::ok: return "the signature holds";
    case SignatureCheck::missing: return "there is no signature";
    case SignatureCheck::malformed: return "the signature is malformed";
    case SignatureCheck::other_key: return "it is signed with another key";
    case SignatureCheck::does_not_verify: return "the signature does not match";
    case SignatureCheck::unreadable: return "the file cannot be read";
    case SignatureCheck::legacy: return "the signature is of the legacy kind, which is not accepted";
    case SignatureCheck::not_release_key: return "it is signed with a key that is not a current release key";
  }
  return "the signature cannot be checked";
}

bool parse_release_key(std::string_view base64_line, ReleaseKey* key) {
  std::uint8_t raw[kKeyBytes];
  if (!sodium_ready() || !decode_exact(trim(base64_line), raw, sizeof raw)) return false;
  if (raw[0] != 'E' || raw[1] != 'd') return false;
  std::memcpy(key->key_id.data(), raw + 2, key->key_id.size());
  std::memcpy(key->public_key.data(), raw + 10, key->public_key.size());
  return true;
}

bool parse_release_signature(std::string_view text, ReleaseSignature* signature) {
  if (!sodium_ready() || text.size() > SIGNATURE_FILE_LIMIT) return false;
  std::string_view rest = text;
  std::string_view untrusted = take_line(rest);
  std::string_view encoded = take_line(rest);
  std::string_view trusted = take_line(rest);
  std::string_view global = take_line(rest);
  if (!trim(rest).empty()) return false;  // nothing but line ends may follow
  if (untrusted.substr(0, kUntrustedPrefix.size()) != kUntrustedPrefix) return false;
  if (trusted.substr(0, kTrustedPrefix.size()) != kTrustedPrefix) return false;

  std::uint8_t raw[kSignatureBytes];
  if (!decode_exact(encoded, raw, sizeof raw)) return false;
  if (raw[0] != 'E' || (raw[1] != 'd' && raw[1] != 'D')) return false;
  if (!decode_exact(global, signature->global_signature.data(), signature->global_signature.size())) {
    return false;
  }
  signature->prehashed = raw[1] == 'D';
  std::memcpy(signature->key_id.data(), raw + 2, signature->key_id.size());
  std::memcpy(signature->signature.data(), raw + 10, signature->signature.size());
  signature->trusted_comment.assign(trusted.substr(kTrustedPrefix.size()));
  return true;
}

ReleaseHash::ReleaseHash() {
  static_assert(sizeof state_ >= sizeof(crypto_generichash_state));
  sodium_ready();
  crypto_generichash_init(reinterpret_cast<crypto_generichash_state*>(state_), nullptr, 0,
                          crypto_generichash_BYTES_MAX);
}

void ReleaseHash::update(const void* data, std::size_t size) {
  crypto_generichash_update(reinterpret_cast<crypto_generichash_state*>(state_),
                            static_cast<const unsigned char*>(data), size);
}

std::array<std::uint8_t, 64> ReleaseHash::finish() {
  static_assert(crypto_generichash_BYTES_MAX == 64);
  std::array<std::uint8_t, 64> digest{};
  crypto_generichash_final(reinterpret_cast<crypto_generichash_state*>(state_), digest.data(),
                           digest.size());
  return digest;
}

SignatureCheck check_release_signature(const ReleaseSignature& signature, const ReleaseKey& key,
                                       std::string_view signed_bytes) {
  if (!sodium_ready()) return SignatureCheck::does_not_verify;
  if (!signature.prehashed) return SignatureCheck::legacy;
  if (signature.key_id != key.key_id) return SignatureCheck::other_key;
  // The global signature covers the signature and the trusted comment.
  std::vector<unsigned char> global(signature.signature.begin(), signature.signature.end());
  global.insert(global.end(), signature.trusted_comment.begin(), signature.trusted_comment.end());
  if (crypto_sign_verify_detached(signature.global_signature.data(), global.data(), global.size(),
                                  key.public_key.data()) != 0 ||
      crypto_sign_verify_detached(signature.signature.data(),
                                  reinterpret_cast<const unsigned char*>(signed_bytes.data()),
                                  signed_bytes.size(), key.public_key.data()) != 0) {
    return SignatureCheck::does_not_verify;
  }
  return SignatureCheck::ok;
}

SignatureCheck verify_release_signature(std::string_view signature_text, const ReleaseKey& key,
                                        std::string_view content) {
  ReleaseSignature signature;
  if (!parse_release_signature(signature_text, &signature)) return SignatureCheck::malformed;
  if (!signature.prehashed) return SignatureCheck::legacy;
  ReleaseHash hash;
  hash.update(content.data(), content.size());
  const auto digest = hash.finish();
  return check_release_signature(
      signature, key,
      std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

SignatureCheck read_signature_file(const char* signature_path, ReleaseSignature* signature) {
  std::string text;
  const SignatureCheck read = read_small_file(signature_path, SIGNATURE_FILE_LIMIT, &text,
                                              SignatureCheck::missing);
  if (read == SignatureCheck::missing) return read;
  if (read != SignatureCheck::ok || !parse_release_signature(text, signature)) {
    return SignatureCheck::malformed;
  }
  return SignatureCheck::ok;
}

SignatureCheck verify_digest_signature(const char* signature_path, const ReleaseKey& key,
                                       const std::array<std::uint8_t, 64>& digest) {
  ReleaseSignature signature;
  const SignatureCheck read = read_signature_file(signature_path, &signature);
  if (read != SignatureCheck::ok) return read;
  return check_release_signature(
      signature, key, std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

SignatureCheck verify_file_signature(const char* file_path, const char* signature_path,
                                     const ReleaseKey& key) {
  ReleaseSignature signature;
  SignatureCheck read = read_signature_file(signature_path, &signature);
  if (read != SignatureCheck::ok) return read;
  if (!signature.prehashed) return SignatureCheck::legacy;
  if (signature.key_id != key.key_id) return SignatureCheck::other_key;

  File file(std::fopen(file_path, "rb"));
  if (!file) return SignatureCheck::unreadable;
  ReleaseHash hash;
  std::vector<char> buffer(256 * 1024);
  std::size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
    hash.update(buffer.data(), got);
  }
  if (std::ferror(file.get())) return SignatureCheck::unreadable;
  const auto digest = hash.finish();
  return check_release_signature(
      signature, key, std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

}  // namespace brindax
