// Opening and unpacking an arbitrary archive through the pack interface, the
// way an install does: walk the entries, refuse unsafe and colliding names,
// stage each file beside its destination, then move them all into place, or
// leave nothing at all when any entry fails.
//
// Everything happens in a private folder tree made at start-up:
//   <root>/archive          the input
//   <root>/1/2/3/work/      the current folder while unpacking
// A name that climbs out of work/ lands somewhere below <root>, where it is
// seen, instead of in the rest of the file system. After every input the tree
// must hold nothing but the archive and the nesting folders; work/ is then
// emptied.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>

#include "fuzz/fuzz_check.h"
#include "pack/pack.h"
#include "pack/zip_backend.h"
#include "runtime/core/file.h"
#include "runtime/core/file_transaction.h"
#include "runtime/core/heap.h"
#include "runtime/core/strings.h"
#include "updater/entry_path.h"

using namespace brindax;
namespace fs = std::filesystem;

namespace {

fs::path g_start;  // the current folder outside an input's unpack
fs::path g_root;
fs::path g_work;
std::string g_archive;

void remove_root() {
  std::error_code ignored;
  fs::current_path(fs::temp_directory_path(), ignored);
  fs::remove_all(g_root, ignored);
}

bool work_is_empty() { return fs::is_empty(g_work); }

// As an install does: every entry checked and staged beside its destination,
// then all moved into place; one failing entry undoes everything, so that
// work/ is left as empty as it was.
void unpack_all(std::intptr_t pack) {
  if (pack_examine(pack) == 0) return;
  bool staged_all = true;
  {
    FileTransaction transaction;
    std::set<std::string> keys;
    while (staged_all && pack_next_entry(pack) != 0) {
      StackMark mark;
      const std::string name(pack_entry_name(pack, mark.offset()));
      staged_all = entry_name_is_safe(name.c_str()) && keys.insert(entry_name_key(name.c_str())).second &&
                   make_entry_folders(name.c_str(), transaction);
      if (!staged_all || entry_is_directory(name.c_str())) continue;
      const std::string& staged = transaction.stage(name.c_str());
      staged_all = !staged.empty() && pack_unpack_entry_to_file(pack, staged.c_str(), "") >= 0;
    }
    if (staged_all && transaction.commit(nullptr)) return;
  }
  FUZZ_CHECK(work_is_empty());
}

// Nothing but the archive and the folders on the way to work/ below the root.
void check_nothing_outside_work() {
  for (auto it = fs::recursive_directory_iterator(g_root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path& path = it->path();
    if (path == g_work) {
      it.disable_recursion_pending();
      continue;
    }
    if (path.string() == g_archive) continue;
    const bool on_the_way = it->is_directory() && !it->is_symlink() &&
                            g_work.string().rfind(path.string() + "/", 0) == 0;
    if (!on_the_way) std::fprintf(stderr, "written outside the unpack folder: %s\n", path.c_str());
    FUZZ_CHECK(on_the_way);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "brindax-fuzz-pack-XXXXXX").string();
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  g_root = pattern;
  g_work = g_root / "1" / "2" / "3" / "work";
  g_archive = (g_root / "archive").string();
  fs::create_directories(g_work);
  g_start = fs::current_path();
  std::atexit(remove_root);

  main_heap_create();
  string_library_init();
  file_library_init();
  pack_library_init();
  zip_backend_register();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out(g_archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
  }
  const std::intptr_t pack = pack_open(OBJECT_DYNAMIC, g_archive.c_str());
  if (pack != 0) {
    fs::current_path(g_work);
    unpack_all(pack);
    pack_close(pack);
    fs::current_path(g_start);
  }
  check_nothing_outside_work();
  for (const auto& entry : fs::directory_iterator(g_work)) fs::remove_all(entry.path());
  return 0;
}
