#include "publish/manifest_writer.h"

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "pack/zip_backend.h"
#include "pack/zip_layout.h"
#include "publish/difference_maker.h"
#include "publish/release_deltas.h"
#include "publish/release_list.h"
#include "updater/version_list.h"

namespace brindax::publish {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSignatureSuffix = ".minisig";
// Two files together above this size are diffed one at a time: the
// strongest level needs several times their size in tables.
constexpr std::uint64_t kLargeDeltaBytes = std::uint64_t{64} << 20;
// A ZIP local header's fixed part, before the entry's name: with the name,
// what fetching an entry by range moves beside its compressed bytes.
constexpr std::uint64_t kEntryHeaderBytes = 30;

using Archive = std::unique_ptr<zip_t, decltype(&zip_discard)>;

Archive open_archive(const fs::path& path) {
  const std::u8string utf8 = path.u8string();
  int code = 0;
  return Archive(zip_open(reinterpret_cast<const char*>(utf8.c_str()), ZIP_RDONLY, &code),
                 &zip_discard);
}

std::optional<std::string> read_bytes(const fs::path& path, std::uint64_t offset = 0,
                                      std::optional<std::uint64_t> length = std::nullopt) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::error_code error;
  const std::uint64_t size = fs::file_size(path, error);
  if (error || offset > size) return std::nullopt;
  const std::uint64_t wanted = length.value_or(size - offset);
  if (wanted > size - offset) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(wanted), '\0');
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (static_cast<std::uint64_t>(in.gcount()) != wanted) return std::nullopt;
  return bytes;
}

// The content of the entry of an 8-bit name, exactly its declared size.
std::optional<std::string> read_entry(zip_t* archive, const std::string& name) {
  const zip_int64_t index = archive ? zip_locate_entry(archive, name.c_str()) : -1;
  zip_stat_t stat;
  if (index < 0 || zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0 ||
      !(stat.valid & ZIP_STAT_SIZE)) {
    return std::nullopt;
  }
  std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(
      zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0), &zip_fclose);
  if (!file) return std::nullopt;
  std::string content(static_cast<std::size_t>(stat.size), '\0');
  std::uint64_t done = 0;
  while (done < content.size()) {
    const zip_int64_t got = zip_fread(file.get(), content.data() + done, content.size() - done);
    if (got <= 0) return std::nullopt;
    done += static_cast<std::uint64_t>(got);
  }
  char more;
  if (zip_fread(file.get(), &more, 1) != 0) return std::nullopt;
  return content;
}

// The size and BLAKE2b-256 digest of an entry (8-bit name), read in
// pieces: for files no delta needs whole in memory.
std::optional<std::pair<std::uint64_t, Digest256>> streamed_digest(zip_t* archive, const std::string& name) {
  ContentHash256 hash;
  std::uint64_t size = 0;
  std::vector<char> buffer(1 << 18);
  const zip_int64_t index = archive ? zip_locate_entry(archive, name.c_str()) : -1;
  if (index < 0) return std::nullopt;
  std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(
      zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0), &zip_fclose);
  if (!file) return std::nullopt;
  for (;;) {
    const zip_int64_t got = zip_fread(file.get(), buffer.data(), buffer.size());
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    hash.update(buffer.data(), static_cast<std::size_t>(got));
    size += static_cast<std::uint64_t>(got);
  }
  return std::pair{size, hash.finish()};
}

std::optional<std::pair<std::uint64_t, Digest512>> file_facts(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  ReleaseHash hash;
  std::uint64_t size = 0;
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    hash.update(buffer.data(), got);
    size += got;
  }
  if (in.bad()) return std::nullopt;
  return std::pair{size, hash.finish()};
}

Digest512 text_digest(std::string_view text) {
  ReleaseHash hash;
  hash.update(text.data(), text.size());
  return hash.finish();
}

struct ListRecord {
  std::string name, version;
};

std::vector<ListRecord> list_records(const std::string& list) {
  std::vector<ListRecord> records;
  for (const std::string& line : parse_list(list).lines) {
    records.push_back({std::string(record_field(line, 1)), std::string(record_field(line, 2))});
  }
  return records;
}

std::string utf8_name(const std::string& name) {
  std::unique_ptr<char, decltype(&std::free)> utf8(ansi_to_utf8(name.c_str()), &std::free);
  return utf8 ? utf8.get() : "";
}

// Runs `work(worker, item)` for items 0..count-1 on up to 8 threads; each
// worker keeps what it opens. Stops handing out items once one failed.
template <typename Work>
void run_workers(std::size_t count, std::atomic<bool>& failed, Work work) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>({cores, 8u, count}));
  std::atomic<std::size_t> next{0};
  auto loop = [&](std::size_t worker) {
    for (std::size_t i = next++; i < count && !failed; i = next++) work(worker, i);
  };
  std::vector<std::thread> threads;
  for (std::size_t w = 1; w < workers; ++w) threads.emplace_back(loop, w);
  loop(0);
  for (std::thread& thread : threads) thread.join();
}

// A worker's own handles on the packages.
struct Opened {
  Archive package{nullptr, &zip_discard};
  std::vector<Archive> earlier;
};

struct Frame {
  std::size_t release = 0;  // index into the earlier releases
  ManifestDelta delta;      // without file and offset yet
  std::string bytes;
};

}  // namespace

std::optional<std::vector<PackagePlace>> read_package_places(const fs::path& package) {
  std::error_code error;
  const std::uint64_t size = fs::file_size(package, error);
  if (error) return std::nullopt;
  const std::uint64_t tail_size = std::min(size, ZIP_TAIL_SEARCH_SIZE);
  const std::optional<std::string> tail = read_bytes(package, size - tail_size, tail_size);
  if (!tail) return std::nullopt;
  const auto as_bytes = [](const std::string& s) {
    return std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  const std::optional<ZipDirectoryPlace> place = zip_find_directory(as_bytes(*tail), size);
  if (!place) return std::nullopt;
  const std::optional<std::string> directory = read_bytes(package, place->offset, place->size);
  if (!directory) return std::nullopt;
  const auto entries = zip_read_directory(as_bytes(*directory), place->entry_count);
  if (!entries) return std::nullopt;
  std::ifstream in(package, std::ios::binary);
  std::vector<PackagePlace> places;
  for (const ZipEntryPlace& entry : *entries) {
    // The method as the local header states it, which is what a reader of
    // the entry's bytes alone goes by.
    unsigned char header[30];
    in.seekg(static_cast<std::streamoff>(entry.local_offset));
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (in.gcount() != sizeof header || header[0] != 'P' || header[1] != 'K' || header[2] != 3 ||
        header[3] != 4) {
      return std::nullopt;
    }
    PackagePlace item;
    item.name = entry.name;
    item.header_offset = entry.local_offset;
    item.compressed_size = entry.compressed_size;
    item.size = entry.size;
    item.method = static_cast<std::uint16_t>(header[8] | header[9] << 8);
    places.push_back(std::move(item));
  }
  return places;
}

ManifestResult make_manifest(const ManifestRequest& request) {
  ManifestResult result;
  ReleaseManifest& manifest = result.manifest;
  manifest.package = parse_list(request.list).package;
  manifest.list_digest = text_digest(request.list);
  const auto facts = file_facts(request.package);
  const auto places = read_package_places(request.package);
  if (!facts || !places) {
    result.error = "cannot read the package " + request.package.string();
    return result;
  }
  manifest.package_size = facts->first;
  manifest.package_digest = facts->second;
  std::map<std::string, const PackagePlace*> place_of;
  for (const PackagePlace& place : *places) place_of.emplace(place.name, &place);

  const std::vector<ListRecord> records = list_records(request.list);
  for (const ListRecord& record : records) {
    const auto found = place_of.find(utf8_name(record.name));
    if (found == place_of.end()) {
      result.error = "the package holds no entry \"" + record.name + "\"";
      return result;
    }
    ManifestFile file;
    file.name = record.name;
    file.header_offset = found->second->header_offset;
    file.compressed_size = found->second->compressed_size;
    file.method = found->second->method;
    manifest.files.push_back(std::move(file));
  }
  std::vector<std::map<std::string, std::string>> earlier_versions;
  std::vector<Digest512> earlier_digests;
  for (const EarlierRelease& release : request.earlier) {
    auto& versions = earlier_versions.emplace_back();
    for (const ListRecord& record : list_records(release.list)) versions.emplace(record.name, record.version);
    earlier_digests.push_back(text_digest(release.list));
  }

  std::vector<std::vector<Frame>> frames(records.size());
  std::vector<std::string> errors(records.size());
  std::vector<Opened> opened(std::min<std::size_t>(8, std::max(1u, std::thread::hardware_concurrency())));
  std::mutex large;
  std::atomic<bool> failed{false};
  run_workers(records.size(), failed, [&](std::size_t worker, std::size_t i) {
    Opened& mine = opened[worker];
    if (!mine.package) {
      mine.package = open_archive(request.package);
      for (const EarlierRelease& release : request.earlier) mine.earlier.push_back(open_archive(release.package));
    }
    const ListRecord& record = records[i];
    ManifestFile& file = manifest.files[i];
    // The mode an unpack of the package gives the file.
    const zip_int64_t index = zip_locate_entry(mine.package.get(), record.name.c_str());
    file.executable = index >= 0 && zip_entry_recorded_executable(mine.package.get(), static_cast<zip_uint64_t>(index));
    // The content as packed (the folder may change while make runs), read
    // whole only when a delta may be made of it.
    bool may_change = false;
    for (const auto& versions : earlier_versions) {
      const auto old_version = versions.find(record.name);
      may_change |= old_version == versions.end() || old_version->second != record.version;
    }
    if (!may_change || place_of.at(utf8_name(record.name))->size > DELTA_MAX_FILE_BYTES) {
      const auto streamed = streamed_digest(mine.package.get(), record.name);
      if (!streamed) {
        errors[i] = "cannot read \"" + record.name + "\"";
        failed = true;
        return;
      }
      file.size = streamed->first;
      file.digest = streamed->second;
      return;
    }
    std::optional<std::string> content = read_entry(mine.package.get(), record.name);
    if (!content) {
      errors[i] = "cannot read \"" + record.name + "\"";
      failed = true;
      return;
    }
    file.size = content->size();
    file.digest = content_digest(*content);
    std::set<Digest256> offered;
    bool from_nothing_offered = false;
    for (std::size_t r = 0; r < request.earlier.size(); ++r) {
      const auto old_version = earlier_versions[r].find(record.name);
      if (old_version != earlier_versions[r].end() && old_version->second == record.version) continue;
      Frame frame;
      frame.release = r;
      std::optional<std::string> old;
      if (old_version == earlier_versions[r].end()) {
        if (std::exchange(from_nothing_offered, true)) continue;
        frame.delta.from_nothing = true;
      } else {
        old = read_entry(mine.earlier[r].get(), record.name);
        if (!old) {
          errors[i] = "cannot read \"" + record.name + "\" of " + request.earlier[r].folder.string();
          failed = true;
          return;
        }
        frame.delta.base = content_digest(*old);
        if (old->size() > DELTA_MAX_FILE_BYTES || frame.delta.base == file.digest ||
            !offered.insert(frame.delta.base).second) {
          continue;
        }
      }
      const std::string_view base = old ? std::string_view(*old) : std::string_view();
      // The frame of `content` from `from` (the smaller kind), false when
      // it cannot be made.
      const auto make = [&](std::string_view from, bool difference_too) {
        std::unique_lock<std::mutex> one_at_a_time(large, std::defer_lock);
        if (from.size() + content->size() > kLargeDeltaBytes) one_at_a_time.lock();
        frame.bytes = make_delta_frame(from, *content);
        if (frame.bytes.empty()) {
          errors[i] = "cannot make a delta of \"" + record.name + "\" (out of memory?)";
          failed = true;
          return false;
        }
        if (difference_too) take_smaller_difference(from, *content, &frame.delta.kind, &frame.bytes);
        return true;
      };
      const auto worth_it = [&] {
        return delta_is_worth_it(frame.delta.from_nothing, frame.bytes.size(), file.compressed_size,
                                 kEntryHeaderBytes + record.name.size());
      };
      if (!make(base, !frame.delta.from_nothing)) return;
      if (!worth_it()) {
        // No delta from that release is worth it: the file compressed alone
        // rides in its delta file instead when that moves no more than the
        // entry, so that a user at that release fetches the one file.
        if (frame.delta.from_nothing || std::exchange(from_nothing_offered, true)) continue;
        frame.delta = ManifestDelta{};
        frame.delta.from_nothing = true;
        if (!make(std::string_view(), false)) return;
        if (!worth_it()) continue;
      }
      frame.delta.size = frame.bytes.size();
      frame.delta.digest = content_digest(frame.bytes);
      frames[i].push_back(std::move(frame));
    }
  });
  for (const std::string& error : errors) {
    if (!error.empty()) {
      result.error = error;
      return result;
    }
  }

  // One delta file per earlier release, its frames in the order of the
  // list, so that the pieces of neighbouring files are one range.
  std::vector<DeltaFile> files(request.earlier.size());
  for (std::size_t r = 0; r < files.size(); ++r) {
    files[r].from = request.earlier[r].folder;
    files[r].name = delta_file_name(earlier_digests[r], manifest.list_digest);
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    for (Frame& frame : frames[i]) {
      DeltaFile& file = files[frame.release];
      frame.delta.file = file.name;
      frame.delta.offset = file.bytes.size();
      file.bytes += frame.bytes;
      ++file.frames;
      file.from_nothing += frame.delta.from_nothing;
      manifest.files[i].deltas.push_back(std::move(frame.delta));
    }
  }
  for (DeltaFile& file : files) {
    if (file.frames > 0) result.delta_files.push_back(std::move(file));
  }
  return result;
}

std::vector<std::string> manifest_problems(const fs::path& folder, const std::string& list_name,
                                           const std::string& list, const fs::path& package,
                                           const std::vector<EarlierRelease>& earlier,
                                           std::string* summary) {
  const std::string name = manifest_name_for(list_name);
  const std::string label = name + ": ";
  std::error_code error;
  if (!fs::exists(folder / name, error)) return {};
  const std::optional<std::string> served = read_bytes(folder / name);
  if (!served) return {label + "cannot read it"};
  const std::optional<std::string> text = decompress_release_manifest(*served);
  if (!text) return {label + "not one zstd frame of at most " + std::to_string(MANIFEST_MAX_BYTES) + " bytes"};
  const std::optional<ReleaseManifest> parsed = parse_release_manifest(*text);
  if (!parsed) return {label + "not a release manifest the updater accepts"};
  const ReleaseManifest& manifest = *parsed;

  std::vector<std::string> problems;
  if (manifest.package != parse_list(list).package) {
    problems.push_back(label + "describes the package \"" + manifest.package + "\", the list names another");
  }
  if (manifest.list_digest != text_digest(list)) {
    problems.push_back(label + "describes another list than " + list_name);
  }
  const auto facts = file_facts(package);
  if (!facts || facts->first != manifest.package_size || facts->second != manifest.package_digest) {
    problems.push_back(label + "gives another size or BLAKE2b-512 digest than the package's");
  }
  const std::vector<ListRecord> records = list_records(list);
  if (records.size() != manifest.files.size()) {
    problems.push_back(label + "describes " + std::to_string(manifest.files.size()) +
                       " files, the list has " + std::to_string(records.size()) + " records");
  }
  const auto places = read_package_places(package);
  if (!places) problems.push_back(label + "the package's directory cannot be read");
  if (!problems.empty()) return problems;
  std::map<std::string, const PackagePlace*> place_of;
  for (const PackagePlace& place : *places) place_of.emplace(place.name, &place);

  std::vector<std::map<std::string, std::string>> earlier_names;
  for (const EarlierRelease& release : earlier) {
    auto& names = earlier_names.emplace_back();
    for (const ListRecord& record : list_records(release.list)) names.emplace(record.name, record.version);
  }
  std::vector<std::vector<std::string>> found(manifest.files.size());
  std::vector<std::size_t> unchecked(manifest.files.size(), 0);
  std::vector<Opened> opened(std::min<std::size_t>(8, std::max(1u, std::thread::hardware_concurrency())));
  std::atomic<bool> never{false};
  run_workers(manifest.files.size(), never, [&](std::size_t worker, std::size_t i) {
    Opened& mine = opened[worker];
    if (!mine.package) {
      mine.package = open_archive(package);
      for (const EarlierRelease& release : earlier) mine.earlier.push_back(open_archive(release.package));
    }
    const ManifestFile& file = manifest.files[i];
    std::vector<std::string>& out = found[i];
    const std::string file_label = label + "\"" + file.name + "\": ";
    if (file.name != records[i].name) {
      out.push_back(label + "file " + std::to_string(i + 1) + " is \"" + file.name + "\", the list's record is \"" +
                    records[i].name + "\"");
      return;
    }
    const auto place = place_of.find(utf8_name(file.name));
    if (place == place_of.end() || place->second->header_offset != file.header_offset ||
        place->second->compressed_size != file.compressed_size || place->second->method != file.method) {
      out.push_back(file_label + "the entry does not lie where the manifest places it");
    }
    const zip_int64_t index = zip_locate_entry(mine.package.get(), file.name.c_str());
    if (index >= 0 &&
        zip_entry_recorded_executable(mine.package.get(), static_cast<zip_uint64_t>(index)) != file.executable) {
      out.push_back(file_label + (file.executable ? "marked executable, the package's entry is not"
                                                  : "the package's entry is executable, the manifest does not mark it"));
    }
    const std::optional<std::string> content = read_entry(mine.package.get(), file.name);
    if (!content || content->size() != file.size || content_digest(*content) != file.digest) {
      out.push_back(file_label + "the entry's size or digest is not the manifest's");
      return;
    }
    for (const ManifestDelta& delta : file.deltas) {
      const std::string delta_label = file_label + "the delta at " + std::to_string(delta.offset) +
                                      " of " + delta.file + ": ";
      const std::optional<std::string> frame = read_bytes(folder / fs::path(delta.file), delta.offset, delta.size);
      if (!frame) {
        out.push_back(delta_label + "the file is missing or shorter");
        continue;
      }
      if (content_digest(*frame) != delta.digest) {
        out.push_back(delta_label + "its bytes have another digest");
        continue;
      }
      std::optional<std::string> base;
      if (!delta.from_nothing) {
        for (std::size_t r = 0; r < earlier.size() && !base; ++r) {
          if (!earlier_names[r].contains(file.name)) continue;
          std::optional<std::string> old = read_entry(mine.earlier[r].get(), file.name);
          if (old && content_digest(*old) == delta.base) base = std::move(old);
        }
        if (!base) {
          ++unchecked[i];
          continue;
        }
      }
      const std::string_view base_bytes = base ? std::string_view(*base) : std::string_view();
      const std::optional<std::string> rebuilt = delta.kind == DeltaKind::difference
                                                     ? apply_difference_delta(base_bytes, *frame, file.size)
                                                     : apply_delta_frame(base_bytes, *frame, file.size);
      if (!rebuilt || content_digest(*rebuilt) != file.digest) {
        out.push_back(delta_label + "does not rebuild the file");
      }
    }
  });
  std::size_t deltas = 0, not_checked = 0;
  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    for (std::string& problem : found[i]) problems.push_back(std::move(problem));
    deltas += manifest.files[i].deltas.size();
    not_checked += unchecked[i];
  }
  *summary = name + ": " + std::to_string(manifest.files.size()) + " files, " + std::to_string(deltas) +
             " deltas";
  if (not_checked > 0) {
    *summary += " (" + std::to_string(not_checked) +
                " not applied: their bases are in no earlier release given with --previous or --delta-from)";
  }
  return problems;
}

std::vector<std::string> manifest_binding_problems(const fs::path& folder, const std::string& list_name,
                                                   const std::string& list, const ReleaseKey& key,
                                                   const ReleaseBinding& release) {
  const std::string name = manifest_name_for(list_name);
  const fs::path manifest = folder / name;
  const fs::path signature = fs::path(manifest) += std::string(kSignatureSuffix);
  std::error_code error;
  if (!fs::exists(manifest, error)) return {};
  const std::string label = name + std::string(kSignatureSuffix) + ": ";
  if (!fs::exists(signature, error)) {
    return {label + "missing: a signed release's manifest is signed too (brindax-publish make --sign)"};
  }
  ReleaseSignature parsed;
  if (verify_file_signature(manifest.string().c_str(), signature.string().c_str(), key) != SignatureCheck::ok ||
      read_signature_file(signature.string().c_str(), &parsed) != SignatureCheck::ok) {
    return {};  // reported with the signatures
  }
  const std::optional<ManifestBinding> binding = parse_manifest_binding(parsed.trusted_comment);
  if (!binding) return {label + "the trusted comment binds no release (\"" + parsed.trusted_comment + "\")"};
  std::vector<std::string> problems;
  if (binding->sequence != release.sequence) {
    problems.push_back(label + "binds release " + std::to_string(binding->sequence) + ", the list's signature " +
                       std::to_string(release.sequence));
  }
  if (binding->list_digest != text_digest(list)) {
    problems.push_back(label + "binds another list than " + list_name);
  }
  return problems;
}

}  // namespace brindax::publish
