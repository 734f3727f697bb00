// Compiled once per build variant: brindax_builtin_settings.inc is generated
// by CMake from the BRINDAX_* settings of that variant.
#include "updater/settings.h"

#include "updater/update_server.h"

#include "brindax_builtin_settings.inc"

namespace brindax {

const BuiltinSettings& builtin_settings() {
  static const BuiltinSettings settings{
      BRINDAX_BUILTIN_RELEASE_URL,
      BRINDAX_BUILTIN_FTP_HOST,
      BRINDAX_BUILTIN_FTP_USER,
      BRINDAX_BUILTIN_FTP_PASSWORD,
      BRINDAX_BUILTIN_REMOTE_VERSION_FILE,
      BRINDAX_BUILTIN_REMOTE_DIRECTORY,
      static_cast<std::int8_t>(BRINDAX_BUILTIN_FTP_PASSIVE),
      BRINDAX_BUILTIN_FTP_PORT,
      BRINDAX_BUILTIN_APP_EXECUTABLE,
      BRINDAX_BUILTIN_FTP_TIMEOUT_SECONDS,
      BRINDAX_BUILTIN_RELEASE_PUBLIC_KEY,
      BRINDAX_BUILTIN_ROOT_PUBLIC_KEYS,
      BRINDAX_BUILTIN_ROOT_THRESHOLD,
  };
  return settings;
}

std::unique_ptr<Transport> open_release_url_transport(const char* base_urls,
                                                      std::int32_t timeout_seconds) {
#if BRINDAX_BUILTIN_SPEAKS_HTTPS
  // Empty but in test programs: the product trusts the system's store alone.
  constexpr const char* extra_ca_file = BRINDAX_BUILTIN_TEST_CA_FILE;
  return open_https_transport(base_urls, timeout_seconds, extra_ca_file[0] != '\0' ? extra_ca_file : nullptr);
#else
  (void)base_urls;
  (void)timeout_seconds;
  return nullptr;
#endif
}

}  // namespace brindax
