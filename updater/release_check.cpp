#include "updater/release_check.h"

#include <string>

#include "net/ftp.h"
#include "runtime/core/file.h"
#include "runtime/process/message.h"
#include "runtime/process/runtime.h"
#include "updater/release_signature.h"
#include "updater/settings.h"

namespace brindax {
namespace {

constexpr const char* kSignatureSuffix = ".minisig";

// The list copy accepted in this run; dropped as well when the package fails.
std::string& accepted_list_copy() {
  static std::string path;
  return path;
}

bool signing_enabled() {
  const char* key = updater_settings().release_public_key;
  return key != nullptr && *key != '\0';
}

[[noreturn]] void reject(const char* what, SignatureCheck result, const char* signed_file,
                         const std::string& signature_file) {
  file_delete(signature_file.c_str());
  file_delete(signed_file);
  if (!accepted_list_copy().empty()) file_delete(accepted_list_copy().c_str());
  const std::string text =
      std::string("The ") + what + " is not signed by the publisher: " + describe(result) + ".";
  show_notice("Signature Error", text.c_str());
  end_program(0);
}

// Fetches the signature of `remote_name` next to `local_path` and checks it.
void require_signature(const char* what, const char* remote_name, const char* local_path) {
  const std::string signature_file = std::string(local_path) + kSignatureSuffix;
  ReleaseKey key;
  if (!parse_release_key(updater_settings().release_public_key, &key)) {
    reject(what, SignatureCheck::malformed, local_path, signature_file);
  }
  const std::string remote_signature = std::string(remote_name) + kSignatureSuffix;
  if (ftp_receive_file(updater_settings().ftp_connection, remote_signature.c_str(),
                       signature_file.c_str()) == 0) {
    reject(what, SignatureCheck::missing, local_path, signature_file);
  }
  const SignatureCheck result = verify_file_signature(local_path, signature_file.c_str(), key);
  if (result != SignatureCheck::ok) reject(what, result, local_path, signature_file);
  file_delete(signature_file.c_str());
}

}  // namespace

void require_signed_list(const char* local_copy) {
  if (!signing_enabled()) return;
  require_signature("version list", updater_settings().remote_version_file, local_copy);
  accepted_list_copy() = local_copy;
}

void require_signed_package(const char* remote_name, const char* local_path) {
  if (!signing_enabled()) return;
  require_signature("update package", remote_name, local_path);
}

}  // namespace brindax
