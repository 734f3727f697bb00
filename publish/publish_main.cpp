#include "publish/publish_main.h"

#include <sodium.h>
#include <zip.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pack/zip_backend.h"
#include "publish/host.h"
#include "publish/keys_command.h"
#include "publish/manifest_writer.h"
#include "publish/package_writer.h"
#include "publish/release_list.h"
#include "updater/entry_path.h"
#include "updater/release_binding.h"
#include "updater/release_signature.h"

namespace brindax::publish {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSignatureSuffix = ".minisig";

const char* const kUsage =
    "usage: brindax-publish make SOURCE_DIR OUT_DIR [--previous OLD_RELEASE_DIR] [--package NAME]\n"
    "                            [--delta-from EARLIER_RELEASE_DIR]...\n"
    "                            [--sign SECRET_KEY_FILE [--sequence N] [--expires DAYS] [--keys KEYS_DIR]]\n"
    "       brindax-publish verify OUT_DIR [--previous OLD_RELEASE_DIR] [--delta-from EARLIER_RELEASE_DIR]...\n"
    "                              [--key PUBLIC_KEY | --root PUBLIC_KEY... --threshold K]\n"
    "       brindax-publish keys KEYS_DIR --version N --expires DAYS --root PUBLIC_KEY_FILE...\n"
    "                            --threshold K --release PUBLIC_KEY_FILE... --sign SECRET_KEY_FILE...\n";

struct Options {
  std::string command;
  std::vector<std::string> folders;
  std::vector<std::string> delta_from;  // earlier releases beyond --previous that deltas start from
  std::optional<std::string> previous, package, sign, key, sequence_text, expires_text;
  std::optional<std::string> keys, threshold_text;  // the keys file's chain
  std::vector<std::string> roots;
  std::optional<std::uint64_t> sequence;
  std::optional<std::uint64_t> expires_days;
};

// A whole number of at least 1 written in decimal digits alone.
std::optional<std::uint64_t> positive_number(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const std::uint64_t value = std::stoull(text);
  if (value == 0) return std::nullopt;
  return value;
}

std::optional<std::string> usage_problem(const Options& options) {
  if ((options.sequence_text || options.expires_text) && !options.sign) {
    return "--sequence and --expires name what the list's signature binds: they need --sign";
  }
  if (options.keys && !options.sign) return "--keys needs --sign: a release key signs the list";
  if (options.key && !options.roots.empty()) return "--key and --root exclude each other";
  if (options.roots.empty() != !options.threshold_text) return "--root and --threshold go together";
  if (options.threshold_text) {
    const std::optional<std::uint64_t> threshold = positive_number(*options.threshold_text);
    if (!threshold || *threshold > options.roots.size()) {
      return "--threshold takes a number from 1 to the number of --root keys";
    }
  }
  if (options.sequence_text && !options.sequence) {
    return "--sequence takes a whole number of at least 1";
  }
  // Up to a million days: far enough for any release, and no overflow.
  if (options.expires_text && (!options.expires_days || *options.expires_days > 1000000)) {
    return "--expires takes a whole number of days, at least 1";
  }
  return std::nullopt;
}

std::optional<Options> parse_options(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  Options options;
  options.command = argv[1];
  const bool make = options.command == "make";
  if (!make && options.command != "verify") return std::nullopt;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    std::optional<std::string>* value = nullptr;
    if (arg == "--previous") value = &options.previous;
    if (make && arg == "--package") value = &options.package;
    if (make && arg == "--sign") value = &options.sign;
    if (make && arg == "--sequence") value = &options.sequence_text;
    if (make && arg == "--expires") value = &options.expires_text;
    if (!make && arg == "--key") value = &options.key;
    if (make && arg == "--keys") value = &options.keys;
    if (!make && arg == "--threshold") value = &options.threshold_text;
    if (!make && arg == "--root") {
      if (i + 1 >= argc) return std::nullopt;
      options.roots.push_back(argv[++i]);
    } else if (arg == "--delta-from") {
      if (i + 1 >= argc) return std::nullopt;
      options.delta_from.push_back(argv[++i]);
    } else if (value != nullptr) {
      if (i + 1 >= argc || value->has_value()) return std::nullopt;
      *value = argv[++i];
    } else if (arg.rfind("--", 0) == 0) {
      return std::nullopt;
    } else {
      options.folders.push_back(arg);
    }
  }
  if (options.folders.size() != (make ? 2u : 1u)) return std::nullopt;
  if (options.sequence_text) options.sequence = positive_number(*options.sequence_text);
  if (options.expires_text) options.expires_days = positive_number(*options.expires_text);
  return options;
}

int refuse(const std::string& message) {
  std::cerr << "brindax-publish: " << message << "\n";
  return 1;
}

std::optional<std::string> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

using Archive = std::unique_ptr<zip_t, decltype(&zip_discard)>;

Archive open_archive(const fs::path& path) {
  const std::u8string utf8 = path.u8string();
  int code = 0;
  return Archive(zip_open(reinterpret_cast<const char*>(utf8.c_str()), ZIP_RDONLY, &code),
                 &zip_discard);
}

// Whether the archive holds an entry under an 8-bit name, found the way the
// updater looks it up.
bool archive_has(zip_t* archive, const std::string& name) {
  std::unique_ptr<char, decltype(&std::free)> utf8(ansi_to_utf8(name.c_str()), &std::free);
  return archive != nullptr && utf8 && zip_name_locate(archive, utf8.get(), 0) >= 0;
}

// A release folder as the updater's server would hold it: the list and the
// package it names.
struct Release {
  std::optional<std::string> list;
  std::string package;
  bool package_file = false;
  Archive archive{nullptr, &zip_discard};
};

Release open_release(const fs::path& folder) {
  Release release;
  release.list = read_file(folder / kListFile);
  if (!release.list) return release;
  release.package = parse_list(*release.list).package;
  if (release.package.empty() || !entry_name_is_safe(release.package.c_str())) return release;
  const fs::path package = folder / fs::path(release.package);
  std::error_code error;
  release.package_file = fs::is_regular_file(package, error);
  if (release.package_file) release.archive = open_archive(package);
  return release;
}

std::vector<std::string> release_problems(const Release& release, const Release* previous) {
  if (!release.list) return {std::string(kListFile) + ": missing"};
  std::vector<std::string> problems;
  std::string_view previous_text;
  if (previous != nullptr && previous->list) previous_text = *previous->list;
  problems = list_problems(
      *release.list, release.archive != nullptr,
      [&](const std::string& name) { return archive_has(release.archive.get(), name); },
      previous != nullptr ? &previous_text : nullptr);
  if (release.package_file && release.archive == nullptr) {
    problems.insert(problems.begin(), "\"" + release.package + "\" is no ZIP archive");
  }
  return problems;
}

// With a key, the list and the package must carry signatures of that key,
// and every other signature in the folder must hold as well.
std::vector<std::string> signature_problems(const fs::path& folder, const Release& release,
                                            const ReleaseKey& key) {
  std::set<std::string> signed_files = {kListFile};
  if (!release.package.empty()) signed_files.insert(release.package);
  std::vector<std::string> problems;
  std::error_code error;
  const std::string suffix = kSignatureSuffix;
  for (fs::directory_iterator item(folder, error), end; !error && item != end; item.increment(error)) {
    const std::string name = item->path().filename().string();
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      signed_files.insert(name.substr(0, name.size() - suffix.size()));
    }
  }
  if (error) problems.push_back(folder.string() + ": cannot read the folder");
  for (const std::string& name : signed_files) {
    const std::string file = (folder / name).string();
    const std::string signature = file + kSignatureSuffix;
    if (!fs::is_regular_file(file, error)) {
      problems.push_back(name + kSignatureSuffix + ": signs a file that is not there");
      continue;
    }
    const SignatureCheck result = verify_file_signature(file.c_str(), signature.c_str(), key);
    // A legacy ("Ed") signature fails here too: the updater accepts only
    // prehashed ones.
    if (result != SignatureCheck::ok) problems.push_back(name + kSignatureSuffix + ": " + describe(result));
  }
  return problems;
}

// A file's size and BLAKE2b-512 digest, read in one pass.
struct PackageFacts {
  std::uint64_t size = 0;
  std::array<std::uint8_t, 64> digest{};
};

std::optional<PackageFacts> package_facts(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  PackageFacts facts;
  ReleaseHash hash;
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    hash.update(buffer.data(), got);
    facts.size += got;
  }
  if (in.bad()) return std::nullopt;
  facts.digest = hash.finish();
  return facts;
}

std::string shown_time(std::int64_t seconds) {
  std::string text = "expires:" + std::to_string(seconds);
  if (seconds > std::numeric_limits<std::time_t>::max()) return text;
  const std::time_t when = static_cast<std::time_t>(seconds);
  char date[64];
  const std::tm* utc = std::gmtime(&when);
  if (utc != nullptr && std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", utc) > 0) {
    text = std::string(date) + " (" + text + ")";
  }
  return text;
}

// The binding in the list's signature, read once that signature holds: it
// must name the package beside the list, and must not have expired.
std::vector<std::string> binding_problems(const fs::path& folder, const Release& release,
                                          const ReleaseKey& key,
                                          std::optional<ReleaseBinding>* binding) {
  const std::string label = std::string(kListFile) + kSignatureSuffix + ": ";
  const std::string list = (folder / kListFile).string(), list_signature = list + kSignatureSuffix;
  ReleaseSignature signature;
  if (verify_file_signature(list.c_str(), list_signature.c_str(), key) != SignatureCheck::ok ||
      read_signature_file(list_signature.c_str(), &signature) != SignatureCheck::ok) {
    return {};  // reported with the signatures
  }
  *binding = parse_release_binding(signature.trusted_comment);
  if (!*binding) {
    return {label + "the trusted comment binds no package (\"" + signature.trusted_comment +
            "\"); sign the list with brindax-publish make --sign"};
  }
  std::vector<std::string> problems;
  const ReleaseBinding& bound = **binding;
  if (bound.expires && *bound.expires <= std::time(nullptr)) {
    problems.push_back(label + "the release expired on " + shown_time(*bound.expires) +
                       "; updaters refuse it");
  }
  if (!release.package_file) return problems;  // reported with the list
  const std::optional<PackageFacts> facts = package_facts(folder / fs::path(release.package));
  if (!facts) {
    problems.push_back(label + "cannot read " + release.package);
    return problems;
  }
  if (facts->size != bound.package_size) {
    problems.push_back(label + "binds a package of " + std::to_string(bound.package_size) +
                       " bytes, but " + release.package + " has " + std::to_string(facts->size));
  }
  if (facts->digest != bound.package_digest) {
    problems.push_back(label + "binds a package of another BLAKE2b-512 digest than " + release.package);
  }
  return problems;
}

// The earlier releases that deltas start from: --previous, then each
// --delta-from. Each must have a list, and for make be a sound release;
// nullopt, with the reason, when one does not.
std::optional<std::vector<EarlierRelease>> earlier_releases(const Options& options, bool sound,
                                                            std::string* problem) {
  std::vector<std::string> folders;
  if (options.previous) folders.push_back(*options.previous);
  folders.insert(folders.end(), options.delta_from.begin(), options.delta_from.end());
  std::vector<EarlierRelease> earlier;
  for (const std::string& folder : folders) {
    const Release release = open_release(folder);
    if (!release.list) {
      *problem = folder + ": no " + kListFile;
      return std::nullopt;
    }
    if (sound && !release_problems(release, nullptr).empty()) {
      *problem = folder + ": not a sound release (brindax-publish verify " + folder + ")";
      return std::nullopt;
    }
    earlier.push_back({folder, *release.list, fs::path(folder) / fs::path(release.package)});
  }
  return earlier;
}

int verify(const Options& options) {
  const Release release = open_release(options.folders[0]);
  std::optional<Release> previous;
  if (options.previous) {
    previous = open_release(*options.previous);
    if (!previous->list) return refuse(*options.previous + ": no " + kListFile);
  }
  std::optional<ReleaseKey> key;
  if (options.key) {
    key = read_public_key(*options.key);
    if (!key) return refuse(*options.key + ": not a minisign public key");
  }
  std::string problem;
  const std::optional<std::vector<EarlierRelease>> earlier = earlier_releases(options, false, &problem);
  if (!earlier) return refuse(problem);
  std::vector<std::string> problems = release_problems(release, previous ? &*previous : nullptr);
  std::optional<KeysFile> keys;
  if (!options.roots.empty()) {
    // The keys files beside the list, walked from the updater's roots: the
    // list's signer must be a release key of the newest.
    TrustedRoots roots;
    roots.threshold = static_cast<std::uint32_t>(*positive_number(*options.threshold_text));
    for (const std::string& argument : options.roots) {
      const std::optional<ReleaseKey> root = read_public_key(argument);
      if (!root) return refuse(argument + ": not a minisign public key");
      roots.roots.push_back(*root);
    }
    KeysFolder chain = read_keys_folder(options.folders[0], &roots);
    for (std::string& problem : chain.problems) problems.push_back(std::move(problem));
    keys = std::move(chain.newest);
    ReleaseSignature list_signature;
    const std::string list_signature_path =
        (fs::path(options.folders[0]) / kListFile).string() + kSignatureSuffix;
    if (keys && read_signature_file(list_signature_path.c_str(), &list_signature) == SignatureCheck::ok) {
      if (const ReleaseKey* release_key = release_key_for(*keys, list_signature)) {
        key = *release_key;
      } else {
        problems.push_back(std::string(kListFile) + kSignatureSuffix + ": " +
                           describe(SignatureCheck::not_release_key));
      }
    } else if (keys) {
      problems.push_back(std::string(kListFile) + kSignatureSuffix + ": missing or malformed");
    }
  }
  std::optional<ReleaseBinding> binding;
  if (key) {
    for (std::string& problem : signature_problems(options.folders[0], release, *key)) {
      problems.push_back(std::move(problem));
    }
    for (std::string& problem : binding_problems(options.folders[0], release, *key, &binding)) {
      problems.push_back(std::move(problem));
    }
  }
  std::string manifest_summary;
  if (release.list && release.package_file) {
    const fs::path folder = options.folders[0];
    for (std::string& problem : manifest_problems(folder, kListFile, *release.list,
                                                  folder / fs::path(release.package), *earlier,
                                                  &manifest_summary)) {
      problems.push_back(std::move(problem));
    }
    if (binding) {
      for (std::string& problem :
           manifest_binding_problems(folder, kListFile, *release.list, *key, *binding)) {
        problems.push_back(std::move(problem));
      }
    }
  }
  for (const std::string& problem : problems) std::cout << problem << "\n";
  if (!problems.empty()) return 1;
  std::cout << "release sound: " << kListFile << " with " << parse_list(*release.list).lines.size()
            << " records, package " << release.package;
  if (binding) {
    std::cout << ", release " << binding->sequence;
    if (binding->expires) std::cout << ", expires " << shown_time(*binding->expires);
  }
  if (keys) std::cout << ", keys version " << keys->version << " expires " << shown_time(keys->expires);
  std::cout << "\n";
  if (!manifest_summary.empty()) std::cout << manifest_summary << "\n";
  return 0;
}

// --- make ------------------------------------------------------------------------

std::string package_name_problem(const std::string& name) {
  if (name.find_first_of("/\\") != std::string::npos) return "must be a plain file name";
  for (const char* reserved : {kListFile, "LocalVersion.ver", "ServerVersion.ver"}) {
    if (name == reserved) return "is the name of a version list";
  }
  return name_problem(name);
}

bool lies_within(const fs::path& inner, const fs::path& outer) {
  std::error_code error;
  const fs::path a = fs::weakly_canonical(inner, error), b = fs::weakly_canonical(outer, error);
  auto [stop, ignored] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
  return stop == b.end();
}

struct FolderFile {
  std::string name;  // 8-bit
  fs::path path;
  bool executable = false;
};

// The folder's files with their 8-bit names; a line per refused name.
std::vector<FolderFile> scan_folder(const fs::path& root, std::vector<std::string>* problems) {
  std::vector<FolderFile> files;
  std::error_code error;
  fs::recursive_directory_iterator walk(root, error), end;
  if (error) {
    problems->push_back(root.string() + ": cannot read the folder");
    return files;
  }
  // Links are refused, not followed: a link to a file would pack what lies
  // outside the folder, a linked folder is not walked into.
  for (; !error && walk != end; walk.increment(error)) {
    const fs::path relative = walk->path().lexically_relative(root);
    const fs::file_status kind = walk->symlink_status(error);
    if (error) break;
    if (fs::is_symlink(kind)) {
      problems->push_back(shown_name(relative) +
                          ": a symbolic link; copy what it points to into the folder instead");
      continue;
    }
    if (fs::is_directory(kind)) continue;
    if (!fs::is_regular_file(kind)) {
      problems->push_back(shown_name(relative) + ": not a regular file");
      continue;
    }
    FolderFile file;
    file.path = walk->path();
    file.executable = is_executable(file.path);
    std::string why;
    if (!name_in_8bit(relative, &file.name)) {
      why = "the name cannot be written in the 8-bit code page";
    } else {
      why = name_problem(file.name);
    }
    if (!why.empty()) {
      problems->push_back(shown_name(relative) + ": " + why);
      continue;
    }
    files.push_back(std::move(file));
  }
  if (error) problems->push_back(root.string() + ": cannot read the folder: " + error.message());
  return files;
}

// A file that is removed unless kept.
struct Temporary {
  fs::path path;
  bool keep = false;
  ~Temporary() {
    std::error_code ignored;
    if (!keep && !path.empty()) fs::remove(path, ignored);
  }
};

bool write_text(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return out.good();
}

std::optional<std::int64_t> entry_time(std::string* problem) {
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (*end != '\0' || value < 0) {
    *problem = "SOURCE_DATE_EPOCH is not a number of seconds: " + std::string(text);
    return std::nullopt;
  }
  return value;
}

void print_names(const char* label, const std::vector<std::string>& names, const char* note = "") {
  for (const std::string& name : names) std::cout << "  " << label << name << note << "\n";
}

void print_summary(const Options& options, const std::string& package, const ReleasePlan& plan,
                   std::size_t folder_files, std::uintmax_t package_size,
                   const std::string* previous_list, const std::string& new_list) {
  std::cout << package << ": " << plan.records.size() << " files (" << folder_files
            << " from the folder, " << plan.removed.size() << " kept from the previous package), "
            << package_size << " bytes\n";
  std::cout << kListFile << ": " << plan.records.size() << " records\n";
  if (previous_list == nullptr) return;
  std::cout << "against " << *options.previous << ": " << plan.changed.size() << " changed, "
            << plan.added.size() << " new, " << plan.removed.size() << " removed\n";
  print_names("changed: ", plan.changed);
  print_names("new:     ", plan.added);
  print_names("removed: ", plan.removed,
              " (still listed and packed: installed files are never deleted)");
  const InstalledView view = installed_view(*previous_list, new_list);
  std::cout << "an installation at the previous release:\n";
  std::cout << "  the update check answers " << view.check_answer
            << (view.check_answer == 0   ? " (nothing to update)"
                : view.check_answer == 1 ? " (records were added)"
                                         : " (versions changed)")
            << "\n";
  if (view.partial_update_reaches_new) {
    std::cout << "  a partial update brings it to this release\n";
  } else {
    std::cout << "  a partial update does not bring it to this release (it installs at most "
              << (view.first_added.empty() ? std::string("nothing new") : view.first_added)
              << "); a full install does\n";
  }
}

// The sequence number of the release being made: given, one more than the
// previous release's, or 1 (a first release, or a previous one whose list
// signature binds nothing).
std::optional<std::uint64_t> release_sequence(const Options& options, std::string* problem) {
  if (options.sequence) return options.sequence;
  if (!options.previous) return 1;
  ReleaseSignature signature;
  const fs::path list_signature = fs::path(fs::path(*options.previous) / kListFile) += kSignatureSuffix;
  if (read_signature_file(list_signature.string().c_str(), &signature) != SignatureCheck::ok) return 1;
  const std::optional<ReleaseBinding> binding = parse_release_binding(signature.trusted_comment);
  if (!binding) return 1;
  if (binding->sequence == std::numeric_limits<std::uint64_t>::max()) {
    *problem = "the previous release has the last sequence number there is; nothing written";
    return std::nullopt;
  }
  return binding->sequence + 1;
}

// Signs a file into a signature file of its own with `comment` as the
// trusted comment. False, with a reason, when minisign fails or does not
// write a prehashed signature with that comment.
bool sign_file(const std::string& minisign, const std::string& secret_key, const std::string& comment,
               const fs::path& file, const fs::path& signature, std::string* problem) {
  if (run_program(minisign, {"-S", "-s", secret_key, "-t", comment, "-x", signature.string(), "-m",
                             file.string()}) != 0) {
    *problem = "minisign could not sign the release; nothing written";
    return false;
  }
  ReleaseSignature written;
  if (read_signature_file(signature.string().c_str(), &written) != SignatureCheck::ok ||
      !written.prehashed || written.trusted_comment != comment) {
    *problem = "minisign did not write a prehashed (\"ED\") signature with the release's trusted "
               "comment (a minisign older than 0.9?); nothing written";
    return false;
  }
  return true;
}

// Signs the list and the package into signature files of their own; the
// list's trusted comment is the release binding.
bool sign_release(const std::string& minisign, const std::string& secret_key,
                  const std::string& comment, const fs::path& list, const fs::path& list_signature,
                  const fs::path& package, const fs::path& package_signature, std::string* problem) {
  return sign_file(minisign, secret_key, comment, list, list_signature, problem) &&
         sign_file(minisign, secret_key, comment, package, package_signature, problem);
}

// A folder that make created, removed again (when still empty) unless kept.
struct CreatedFolder {
  fs::path path;
  bool keep = false;
  ~CreatedFolder() {
    std::error_code ignored;
    if (!keep && !path.empty()) fs::remove(path, ignored);
  }
};

int make(const Options& options) {
  const fs::path source = options.folders[0], out = options.folders[1];
  const std::string package = options.package.value_or(kDefaultPackage);
  if (const std::string why = package_name_problem(package); !why.empty()) {
    return refuse("package name \"" + package + "\": " + why + "; nothing written");
  }
  std::error_code error;
  if (!fs::is_directory(source, error)) return refuse(source.string() + ": no such folder");
  if (lies_within(out, source)) {
    return refuse(out.string() + " lies inside " + source.string() + "; nothing written");
  }
  std::string minisign;
  if (options.sign) {
    minisign = find_program("minisign");
    if (minisign.empty()) {
      return refuse("--sign needs minisign (Debian package \"minisign\"), which is not installed; "
                    "nothing written");
    }
    if (!fs::is_regular_file(*options.sign, error)) {
      return refuse(*options.sign + ": no such secret key file; nothing written");
    }
  }
  std::string problem;
  const std::optional<std::int64_t> epoch = entry_time(&problem);
  if (!epoch) return refuse(problem);
  std::optional<KeysFolder> keys;
  if (options.keys) {
    keys = read_keys_folder(*options.keys, nullptr);
    for (const std::string& line : keys->problems) std::cerr << "brindax-publish: " << *options.keys << ": " << line << "\n";
    if (!keys->newest) return refuse("the keys files do not hold; nothing written");
  }

  std::vector<std::string> problems;
  const std::vector<FolderFile> files = scan_folder(source, &problems);
  for (const std::string& line : problems) std::cerr << "brindax-publish: " << line << "\n";
  if (!problems.empty()) return refuse("refused; nothing written");

  std::optional<Release> previous;
  std::optional<ParsedList> previous_list;
  if (options.previous) {
    previous = open_release(*options.previous);
    if (!previous->list) return refuse(*options.previous + ": no " + kListFile);
    const std::vector<std::string> old_problems = release_problems(*previous, nullptr);
    for (const std::string& line : old_problems) {
      std::cerr << "brindax-publish: previous release: " << line << "\n";
    }
    if (!old_problems.empty()) return refuse("the previous release is not sound; nothing written");
    previous_list = parse_list(*previous->list);
  }
  const std::optional<std::vector<EarlierRelease>> earlier = earlier_releases(options, true, &problem);
  if (!earlier) return refuse(problem + "; nothing written");
  std::optional<std::uint64_t> sequence;
  if (options.sign) {
    sequence = release_sequence(options, &problem);
    if (!sequence) return refuse(problem);
  }

  // The order of the records (and entries) does not depend on the versions.
  std::map<std::string, const FolderFile*> by_name;
  std::vector<SourceRecord> unversioned;
  for (const FolderFile& file : files) {
    by_name[file.name] = &file;
    unversioned.push_back({file.name, ""});
  }
  const ReleasePlan order = plan_release(unversioned, previous_list ? &*previous_list : nullptr);

  // Names that would land on one file on Windows: every full install of such
  // a release fails.
  std::vector<std::string> names;
  for (const Record& record : order.records) names.push_back(record.name);
  const std::vector<std::string> conflicts = name_conflicts(names);
  for (const std::string& line : conflicts) std::cerr << "brindax-publish: " << line << "\n";
  if (!conflicts.empty()) {
    return refuse(options.previous
                      ? "refused: no full install of this release could succeed; give the new file "
                        "another name, or make a release without --previous; nothing written"
                      : "refused: no full install of this release could succeed; rename one of the "
                        "files; nothing written");
  }

  std::vector<PackageEntry> entries;
  for (std::size_t i = 0; i < order.records.size(); ++i) {
    const std::string& name = order.records[i].name;
    std::unique_ptr<char, decltype(&std::free)> utf8(ansi_to_utf8(name.c_str()), &std::free);
    PackageEntry entry;
    entry.name = utf8 ? utf8.get() : "";
    if (order.from_previous[i]) {
      entry.previous_index = zip_name_locate(previous->archive.get(), entry.name.c_str(), 0);
    } else {
      entry.source = by_name.at(name)->path;
      entry.executable = by_name.at(name)->executable;
    }
    entries.push_back(std::move(entry));
  }

  CreatedFolder created;
  if (!fs::exists(out, error)) {
    if (!fs::create_directories(out, error) || error) {
      return refuse("cannot make " + out.string() + ": " + error.message() + "; nothing written");
    }
    created.path = out;
  }
  const std::string stem = ".brindax-publish-" + std::to_string(static_cast<unsigned long>(
                                                      std::hash<std::string>{}(package) & 0xffff));
  Temporary package_temp{out / (stem + ".zip")}, list_temp{out / (stem + ".ver")};
  Temporary package_signature_temp{out / (stem + ".zip.minisig")},
      list_signature_temp{out / (stem + ".ver.minisig")};
  const PackageOutcome written =
      write_package(package_temp.path, entries, previous ? previous->archive.get() : nullptr,
                    zip_time_for(*epoch));
  if (!written.ok) return refuse(written.error + "; nothing written");

  std::vector<SourceRecord> versioned;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!order.from_previous[i]) versioned.push_back({order.records[i].name, written.versions[i]});
  }
  const ReleasePlan plan = plan_release(versioned, previous_list ? &*previous_list : nullptr);
  const std::string list = render_list(package, plan.records);
  if (!write_text(list_temp.path, list)) {
    return refuse("cannot write " + list_temp.path.string() + "; nothing written");
  }

  // The release must pass the same checks as verify before it replaces anything.
  {
    Archive check = open_archive(package_temp.path);
    std::string_view previous_text = previous ? std::string_view(*previous->list) : "";
    const std::vector<std::string> flaws = list_problems(
        list, check != nullptr, [&](const std::string& name) { return archive_has(check.get(), name); },
        previous ? &previous_text : nullptr);
    for (const std::string& line : flaws) std::cerr << "brindax-publish: " << line << "\n";
    if (!flaws.empty()) return refuse("the written release does not hold; nothing written");
  }

  // The manifest, and the deltas from the earlier releases.
  ManifestRequest request;
  request.list = list;
  request.package = package_temp.path;
  request.earlier = *earlier;
  const ManifestResult described = make_manifest(request);
  if (!described.error.empty()) return refuse(described.error + "; nothing written");
  Temporary manifest_temp{out / (stem + ".manifest")},
      manifest_signature_temp{out / (stem + ".manifest.minisig")};
  const std::string served = compress_release_manifest(format_release_manifest(described.manifest));
  if (served.empty() || !write_text(manifest_temp.path, served)) {
    return refuse("cannot write " + manifest_temp.path.string() + "; nothing written");
  }
  CreatedFolder created_deltas;
  std::vector<std::unique_ptr<Temporary>> delta_temps;
  if (!described.delta_files.empty() && !fs::is_directory(out / "deltas", error)) {
    if (!fs::create_directory(out / "deltas", error) || error) {
      return refuse("cannot make " + (out / "deltas").string() + "; nothing written");
    }
    created_deltas.path = out / "deltas";
  }
  for (const DeltaFile& file : described.delta_files) {
    auto& temporary = delta_temps.emplace_back(std::make_unique<Temporary>());
    temporary->path = out / "deltas" / (stem + "-" + std::to_string(delta_temps.size()) + ".delta");
    if (!write_text(temporary->path, file.bytes)) {
      return refuse("cannot write " + temporary->path.string() + "; nothing written");
    }
  }

  std::optional<ReleaseBinding> binding;
  if (options.sign) {
    const std::optional<PackageFacts> facts = package_facts(package_temp.path);
    if (!facts) return refuse("cannot read " + package_temp.path.string() + "; nothing written");
    binding.emplace();
    binding->sequence = *sequence;
    binding->package_size = facts->size;
    binding->package_digest = facts->digest;
    if (options.expires_days) {
      binding->expires = static_cast<std::int64_t>(std::time(nullptr)) +
                         static_cast<std::int64_t>(*options.expires_days) * 86400;
    }
    if (!sign_release(minisign, *options.sign, format_release_binding(*binding), list_temp.path,
                      list_signature_temp.path, package_temp.path, package_signature_temp.path,
                      &problem) ||
        !sign_file(minisign, *options.sign,
                   format_manifest_binding({*sequence, described.manifest.list_digest}),
                   manifest_temp.path, manifest_signature_temp.path, &problem)) {
      return refuse(problem);
    }
    ReleaseSignature list_signature;
    if (keys && (read_signature_file(list_signature_temp.path.string().c_str(), &list_signature) !=
                     SignatureCheck::ok ||
                 release_key_for(*keys->newest, list_signature) == nullptr)) {
      return refuse(*options.sign + ": not a release key of the newest keys file; nothing written");
    }
  }
  // The whole chain of keys files goes beside the list, before it.
  if (keys) {
    for (const fs::path& file : keys->files) {
      fs::copy_file(file, out / file.filename(), fs::copy_options::overwrite_existing, error);
      if (error) return refuse("cannot copy " + file.string() + ": " + error.message());
    }
  }

  const fs::path package_path = out / package, list_path = out / kListFile;
  const fs::path package_signature = fs::path(package_path) += kSignatureSuffix,
                 list_signature = fs::path(list_path) += kSignatureSuffix;
  const fs::path manifest_path = out / manifest_name_for(kListFile),
                 manifest_signature = fs::path(manifest_path) += kSignatureSuffix;
  for (const fs::path& stale : {package_signature, list_signature, manifest_signature}) {
    fs::remove(stale, error);
  }
  // The list goes last: an updater that reads the new list finds everything
  // it names in place.
  std::vector<std::pair<Temporary*, fs::path>> moves;
  for (std::size_t i = 0; i < delta_temps.size(); ++i) {
    moves.emplace_back(delta_temps[i].get(), out / fs::path(described.delta_files[i].name));
  }
  moves.emplace_back(&package_temp, package_path);
  moves.emplace_back(&manifest_temp, manifest_path);
  if (options.sign) {
    moves.emplace_back(&manifest_signature_temp, manifest_signature);
    moves.emplace_back(&package_signature_temp, package_signature);
    moves.emplace_back(&list_signature_temp, list_signature);
  }
  moves.emplace_back(&list_temp, list_path);
  for (auto& [temporary, destination] : moves) {
    fs::rename(temporary->path, destination, error);
    if (error) return refuse("cannot put " + destination.string() + " in place: " + error.message());
    temporary->keep = true;
    created.keep = true;
    created_deltas.keep = true;
  }

  print_summary(options, package, plan, files.size(), fs::file_size(package_path, error),
                previous ? &*previous->list : nullptr, list);
  std::size_t delta_count = 0;
  for (const ManifestFile& file : described.manifest.files) delta_count += file.deltas.size();
  std::cout << manifest_path.filename().string() << ": " << described.manifest.files.size()
            << " files, " << delta_count << " deltas, " << served.size() << " bytes\n";
  for (const DeltaFile& file : described.delta_files) {
    std::cout << "deltas from " << file.from.string() << ": " << file.name << ", " << file.frames
              << " files (" << file.from_nothing << " new since), " << file.bytes.size() << " bytes\n";
  }
  if (binding) {
    std::cout << "signed: " << list_signature.filename().string() << ", "
              << package_signature.filename().string() << " (release " << binding->sequence;
    if (binding->expires) std::cout << ", expires " << shown_time(*binding->expires);
    std::cout << ")\n";
  }
  return 0;
}

}  // namespace

int publish_main(int argc, char** argv) {
  // Every failure is a message and a non-zero exit; what a failed make has
  // written is removed as the exception passes its temporaries.
  try {
    if (argc >= 2 && std::string(argv[1]) == "keys") {
      if (sodium_init() < 0) return refuse("cannot start libsodium");
      return keys_command(argc, argv);
    }
    const std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
      std::cerr << kUsage;
      return 2;
    }
    if (const std::optional<std::string> problem = usage_problem(*options)) {
      std::cerr << "brindax-publish: " << *problem << "\n" << kUsage;
      return 2;
    }
    if (sodium_init() < 0) return refuse("cannot start libsodium");
    return options->command == "make" ? make(*options) : verify(*options);
  } catch (const std::bad_alloc&) {
    std::fputs("brindax-publish: out of memory; stopped\n", stderr);
    return 1;
  } catch (const std::exception& failure) {
    return refuse(std::string("stopped: ") + failure.what());
  } catch (...) {
    return refuse("stopped by an unexpected failure");
  }
}

}  // namespace brindax::publish
