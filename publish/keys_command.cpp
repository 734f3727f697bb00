#include "publish/keys_command.h"

#include <ctime>
#include <random>
#include <fstream>
#include <iostream>
#include <sstream>

#include "publish/host.h"
#include "publish/release_list.h"

namespace brindax::publish {
namespace {

namespace fs = std::filesystem;

const char* const kKeysUsage =
    "usage: brindax-publish keys KEYS_DIR --version N --expires DAYS --root PUBLIC_KEY_FILE...\n"
    "                            --threshold K --release PUBLIC_KEY_FILE... --sign SECRET_KEY_FILE...\n";

std::optional<std::string> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

bool write_bytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

int refuse(const std::string& message) {
  std::cerr << "brindax-publish: " << message << "\n";
  return 1;
}

// A whole number from 1 to `limit` in decimal digits alone.
std::optional<std::uint64_t> count(const std::string& text, std::uint64_t limit) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const std::uint64_t value = std::stoull(text);
  if (value == 0 || value > limit) return std::nullopt;
  return value;
}

struct KeysOptions {
  std::string folder;
  std::optional<std::string> version, expires, threshold;
  std::vector<std::string> roots, releases, signers;
};

std::optional<KeysOptions> parse_keys_options(int argc, char** argv) {
  KeysOptions options;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    std::optional<std::string>* single = nullptr;
    std::vector<std::string>* repeated = nullptr;
    if (arg == "--version") single = &options.version;
    if (arg == "--expires") single = &options.expires;
    if (arg == "--threshold") single = &options.threshold;
    if (arg == "--root") repeated = &options.roots;
    if (arg == "--release") repeated = &options.releases;
    if (arg == "--sign") repeated = &options.signers;
    if (single != nullptr || repeated != nullptr) {
      if (i + 1 >= argc || (single != nullptr && single->has_value())) return std::nullopt;
      if (single != nullptr) *single = argv[++i];
      if (repeated != nullptr) repeated->push_back(argv[++i]);
    } else if (arg.rfind("--", 0) == 0 || !options.folder.empty()) {
      return std::nullopt;
    } else {
      options.folder = arg;
    }
  }
  if (options.folder.empty() || !options.version || !options.expires || !options.threshold ||
      options.roots.empty() || options.releases.empty() || options.signers.empty()) {
    return std::nullopt;
  }
  return options;
}

std::optional<std::vector<ReleaseKey>> read_public_keys(const std::vector<std::string>& arguments,
                                                         std::string* problem) {
  std::vector<ReleaseKey> keys;
  for (const std::string& argument : arguments) {
    const std::optional<ReleaseKey> key = read_public_key(argument);
    if (!key) {
      *problem = argument + ": not a minisign public key; nothing written";
      return std::nullopt;
    }
    keys.push_back(*key);
  }
  return keys;
}

// The signatures of `body` by every secret key, as minisign writes them.
std::optional<std::string> sign_body(const std::string& body, std::uint64_t version,
                                     const std::vector<std::string>& secret_keys, std::string* problem) {
  const std::string minisign = find_program("minisign");
  if (minisign.empty()) {
    *problem = "keys needs minisign (Debian package \"minisign\"), which is not installed; nothing written";
    return std::nullopt;
  }
  // Signed from the temporary folder, so that nothing is written beside the
  // keys files before the version holds.
  std::error_code error;
  const fs::path body_file = fs::temp_directory_path(error) /
                             ("brindax-publish-keys-" + std::to_string(std::random_device{}()));
  const fs::path signature_file = fs::path(body_file) += ".minisig";
  struct Cleanup {
    fs::path a, b;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove(a, ignored);
      fs::remove(b, ignored);
    }
  } cleanup{body_file, signature_file};
  if (!write_bytes(body_file, body)) {
    *problem = "cannot write " + body_file.string() + "; nothing written";
    return std::nullopt;
  }
  std::string signatures;
  for (const std::string& secret_key : secret_keys) {
    fs::remove(signature_file, error);
    if (run_program(minisign, {"-S", "-s", secret_key, "-t", "brindax-keys:" + std::to_string(version),
                               "-x", signature_file.string(), "-m", body_file.string()}) != 0) {
      *problem = secret_key + ": minisign could not sign with it; nothing written";
      return std::nullopt;
    }
    const std::optional<std::string> signature = read_bytes(signature_file);
    if (!signature || signature->empty() || signature->back() != '\n') {
      *problem = "minisign wrote no signature with " + secret_key + "; nothing written";
      return std::nullopt;
    }
    signatures += *signature;
  }
  return signatures;
}

const char* step_problem(KeysProblem problem) {
  switch (problem) {
    case KeysProblem::too_few_trusted: return "the previous version's roots would not accept it (too few of their signatures)";
    case KeysProblem::too_few_own: return "its own roots would not accept it (too few of their signatures)";
    default: return "it would not be accepted";
  }
}

}  // namespace

std::optional<ReleaseKey> read_public_key(const std::string& argument) {
  std::string text = argument;
  std::error_code error;
  if (fs::is_regular_file(argument, error)) {
    std::ifstream in(argument);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("RW", 0) == 0) text = line;
    }
  }
  ReleaseKey key;
  if (!parse_release_key(text, &key)) return std::nullopt;
  return key;
}

KeysFolder read_keys_folder(const fs::path& folder, const TrustedRoots* roots) {
  KeysFolder result;
  const fs::path current_path = folder / keys_file_name(kListFile);
  const std::optional<std::string> current = read_bytes(current_path);
  const std::optional<KeysFile> newest = current ? parse_keys_file(*current) : std::nullopt;
  if (!newest) {
    result.problems.push_back(current_path.filename().string() + (current ? ": not a keys file" : ": missing"));
    return result;
  }
  // Without the updater's roots, version 1 is held to its own.
  TrustedRoots start;
  if (roots != nullptr) {
    start = *roots;
  } else {
    const fs::path first = folder / keys_file_name(kListFile, 1);
    const std::optional<std::string> bytes = newest->version == 1 ? current : read_bytes(first);
    const std::optional<KeysFile> file = bytes ? parse_keys_file(*bytes) : std::nullopt;
    if (!file) {
      result.problems.push_back(first.filename().string() + ": missing or not a keys file");
      return result;
    }
    start = {0, file->threshold, file->roots};
  }
  const KeysChain chain = walk_keys_chain(
      start, current,
      [&](std::uint64_t version) { return read_bytes(folder / keys_file_name(kListFile, version)); },
      static_cast<std::int64_t>(std::time(nullptr)));
  if (!chain.newest) {
    result.problems.push_back(current_path.filename().string() + ": " + describe(chain, start.version));
    return result;
  }
  // Updaters that trust an older version walk through every later one: all
  // of them must be there, the newest too.
  const fs::path newest_path = folder / keys_file_name(kListFile, newest->version);
  if (read_bytes(newest_path) != current) {
    result.problems.push_back(newest_path.filename().string() + ": missing or not the same as " +
                              current_path.filename().string());
    return result;
  }
  for (std::uint64_t version = 1; version <= newest->version; ++version) {
    result.files.push_back(folder / keys_file_name(kListFile, version));
  }
  result.files.push_back(current_path);
  result.newest = chain.newest;
  return result;
}

int keys_command(int argc, char** argv) {
  const std::optional<KeysOptions> options = parse_keys_options(argc, argv);
  if (!options) {
    std::cerr << kKeysUsage;
    return 2;
  }
  const std::optional<std::uint64_t> version = count(*options->version, UINT64_MAX / 2);
  const std::optional<std::uint64_t> days = count(*options->expires, 1000000);
  const std::optional<std::uint64_t> threshold = count(*options->threshold, options->roots.size());
  if (!version || !days || !threshold) {
    std::cerr << "brindax-publish: --version and --expires take a whole number of at least 1, "
                 "--threshold one from 1 to the number of --root keys\n"
              << kKeysUsage;
    return 2;
  }
  std::string problem;
  const auto roots = read_public_keys(options->roots, &problem);
  if (!roots) return refuse(problem);
  const auto releases = read_public_keys(options->releases, &problem);
  if (!releases) return refuse(problem);

  const fs::path folder = options->folder;
  const fs::path target = folder / keys_file_name(kListFile, *version);
  std::error_code error;
  if (fs::exists(target, error)) return refuse(target.string() + " is there already; nothing written");
  TrustedRoots trusted;
  if (*version > 1) {
    const fs::path previous_path = folder / keys_file_name(kListFile, *version - 1);
    const std::optional<std::string> bytes = read_bytes(previous_path);
    const std::optional<KeysFile> previous = bytes ? parse_keys_file(*bytes) : std::nullopt;
    if (!previous || previous->version != *version - 1) {
      return refuse(previous_path.string() + ": missing or not a keys file of version " +
                    std::to_string(*version - 1) + "; nothing written");
    }
    trusted = roots_of(*previous);
  }
  const auto expires = static_cast<std::int64_t>(std::time(nullptr)) + static_cast<std::int64_t>(*days) * 86400;
  const std::string body = format_keys_body(*version, expires, static_cast<std::uint32_t>(*threshold),
                                            *roots, *releases);
  const std::optional<std::string> signatures = sign_body(body, *version, options->signers, &problem);
  if (!signatures) return refuse(problem);
  const std::string bytes = body + std::string(KEYS_SIGNATURES_LINE) + *signatures;
  const std::optional<KeysFile> file = parse_keys_file(bytes);
  if (!file) {
    return refuse("the keys file would be malformed (a key named twice among the roots or the "
                  "release keys, more than 64 of them or of signatures, or more than 64 KiB); "
                  "nothing written");
  }
  // Version 1: its own roots; later ones: the previous version's too.
  if (*version == 1) trusted = {0, file->threshold, file->roots};
  KeysProblem step = check_keys_step(trusted, *file);
  if (*version == 1 && step == KeysProblem::too_few_trusted) step = KeysProblem::too_few_own;
  if (step != KeysProblem::none) return refuse(std::string(step_problem(step)) + "; nothing written");

  if (!fs::is_directory(folder, error) && !fs::create_directories(folder, error)) {
    return refuse("cannot make " + folder.string() + "; nothing written");
  }
  const fs::path current = folder / keys_file_name(kListFile);
  const fs::path temporary = folder / ".brindax-publish-keys";
  if (!write_bytes(temporary, bytes)) return refuse("cannot write " + temporary.string() + "; nothing written");
  fs::copy_file(temporary, target, error);
  if (!error) fs::rename(temporary, current, error);
  if (error) {
    fs::remove(temporary, error);
    return refuse("cannot put " + target.string() + " in place");
  }
  std::cout << "keys version " << *version << ": " << target.filename().string() << " and "
            << current.filename().string() << ", " << releases->size() << " release key(s), "
            << *threshold << " of " << roots->size() << " root(s), signed by " << file->signatures.size()
            << " key(s)\n";
  return 0;
}

}  // namespace brindax::publish
