// The updater's built-in settings.
#pragma once

#include <cstdint>

namespace brindax {

// One process-wide record, filled once by updater_main. String fields are
// runtime strings, each a private copy of the built-in text.
struct UpdaterSettings {
  // Base URLs of the releases over HTTPS, ";" between mirrors; empty: FTP.
  char* release_url;
  char* ftp_host;  // one host, or several separated by ";" (mirrors, tried in order)
  char* ftp_user;
  char* ftp_password;
  char* remote_version_file;
  char* remote_directory;
  std::int8_t ftp_passive;
  std::int32_t ftp_port;
  char* app_executable;
  // The publisher's minisign public key; empty: releases are not checked.
  char* release_public_key;
  // Root keys (";" between them) that sign the keys file naming the release
  // keys, and how many of them version 1 needs; empty: no keys file.
  char* root_public_keys;
  std::int32_t root_threshold;
};

UpdaterSettings& updater_settings();

// The values compiled into this build (chosen with the BRINDAX_* CMake cache
// variables).
struct BuiltinSettings {
  const char* release_url;
  const char* ftp_host;
  const char* ftp_user;
  const char* ftp_password;
  const char* remote_version_file;
  const char* remote_directory;
  std::int8_t ftp_passive;
  std::int32_t ftp_port;
  const char* app_executable;
  // The FTP time-out in seconds (30 in the product; test builds shorten it).
  std::int32_t ftp_timeout_seconds;
  const char* release_public_key;
  const char* root_public_keys;
  std::int32_t root_threshold;
};
const BuiltinSettings& builtin_settings();

// Fixed names that are not settings.
inline constexpr const char* LOCAL_VERSION_FILE = "LocalVersion.ver";
inline constexpr const char* SERVER_VERSION_FILE = "ServerVersion.ver";
// With a publisher key: the sequence of the installed release.
inline constexpr const char* RELEASE_RECORD_FILE = "LocalVersion.seq";
// With root keys: the newest keys file accepted, whose roots are trusted now.
inline constexpr const char* KEYS_RECORD_FILE = "LocalVersion.keys";
// The largest server version list that is downloaded.
inline constexpr std::int64_t VERSION_LIST_MAX_BYTES = std::int64_t{64} << 20;
inline constexpr const char* MODE_CHECK = "UpdateAvailable";
inline constexpr const char* MODE_FULL_INSTALL = "MajAll";
inline constexpr const char* MODE_PARTIAL_UPDATE = "MajLocal";

}  // namespace brindax
