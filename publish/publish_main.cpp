#include "publish/publish_main.h"

#include <sodium.h>
#include <zip.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pack/zip_backend.h"
#include "publish/host.h"
#include "publish/package_writer.h"
#include "publish/release_list.h"
#include "updater/entry_path.h"
#include "updater/release_signature.h"

namespace brindax::publish {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSignatureSuffix = ".minisig";

const char* const kUsage =
    "usage: brindax-publish make SOURCE_DIR OUT_DIR [--previous OLD_RELEASE_DIR] [--package NAME]\n"
    "                            [--sign SECRET_KEY_FILE]\n"
    "       brindax-publish verify OUT_DIR [--previous OLD_RELEASE_DIR] [--key PUBLIC_KEY]\n";

struct Options {
  std::string command;
  std::vector<std::string> folders;
  std::optional<std::string> previous, package, sign, key;
};

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
    if (!make && arg == "--key") value = &options.key;
    if (value != nullptr) {
      if (i + 1 >= argc || value->has_value()) return std::nullopt;
      *value = argv[++i];
    } else if (arg.rfind("--", 0) == 0) {
      return std::nullopt;
    } else {
      options.folders.push_back(arg);
    }
  }
  if (options.folders.size() != (make ? 2u : 1u)) return std::nullopt;
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
  release.package_file = fs::is_regular_file(package);
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

// The publisher's public key: minisign's one-line base64 text, or a file
// holding it (as minisign -G writes it).
std::optional<ReleaseKey> read_key(const std::string& argument) {
  std::string text = argument;
  if (fs::is_regular_file(argument)) {
    std::ifstream in(argument);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("RW", 0) == 0) text = line;
    }
  }
  ReleaseKey key;
  if (!parse_release_key(text, &key)) return std::nullopt;
  return key;
}

// With a key, the list and the package must carry signatures of that key,
// and every other signature in the folder must hold as well.
std::vector<std::string> signature_problems(const fs::path& folder, const Release& release,
                                            const ReleaseKey& key) {
  std::set<std::string> signed_files = {kListFile};
  if (!release.package.empty()) signed_files.insert(release.package);
  for (const auto& item : fs::directory_iterator(folder)) {
    const std::string name = item.path().filename().string();
    const std::string suffix = kSignatureSuffix;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      signed_files.insert(name.substr(0, name.size() - suffix.size()));
    }
  }
  std::vector<std::string> problems;
  for (const std::string& name : signed_files) {
    const std::string file = (folder / name).string();
    const std::string signature = file + kSignatureSuffix;
    if (!fs::is_regular_file(file)) {
      problems.push_back(name + kSignatureSuffix + ": signs a file that is not there");
      continue;
    }
    const SignatureCheck result = verify_file_signature(file.c_str(), signature.c_str(), key);
    if (result != SignatureCheck::ok) problems.push_back(name + kSignatureSuffix + ": " + describe(result));
  }
  return problems;
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
    key = read_key(*options.key);
    if (!key) return refuse(*options.key + ": not a minisign public key");
  }
  std::vector<std::string> problems = release_problems(release, previous ? &*previous : nullptr);
  if (key) {
    for (std::string& problem : signature_problems(options.folders[0], release, *key)) {
      problems.push_back(std::move(problem));
    }
  }
  for (const std::string& problem : problems) std::cout << problem << "\n";
  if (!problems.empty()) return 1;
  std::cout << "release sound: " << kListFile << " with " << parse_list(*release.list).lines.size()
            << " records, package " << release.package << "\n";
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
  for (; walk != end; walk.increment(error)) {
    if (error) {
      problems->push_back(root.string() + ": cannot read the folder");
      break;
    }
    if (walk->is_directory()) continue;
    const fs::path relative = walk->path().lexically_relative(root);
    if (!walk->is_regular_file()) {
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

int make(const Options& options) {
  const fs::path source = options.folders[0], out = options.folders[1];
  const std::string package = options.package.value_or(kDefaultPackage);
  if (const std::string why = package_name_problem(package); !why.empty()) {
    return refuse("package name \"" + package + "\": " + why + "; nothing written");
  }
  if (!fs::is_directory(source)) return refuse(source.string() + ": no such folder");
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
    if (!fs::is_regular_file(*options.sign)) {
      return refuse(*options.sign + ": no such secret key file; nothing written");
    }
  }
  std::string problem;
  const std::optional<std::int64_t> epoch = entry_time(&problem);
  if (!epoch) return refuse(problem);

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

  // The order of the records (and entries) does not depend on the versions.
  std::map<std::string, const FolderFile*> by_name;
  std::vector<SourceRecord> unversioned;
  for (const FolderFile& file : files) {
    by_name[file.name] = &file;
    unversioned.push_back({file.name, ""});
  }
  const ReleasePlan order = plan_release(unversioned, previous_list ? &*previous_list : nullptr);
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

  std::error_code error;
  fs::create_directories(out, error);
  const std::string stem = ".brindax-publish-" + std::to_string(static_cast<unsigned long>(
                                                      std::hash<std::string>{}(package) & 0xffff));
  Temporary package_temp{out / (stem + ".zip")}, list_temp{out / (stem + ".ver")};
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

  const fs::path package_path = out / package, list_path = out / kListFile;
  for (const fs::path& stale : {fs::path(package_path) += kSignatureSuffix, fs::path(list_path) += kSignatureSuffix}) {
    fs::remove(stale, error);
  }
  fs::rename(package_temp.path, package_path, error);
  if (error) return refuse("cannot put " + package_path.string() + " in place: " + error.message());
  package_temp.keep = true;
  fs::rename(list_temp.path, list_path, error);
  if (error) return refuse("cannot put " + list_path.string() + " in place: " + error.message());
  list_temp.keep = true;

  print_summary(options, package, plan, files.size(), fs::file_size(package_path, error),
                previous ? &*previous->list : nullptr, list);

  if (options.sign) {
    for (const fs::path& signed_file : {list_path, package_path}) {
      if (run_program(minisign, {"-S", "-s", *options.sign, "-m", signed_file.string()}) != 0) {
        return refuse("minisign could not sign " + signed_file.string());
      }
    }
    std::cout << "signed: " << list_path.filename().string() << ".minisig, "
              << package_path.filename().string() << ".minisig\n";
  }
  return 0;
}

}  // namespace

int publish_main(int argc, char** argv) {
  const std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  if (sodium_init() < 0) return refuse("cannot start libsodium");
  return options->command == "make" ? make(*options) : verify(*options);
}

}  // namespace brindax::publish
