#include "updater/keys_file.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace brindax {
namespace {

constexpr std::string_view kHeading = "Brindax keys file\n";
constexpr std::string_view kVersion = "version: ";
constexpr std::string_view kExpires = "expires: ";
constexpr std::string_view kThreshold = "threshold: ";
constexpr std::string_view kRoot = "root: ";
constexpr std::string_view kRelease = "release: ";

// The next line of `rest`, without its LF; false when no LF ends it.
bool take_line(std::string_view& rest, std::string_view* line) {
  const std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) return false;
  *line = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return true;
}

bool take_field(std::string_view& rest, std::string_view name, std::string_view* value) {
  std::string_view line;
  std::string_view peek = rest;
  if (!take_line(peek, &line) || line.substr(0, name.size()) != name) return false;
  *value = line.substr(name.size());
  rest = peek;
  return true;
}

// Decimal digits alone, at most `limit`; the canonical form is checked by
// formatting the body again.
bool decimal(std::string_view text, std::uint64_t limit, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (result > (limit - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool has_duplicate(const std::vector<ReleaseKey>& keys) {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    for (std::size_t j = i + 1; j < keys.size(); ++j) {
      // Two entries of one key id could count one signer twice.
      if (keys[i].key_id == keys[j].key_id) return true;
    }
  }
  return false;
}

// Key lines named `name`, as many as follow.
bool take_keys(std::string_view& rest, std::string_view name, std::vector<ReleaseKey>* keys) {
  std::string_view value;
  while (take_field(rest, name, &value)) {
    ReleaseKey key;
    if (keys->size() == KEYS_FILE_MAX_KEYS || !parse_release_key(value, &key)) return false;
    keys->push_back(key);
  }
  return !keys->empty() && !has_duplicate(*keys);
}

}  // namespace

std::string keys_file_name(std::string_view list_name, std::uint64_t version) {
  std::string name(list_name);
  name += ".keys";
  if (version > 0) name += "." + std::to_string(version);
  return name;
}

std::string format_public_key(const ReleaseKey& key) {
  unsigned char raw[2 + 8 + 32] = {'E', 'd'};
  std::memcpy(raw + 2, key.key_id.data(), key.key_id.size());
  std::memcpy(raw + 10, key.public_key.data(), key.public_key.size());
  char text[sodium_base64_ENCODED_LEN(sizeof raw, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(text, sizeof text, raw, sizeof raw, sodium_base64_VARIANT_ORIGINAL);
  return text;
}

std::string format_keys_body(std::uint64_t version, std::int64_t expires, std::uint32_t threshold,
                             const std::vector<ReleaseKey>& roots,
                             const std::vector<ReleaseKey>& release_keys) {
  std::string text(kHeading);
  text.append(kVersion).append(std::to_string(version)).append("\n");
  text.append(kExpires).append(std::to_string(expires)).append("\n");
  text.append(kThreshold).append(std::to_string(threshold)).append("\n");
  for (const ReleaseKey& key : roots) text.append(kRoot).append(format_public_key(key)).append("\n");
  for (const ReleaseKey& key : release_keys) {
    text.append(kRelease).append(format_public_key(key)).append("\n");
  }
  return text;
}

std::optional<KeysFile> parse_keys_file(std::string_view bytes) {
  if (bytes.size() > KEYS_FILE_LIMIT || bytes.find('\r') != std::string_view::npos ||
      bytes.find('\0') != std::string_view::npos || bytes.substr(0, kHeading.size()) != kHeading) {
    return std::nullopt;
  }
  KeysFile file;
  std::string_view rest = bytes.substr(kHeading.size());
  std::string_view value;
  std::uint64_t number = 0;
  if (!take_field(rest, kVersion, &value) || !decimal(value, UINT64_MAX, &file.version) ||
      file.version == 0) {
    return std::nullopt;
  }
  if (!take_field(rest, kExpires, &value) ||
      !decimal(value, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()), &number)) {
    return std::nullopt;
  }
  file.expires = static_cast<std::int64_t>(number);
  if (!take_field(rest, kThreshold, &value) || !decimal(value, KEYS_FILE_MAX_KEYS, &number) ||
      number == 0) {
    return std::nullopt;
  }
  file.threshold = static_cast<std::uint32_t>(number);
  if (!take_keys(rest, kRoot, &file.roots) || file.threshold > file.roots.size() ||
      !take_keys(rest, kRelease, &file.release_keys)) {
    return std::nullopt;
  }
  file.body.assign(bytes.substr(0, bytes.size() - rest.size()));
  // One form only: numbers without leading zeros or blanks.
  if (file.body != format_keys_body(file.version, file.expires, file.threshold, file.roots,
                                    file.release_keys) ||
      rest.substr(0, KEYS_SIGNATURES_LINE.size()) != KEYS_SIGNATURES_LINE) {
    return std::nullopt;
  }
  rest.remove_prefix(KEYS_SIGNATURES_LINE.size());
  while (!rest.empty()) {
    // Four lines each, every one ended by LF.
    std::size_t length = 0;
    for (int line = 0; line < 4; ++line) {
      const std::size_t end = rest.find('\n', length);
      if (end == std::string_view::npos) return std::nullopt;
      length = end + 1;
    }
    ReleaseSignature signature;
    if (file.signatures.size() == KEYS_FILE_MAX_SIGNATURES ||
        !parse_release_signature(rest.substr(0, length), &signature)) {
      return std::nullopt;
    }
    file.signatures.push_back(std::move(signature));
    rest.remove_prefix(length);
  }
  if (file.signatures.empty()) return std::nullopt;
  return file;
}

std::size_t count_signers(const KeysFile& file, const std::vector<ReleaseKey>& keys) {
  ReleaseHash hash;
  hash.update(file.body.data(), file.body.size());
  const auto digest = hash.finish();
  const std::string_view signed_bytes(reinterpret_cast<const char*>(digest.data()), digest.size());
  std::size_t signers = 0;
  for (const ReleaseKey& key : keys) {
    // Each key counts once, however many of its signatures are there.
    const bool signed_by_key = std::any_of(
        file.signatures.begin(), file.signatures.end(), [&](const ReleaseSignature& signature) {
          return check_release_signature(signature, key, signed_bytes) == SignatureCheck::ok;
        });
    if (signed_by_key) ++signers;
  }
  return signers;
}

TrustedRoots roots_of(const KeysFile& file) { return {file.version, file.threshold, file.roots}; }

KeysProblem check_keys_step(const TrustedRoots& trusted, const KeysFile& candidate) {
  if (candidate.version < trusted.version) return KeysProblem::older;
  const bool next = candidate.version - trusted.version == 1;
  const bool same = candidate.version == trusted.version && trusted.version > 0;
  if (!next && !same) return KeysProblem::misnamed;
  if (trusted.threshold == 0 || count_signers(candidate, trusted.roots) < trusted.threshold) {
    return KeysProblem::too_few_trusted;
  }
  if (count_signers(candidate, candidate.roots) < candidate.threshold) return KeysProblem::too_few_own;
  return KeysProblem::none;
}

KeysChain walk_keys_chain(const TrustedRoots& trusted, const std::optional<std::string>& current,
                          const FetchKeysVersion& fetch, std::int64_t now) {
  KeysChain chain;
  const auto fail = [&chain](KeysProblem problem, std::uint64_t version) {
    chain.problem = problem;
    chain.at_version = version;
    chain.newest.reset();
    return chain;
  };
  if (!current) return fail(KeysProblem::missing, 0);
  std::optional<KeysFile> newest = parse_keys_file(*current);
  if (!newest) return fail(KeysProblem::malformed, 0);
  if (newest->version < trusted.version) return fail(KeysProblem::older, newest->version);

  TrustedRoots roots = trusted;
  for (std::uint64_t version = trusted.version + 1; version < newest->version; ++version) {
    const std::optional<std::string> bytes = fetch(version);
    if (!bytes) return fail(KeysProblem::missing, version);
    const std::optional<KeysFile> step = parse_keys_file(*bytes);
    if (!step) return fail(KeysProblem::malformed, version);
    if (step->version != version) return fail(KeysProblem::misnamed, version);
    const KeysProblem problem = check_keys_step(roots, *step);
    if (problem != KeysProblem::none) return fail(problem, version);
    roots = roots_of(*step);
  }
  const KeysProblem problem = check_keys_step(roots, *newest);
  if (problem != KeysProblem::none) return fail(problem, newest->version);
  if (newest->expires < now) return fail(KeysProblem::expired, newest->version);
  chain.newest = std::move(newest);
  return chain;
}

std::string describe(const KeysChain& chain, std::uint64_t trusted_version) {
  const std::string version = "version " + std::to_string(chain.at_version);
  switch (chain.problem) {
    case KeysProblem::none: return "the keys file holds";
    case KeysProblem::missing:
      return chain.at_version == 0 ? "there is no keys file" : version + " is missing";
    case KeysProblem::malformed:
      return chain.at_version == 0 ? "the keys file is malformed" : version + " is malformed";
    case KeysProblem::misnamed: return version + " is not the version it is named";
    case KeysProblem::older:
      return version + " is older than the trusted version " + std::to_string(trusted_version);
    case KeysProblem::too_few_trusted:
      return version + " is not signed by enough of the root keys trusted before it";
    case KeysProblem::too_few_own: return version + " is not signed by enough of its own root keys";
    case KeysProblem::expired: return version + " has expired";
  }
  return "the keys file cannot be checked";
}

const ReleaseKey* release_key_for(const KeysFile& file, const ReleaseSignature& signature) {
  for (const ReleaseKey& key : file.release_keys) {
    if (key.key_id == signature.key_id) return &key;
  }
  return nullptr;
}

}  // namespace brindax
