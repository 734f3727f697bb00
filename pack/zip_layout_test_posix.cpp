// Packages written by Info-ZIP's zip: streamed (every entry followed by a
// data descriptor) and ZIP64.
#include <gtest/gtest.h>

#include "pack/pack_test_support.h"
#include "pack/zip_layout.h"
#include "pack/zip_layout_test_support.h"

namespace brindax {
namespace {

using testing_support::noise;
using testing_support::read_file;
using testing_support::write_file;

class ZipLayoutToolTest : public testing_support::PackFolderTest {};

TEST_F(ZipLayoutToolTest, StreamedAndZip64Packages) {
  std::map<std::string, std::string> contents;
  std::string names;
  for (int i = 0; i < 6; ++i) {
    const std::string name = "f" + std::to_string(i);
    contents[name] = noise(40000, static_cast<std::uint32_t>(i));
    write_file(name, contents[name]);
    names += " " + name;
  }
  struct Case {
    const char* what;
    std::string arguments;
    const char* marker;  // a signature the package must hold
  };
  const Case cases[] = {
      {"streamed", "-" + names + " | cat > p.zip", "PK\x07\x08"},
      {"zip64", "-fz p.zip" + names, "PK\x06\x06"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove("p.zip");
    ASSERT_EQ(testing_support::run_zip(folder_, c.arguments), 0);
    const std::string package = read_file("p.zip");
    ASSERT_NE(package.find(c.marker), std::string::npos);
    const auto ranges = testing_support::ranges_for(package, {"f1", "f3"});
    ASSERT_TRUE(ranges.has_value());
    EXPECT_EQ(ranges->size(), 2u);
    testing_support::expect_entries_read_back(package, *ranges,
                                              {{"f1", contents["f1"]}, {"f3", contents["f3"]}});
  }
}

}  // namespace
}  // namespace brindax
