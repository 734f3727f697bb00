#include "pack/zip_backend.h"

#include <zlib.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/core/encoding.h"
#include "runtime/core/heap.h"
#include "runtime/core/os_file.h"
#include "runtime/core/replacing_file.h"
#include "runtime/core/strings.h"
#include "runtime/core/text.h"

namespace brindax {
namespace {

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
using MallocText = std::unique_ptr<char, FreeDeleter>;

struct MainHeapDeleter {
  void operator()(void* block) const { main_free(block); }
};
using MainHeapBlock = std::unique_ptr<void, MainHeapDeleter>;

struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipEntryReader = std::unique_ptr<zip_file_t, ZipFileCloser>;

constexpr zip_uint64_t LARGEST_UNPACKABLE_ENTRY = INT32_MAX;

const PackBackend kZipBackend = {
    zip_backend_close,         zip_backend_open,          zip_backend_add_file,
    zip_backend_add_memory,    zip_backend_create,        zip_backend_examine,
    zip_backend_entry_size,    zip_backend_entry_type,    zip_backend_next_entry,
    zip_backend_entry_name,    zip_backend_unpack_to_file, zip_backend_unpack_to_memory,
    zip_backend_remove_entry,  zip_backend_compress_memory, zip_backend_uncompress_memory,
};

ZipPackState* archive_state(void* state) {
  auto* zip_state = static_cast<ZipPackState*>(state);
  return zip_state != nullptr && zip_state->archive != nullptr ? zip_state : nullptr;
}

bool names_directory(const char* name) {
  if (name == nullptr) {
    return false;
  }
  const std::size_t length = std::strlen(name);
  return length != 0 && name[length - 1] == '/';
}

bool has_text(const char* text) { return text != nullptr && *text != '\0'; }

MallocText copy_text(const char* text) {
  const std::size_t size = std::strlen(text) + 1;
  MallocText copy(static_cast<char*>(std::malloc(size)));
  if (copy) {
    std::memcpy(copy.get(), text, size);
  }
  return copy;
}

// Opens or creates the archive and makes the pack's state; 0 on failure.
std::intptr_t attach_archive(Pack* pack, const char* file, int flags) {
  if (pack == nullptr || !has_text(file)) {
    return 0;
  }
  MallocText name_copy = copy_text(file);
  if (!name_copy) {
    return 0;
  }
  int error = 0;
  zip_t* archive = zip_open(zip_backend_archive_path(file).c_str(), flags, &error);
  if (archive == nullptr) {
    return 0;
  }
  auto* state = static_cast<ZipPackState*>(main_alloc(sizeof(ZipPackState), true));
  if (state == nullptr) {
    zip_discard(archive);
    return 0;
  }
  state->archive = archive;
  state->file_name = name_copy.release();
  pack->backend = &kZipBackend;
  pack->state = state;
  return reinterpret_cast<std::intptr_t>(state);
}

// The index of the entry an unpack reads: by exact name when one is given,
// else the current entry, which must not be a directory. -1 when none.
zip_int64_t choose_entry(const ZipPackState* state, const char* entry_name) {
  if (has_text(entry_name)) {
    return zip_locate_entry(state->archive, entry_name);
  }
  if (state->has_entry == 0 || names_directory(state->entry_stat.name)) {
    return -1;
  }
  std::string exact;
  if (!utf8_to_ansi_exact(state->entry_stat.name != nullptr ? state->entry_stat.name : "", &exact)) {
    return -1;
  }
  return state->current_index;
}

// Where an unpack writes: a file that takes the destination's place once
// complete, or the destination itself, a private file of the caller's.
class UnpackOutput {
 public:
  explicit UnpackOutput(UnpackTarget target) : in_place_(target == UnpackTarget::in_place) {}
  ~UnpackOutput() {
    if (file_ != os::NO_FILE) os::close(file_);
  }
  UnpackOutput(const UnpackOutput&) = delete;
  UnpackOutput& operator=(const UnpackOutput&) = delete;

  bool open(const char* destination) {
    if (!in_place_) return replacing_.open(destination);
    path_ = destination;
    file_ = os::create_always(destination);
    return file_ != os::NO_FILE;
  }
  bool write(const void* data, std::int32_t n) {
    return in_place_ ? os::write_all(file_, data, n) : replacing_.write(data, n);
  }
  bool commit(bool executable) {
    if (!in_place_) {
      replacing_.set_executable(executable);
      return replacing_.commit();
    }
    // The caller moves the file into place later: its data goes to the
    // disk here, on the worker that wrote it, so that a power cut never
    // leaves an installed name with missing content.
    const bool flushed = os::flush(file_);
    const bool closed = os::close(file_);
    file_ = os::NO_FILE;
    if (closed && executable) os::set_executable(path_, true);
    return flushed && closed;
  }

 private:
  bool in_place_;
  ReplacingFile replacing_;
  os::FileHandle file_ = os::NO_FILE;
  const char* path_ = nullptr;
};

std::int32_t add_source(ZipPackState* state, zip_source_t* source, const char* utf8_name) {
  if (zip_file_add(state->archive, utf8_name, source, 0) < 0) {
    zip_source_free(source);
    return 0;
  }
  return 1;
}

}  // namespace

std::int32_t zip_backend_register() {
  pack_register_backend(PACK_BACKEND_ZIP, &kZipBackend);
  return 1;
}

const PackBackend* zip_backend_table() { return &kZipBackend; }

std::intptr_t zip_backend_open(Pack* pack, const char* file) {
  return attach_archive(pack, file, 0);
}

std::intptr_t zip_backend_create(Pack* pack, const char* file) {
  if (pack == nullptr || !has_text(file)) {
    return 0;
  }
  os::delete_file(file);
  return attach_archive(pack, file, ZIP_CREATE);
}

void zip_backend_close(void* state) {
  auto* zip_state = static_cast<ZipPackState*>(state);
  if (zip_state == nullptr) {
    return;
  }
  // Writes pending changes; an archive that was only read stays untouched.
  // When writing fails the changes are dropped, so nothing is left open.
  if (zip_state->archive != nullptr && zip_close(zip_state->archive) != 0) {
    zip_discard(zip_state->archive);
  }
  std::free(zip_state->file_name);
  main_free(zip_state);
}

std::int32_t zip_backend_examine(void* state) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr) {
    return 0;
  }
  const zip_int64_t count = zip_get_num_entries(zip_state->archive, 0);
  zip_state->entry_count = static_cast<std::int32_t>(count < 0 ? 0 : count > INT32_MAX ? INT32_MAX : count);
  zip_state->current_index = -1;
  zip_state->has_entry = 0;
  return 1;
}

std::int32_t zip_backend_next_entry(void* state) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr) {
    return 0;
  }
  const std::int64_t next = static_cast<std::int64_t>(zip_state->current_index) + 1;
  if (next < zip_state->entry_count) {
    zip_state->current_index = static_cast<std::int32_t>(next);
    // A deleted entry has no stat; it then reads as a nameless file entry.
    zip_stat_init(&zip_state->entry_stat);
    zip_stat_index(zip_state->archive, static_cast<zip_uint64_t>(next), 0, &zip_state->entry_stat);
    zip_state->has_entry = 1;
  } else {
    zip_state->has_entry = 0;
  }
  return zip_state->has_entry;
}

char* zip_backend_entry_name(void* state, std::int32_t offset) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr || zip_state->has_entry == 0) {
    return string_stack_set_empty(offset);
  }
  // A name the 8-bit text cannot hold exactly reads with "?" in the places
  // it cannot hold; such an entry is never unpacked as the current entry.
  std::string name;
  utf8_to_ansi_exact(zip_state->entry_stat.name != nullptr ? zip_state->entry_stat.name : "", &name);
  char* text = string_stack_reserve(static_cast<std::int32_t>(name.size()), offset);
  if (text == nullptr) {
    return string_stack_set_empty(offset);
  }
  std::memcpy(text, name.c_str(), name.size() + 1);
  return text;
}

std::int32_t zip_backend_entry_size(void* state, std::int32_t kind) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr || zip_state->has_entry == 0) {
    return -1;
  }
  const zip_uint64_t size = kind == 1 ? zip_state->entry_stat.comp_size : zip_state->entry_stat.size;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(size));
}

std::int32_t zip_backend_entry_type(void* state) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr || zip_state->has_entry == 0) {
    return -1;
  }
  return names_directory(zip_state->entry_stat.name) ? 1 : 0;
}

std::int32_t zip_backend_unpack_to_file(void* state, const char* destination,
                                        const char* entry_name) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr || !has_text(destination)) {
    return -1;
  }
  const zip_int64_t index = choose_entry(zip_state, entry_name);
  if (index < 0) {
    return -1;
  }
  MainHeapBlock buffer(main_alloc(UNPACK_BUFFER_SIZE, false));
  if (!buffer) {
    return -1;
  }
  return zip_unpack_index_to_file(zip_state->archive, static_cast<zip_uint64_t>(index), destination,
                                  buffer.get(), UNPACK_BUFFER_SIZE, UnpackTarget::replace, nullptr,
                                  nullptr);
}

zip_int64_t zip_locate_entry(zip_t* archive, const char* entry_name) {
  MallocText utf8_name(ansi_to_utf8(entry_name));
  if (archive == nullptr || !utf8_name) {
    return -1;
  }
  return zip_name_locate(archive, utf8_name.get(), 0);
}

bool zip_entry_recorded_executable(zip_t* archive, zip_uint64_t index) {
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) != 0) {
    return false;
  }
  return opsys == ZIP_OPSYS_UNIX && ((attributes >> 16) & 0111) != 0;
}

bool zip_entry_walk_unpackable(zip_t* archive, zip_uint64_t index) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  std::string exact;
  return archive != nullptr && zip_stat_index(archive, index, 0, &stat) == 0 &&
         (stat.valid & ZIP_STAT_NAME) != 0 && !names_directory(stat.name) &&
         utf8_to_ansi_exact(stat.name != nullptr ? stat.name : "", &exact);
}

std::int32_t zip_unpack_index_to_file(zip_t* archive, zip_uint64_t index, const char* destination,
                                      void* buffer, std::int32_t buffer_size, UnpackTarget target,
                                      UnpackStopCheck stop_requested, const void* stop_context) {
  if (archive == nullptr || !has_text(destination) || buffer == nullptr || buffer_size <= 0) {
    return -1;
  }
  // The result counts bytes in 32 bits: larger entries are refused before
  // anything is written.
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0 ||
      stat.size > LARGEST_UNPACKABLE_ENTRY) {
    return -1;
  }
  ZipEntryReader reader(zip_fopen_index(archive, index, 0));
  if (!reader) {
    return -1;
  }
  // Replacing, the destination changes only once the whole entry was read
  // (libzip checks the CRC at its end) and written.
  UnpackOutput output(target);
  if (!output.open(destination)) {
    return -1;
  }
  // Not one byte more than the archive declares for the entry is written.
  const auto declared = static_cast<std::int64_t>(stat.size);
  std::int64_t total = 0;
  for (;;) {
    if (stop_requested != nullptr && stop_requested(stop_context)) {
      return -1;
    }
    const zip_int64_t n = zip_fread(reader.get(), buffer, static_cast<zip_uint64_t>(buffer_size));
    if (n < 0) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    total += n;
    if (total > declared || !output.write(buffer, static_cast<std::int32_t>(n))) {
      return -1;
    }
  }
  if (total != declared) {
    return -1;
  }
  if (!output.commit(zip_entry_recorded_executable(archive, index))) {
    return -1;
  }
  return static_cast<std::int32_t>(total);
}

std::int32_t zip_backend_unpack_to_memory(void* state, void* buffer, std::int32_t size,
                                          const char* entry_name) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr || size < 0 || (buffer == nullptr && size > 0)) {
    return -1;
  }
  const zip_int64_t index = choose_entry(zip_state, entry_name);
  if (index < 0) {
    return -1;
  }
  ZipEntryReader reader(zip_fopen_index(zip_state->archive, static_cast<zip_uint64_t>(index), 0));
  if (!reader) {
    return -1;
  }
  const zip_int64_t n = zip_fread(reader.get(), buffer, static_cast<zip_uint64_t>(size));
  return n < 0 ? -1 : static_cast<std::int32_t>(n);
}

std::int32_t zip_backend_add_file(void* state, const char* source, const char* name) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr || !has_text(source)) {
    return 0;
  }
  MallocText utf8_name(ansi_to_utf8(name));
  if (!utf8_name) {
    return 0;
  }
  std::FILE* stream = std::fopen(zip_backend_stream_path(source).c_str(), "rb");
  if (stream == nullptr) {
    return 0;
  }
  // From here the source owns the stream and closes it when freed.
  zip_source_t* data = zip_source_filep(zip_state->archive, stream, 0, 0);
  if (data == nullptr) {
    std::fclose(stream);
    return 0;
  }
  return add_source(zip_state, data, utf8_name.get());
}

std::int32_t zip_backend_add_memory(void* state, const void* data, std::int32_t size,
                                    const char* name) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr || size < 0 || (data == nullptr && size > 0)) {
    return 0;
  }
  MallocText utf8_name(ansi_to_utf8(name));
  if (!utf8_name) {
    return 0;
  }
  // libzip keeps its own copy until the archive is written, so the caller may
  // reuse its block at once.
  void* copy = nullptr;
  if (size > 0) {
    copy = std::malloc(static_cast<std::size_t>(size));
    if (copy == nullptr) {
      return 0;
    }
    std::memcpy(copy, data, static_cast<std::size_t>(size));
  }
  zip_source_t* source =
      zip_source_buffer(zip_state->archive, copy, static_cast<zip_uint64_t>(size), 1);
  if (source == nullptr) {
    std::free(copy);
    return 0;
  }
  return add_source(zip_state, source, utf8_name.get());
}

std::int32_t zip_backend_remove_entry(void* state, const char* entry_name) {
  ZipPackState* zip_state = archive_state(state);
  if (zip_state == nullptr) {
    return 0;
  }
  MallocText utf8_name(ansi_to_utf8(entry_name));
  if (!utf8_name) {
    return 0;
  }
  const zip_int64_t index = zip_name_locate(zip_state->archive, utf8_name.get(), 0);
  if (index < 0) {
    return 0;
  }
  zip_delete(zip_state->archive, static_cast<zip_uint64_t>(index));
  // The current entry's name may have gone with it.
  if (zip_state->has_entry != 0 && index == zip_state->current_index) {
    zip_state->has_entry = 0;
  }
  return 1;
}

std::int32_t zip_backend_compress_memory(const void* source, std::int32_t source_size,
                                         void* destination, std::int32_t capacity) {
  if (source == nullptr || destination == nullptr || source_size < 0 || capacity < 0) {
    return 0;
  }
  uLongf length = static_cast<uLongf>(capacity);
  if (compress(static_cast<Bytef*>(destination), &length, static_cast<const Bytef*>(source),
               static_cast<uLong>(source_size)) != Z_OK) {
    return 0;
  }
  return static_cast<std::int32_t>(length);
}

std::int32_t zip_backend_uncompress_memory(const void* source, std::int32_t source_size,
                                           void* destination, std::int32_t capacity) {
  if (source == nullptr || destination == nullptr || source_size < 0 || capacity < 0) {
    return -1;
  }
  uLongf length = static_cast<uLongf>(capacity);
  if (uncompress(static_cast<Bytef*>(destination), &length, static_cast<const Bytef*>(source),
                 static_cast<uLong>(source_size)) != Z_OK) {
    return -1;
  }
  return static_cast<std::int32_t>(length);
}

}  // namespace brindax
