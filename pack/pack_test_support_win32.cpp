#include <zip.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "pack/pack_test_support.h"

namespace brindax::testing_support {
namespace fs = std::filesystem;

// The Windows test programs run under Wine on the build machine, where the
// host's zip cannot be started. Its use here, "[-r] archive names...", is
// done with libzip instead, as zip does it: into the archive, made when it is
// missing and updated when it exists, each name in order, a folder followed
// by its contents, folders as entries of their own ending in "/".

namespace {

std::string utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

fs::path from_utf8(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

bool add_tree(zip_t* archive, const fs::path& folder, const std::string& name) {
  const fs::path path = folder / from_utf8(name);
  if (fs::is_directory(path)) {
    if (zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8) < 0) return false;
    std::vector<std::string> children;
    for (const auto& item : fs::directory_iterator(path)) {
      children.push_back(name + "/" + utf8(item.path().filename()));
    }
    std::sort(children.begin(), children.end());
    for (const auto& child : children) {
      if (!add_tree(archive, folder, child)) return false;
    }
    return true;
  }
  zip_source_t* source = zip_source_file(archive, utf8(path).c_str(), 0, 0);
  if (source == nullptr) return false;
  if (zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
    zip_source_free(source);
    return false;
  }
  return true;
}

}  // namespace

int run_zip(const fs::path& folder, const std::string& arguments) {
  std::istringstream words(arguments);
  std::string archive_name;
  if (!(words >> archive_name)) return 2;
  if (archive_name == "-r" && !(words >> archive_name)) return 2;
  const fs::path archive_path = folder / from_utf8(archive_name);
  int error = 0;
  zip_t* archive = zip_open(utf8(archive_path).c_str(), ZIP_CREATE, &error);
  if (archive == nullptr) return 1;
  for (std::string name; words >> name;) {
    if (!add_tree(archive, folder, name)) {
      zip_discard(archive);
      return 1;
    }
  }
  return zip_close(archive) == 0 ? 0 : 1;
}

}  // namespace brindax::testing_support
