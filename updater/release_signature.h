// Publisher signatures of releases, in minisign's format (Ed25519).
//
// The public key is the one-line base64 text that `minisign -G` prints:
// "Ed", the 8-byte key id and the 32-byte key. A signature file
// ("<file>.minisig") has four lines:
//   1. "untrusted comment: " and any text (not covered by a signature);
//   2. base64 of the algorithm ("ED": the signature is over the file's
//      BLAKE2b-512 hash; the legacy "Ed", over the file itself, is parsed
//      but never accepted), the key id and the 64-byte signature;
//   3. "trusted comment: " and its text;
//   4. base64 of the 64-byte global signature over the signature bytes
//      followed by the trusted comment's text.
// A signature holds when it is prehashed ("ED"), the key id is the key's,
// the signature verifies and the global signature verifies. A legacy
// signature is refused: its algorithm bytes are covered by neither
// signature, so "ED" turned into "Ed" would make the 64 bytes of a hash pass
// for the signed file.
//
// Nothing here depends on the updater's settings or its runtime, so that
// every tool that checks or makes releases can use it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindax {

struct ReleaseKey {
  std::array<std::uint8_t, 8> key_id{};
  std::array<std::uint8_t, 32> public_key{};
};

struct ReleaseSignature {
  bool prehashed = false;  // "ED": signed over the BLAKE2b-512 hash of the file
  std::array<std::uint8_t, 8> key_id{};
  std::array<std::uint8_t, 64> signature{};
  std::string trusted_comment;  // without the "trusted comment: " prefix
  std::array<std::uint8_t, 64> global_signature{};
};

enum class SignatureCheck {
  ok,
  missing,          // no signature file
  malformed,        // the signature file is not in minisign's format
  other_key,        // made with another key (the key ids differ)
  does_not_verify,  // the file, or the trusted comment, is not what was signed
  unreadable,       // the signed file cannot be read
  legacy,           // a legacy ("Ed") signature, which is never accepted
  not_release_key,  // made with a key that the newest keys file does not name
};

// A short English reason, e.g. "the signature does not match".
const char* describe(SignatureCheck result);

// Largest signature file read (minisign's comments are short).
inline constexpr std::size_t SIGNATURE_FILE_LIMIT = 8192;

// Parses the public key line; surrounding blanks and line ends are ignored.
bool parse_release_key(std::string_view base64_line, ReleaseKey* key);

// Parses the text of a signature file (LF or CR LF line ends).
bool parse_release_signature(std::string_view text, ReleaseSignature* signature);

// BLAKE2b-512, fed in pieces: the hash that "ED" signatures sign.
class ReleaseHash {
 public:
  ReleaseHash();
  void update(const void* data, std::size_t size);
  std::array<std::uint8_t, 64> finish();

 private:
  alignas(64) unsigned char state_[384];
};

// Reads and parses a signature file: ok, missing or malformed.
SignatureCheck read_signature_file(const char* signature_path, ReleaseSignature* signature);

// Checks a parsed signature against the key. `signed_bytes` is the file's
// 64-byte BLAKE2b-512 hash.
SignatureCheck check_release_signature(const ReleaseSignature& signature, const ReleaseKey& key,
                                       std::string_view signed_bytes);

// The whole check over bytes: signature file text and file content.
SignatureCheck verify_release_signature(std::string_view signature_text, const ReleaseKey& key,
                                        std::string_view content);

// The whole check of a signature file against the BLAKE2b-512 `digest` of
// content hashed as it arrived.
SignatureCheck verify_digest_signature(const char* signature_path, const ReleaseKey& key,
                                       const std::array<std::uint8_t, 64>& digest);

// The same for files on disk, in one streaming pass over the file, so memory
// use does not grow with its size.
SignatureCheck verify_file_signature(const char* file_path, const char* signature_path,
                                     const ReleaseKey& key);

}  // namespace brindax
