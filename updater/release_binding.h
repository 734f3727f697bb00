// What binds a release together: the trusted comment of its list's signature.
// The list names the package; the comment, covered by the publisher's global
// signature, names the package's size and BLAKE2b-512 digest, the release's
// sequence number and, when the publisher chose one, the time after which the
// release is no longer to be trusted. One line:
//
//   brindax-release:<sequence> size:<bytes> blake2b512:<128 lowercase hex digits>[ expires:<unix seconds>]
//
// Pure functions over texts; the publisher writes it, the updater reads it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brindax {

struct ReleaseBinding {
  std::uint64_t sequence = 0;                     // >= 1
  std::uint64_t package_size = 0;
  std::array<std::uint8_t, 64> package_digest{};  // BLAKE2b-512
  std::optional<std::int64_t> expires;            // unix seconds, >= 0
};

std::string format_release_binding(const ReleaseBinding& binding);

// The binding of a trusted comment; nullopt for anything that is not exactly
// the form above: one blank between fields, decimal numbers without sign,
// blanks, leading zeros or overflow (expires at most INT64_MAX), exactly 128
// lowercase hex digits, a sequence of at least 1, nothing after the last
// field. So a parsed binding formats back to the very same text.
std::optional<ReleaseBinding> parse_release_binding(std::string_view trusted_comment);

// What binds a release manifest to its release: the trusted comment of the
// manifest's own signature names the release's sequence number and the
// BLAKE2b-512 digest of the version list the manifest describes. One line:
//
//   brindax-manifest:<sequence> list-blake2b512:<128 lowercase hex digits>
//
// The list's signature is left as it is, so updaters that know nothing of
// manifests install such releases as before.
struct ManifestBinding {
  std::uint64_t sequence = 0;                  // >= 1, the release binding's
  std::array<std::uint8_t, 64> list_digest{};  // BLAKE2b-512 of the list
};

std::string format_manifest_binding(const ManifestBinding& binding);
// As strict as parse_release_binding: nothing but exactly that form.
std::optional<ManifestBinding> parse_manifest_binding(std::string_view trusted_comment);

}  // namespace brindax
