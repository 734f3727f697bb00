#include "pack/pack_test_support.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "pack/zip_backend.h"
#include "runtime/core/strings.h"

namespace brindax::testing_support {

namespace fs = std::filesystem;

void PackFolderTest::SetUp() {
  previous_ = fs::current_path();
  std::random_device random;
  folder_ = fs::temp_directory_path() / ("brindax-pack-" + std::to_string(random()));
  fs::create_directories(folder_);
  fs::current_path(folder_);
  zip_backend_register();
}

void PackFolderTest::TearDown() {
  pack_close(OBJECT_DYNAMIC);
  EXPECT_EQ(string_stack_position(), 0) << "a string temporary was left on the stack";
  fs::current_path(previous_);
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> folder_names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(folder)) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string noise(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(generator() & 0xFF);
  }
  return bytes;
}

void make_archive(const char* path,
                  const std::vector<std::pair<std::string, std::string>>& entries) {
  Pack pack{};
  ASSERT_NE(zip_backend_create(&pack, path), 0);
  for (const auto& [name, data] : entries) {
    ASSERT_EQ(zip_backend_add_memory(pack.state, data.data(),
                                     static_cast<std::int32_t>(data.size()), name.c_str()),
              1)
        << name;
  }
  zip_backend_close(pack.state);
}

std::string entry_name(ObjectId pack) {
  StackMark mark;
  return pack_entry_name(pack, mark.offset());
}

}  // namespace brindax::testing_support
