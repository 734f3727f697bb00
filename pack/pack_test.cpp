// The pack interface: backend table, opening, forwarding and closing, with a
// recording backend beside the ZIP one.
#include <gtest/gtest.h>

#include <cstring>

#include "pack/pack.h"
#include "pack/pack_test_support.h"
#include "pack/zip_backend.h"

namespace brindax {
namespace {

using testing_support::PackFolderTest;

constexpr std::int32_t FAKE_BACKEND = 0x66616B65;

// Opens any file named "good"; counts closes; every other slot reports the
// state it was handed.
struct FakeState {
  int tag;
};
FakeState g_fake_state{42};
int g_fake_closes = 0;
void* g_fake_last_state = nullptr;

std::intptr_t fake_open(Pack* pack, const char* file) {
  if (std::strcmp(file, "good") != 0) {
    return 0;
  }
  pack->backend = pack_find_backend(FAKE_BACKEND)->backend;
  pack->state = &g_fake_state;
  return 1;
}
void fake_close(void* state) {
  g_fake_last_state = state;
  ++g_fake_closes;
}
std::int32_t fake_examine(void* state) {
  g_fake_last_state = state;
  return 7;
}

PackBackend fake_table() {
  PackBackend table{};
  table.open = fake_open;
  table.close = fake_close;
  table.examine = fake_examine;
  return table;
}
const PackBackend kFake = fake_table();

class PackInterfaceTest : public PackFolderTest {
 protected:
  void SetUp() override {
    PackFolderTest::SetUp();
    pack_register_backend(FAKE_BACKEND, &kFake);
    g_fake_closes = 0;
    g_fake_last_state = nullptr;
  }
};

TEST_F(PackInterfaceTest, BackendTableKeepsOneEntryPerIdInRegistrationOrder) {
  const std::int32_t count = pack_backend_count();
  zip_backend_register();
  const PackBackend other{};
  pack_register_backend(FAKE_BACKEND, &other);
  EXPECT_EQ(pack_backend_count(), count);

  ASSERT_NE(pack_find_backend(PACK_BACKEND_ZIP), nullptr);
  EXPECT_EQ(pack_find_backend(PACK_BACKEND_ZIP)->backend, zip_backend_table());
  EXPECT_EQ(pack_find_backend(FAKE_BACKEND)->backend, &kFake);
  // The fixture registers the ZIP backend before the fake one.
  EXPECT_EQ(pack_find_backend(PACK_BACKEND_ANY)->id, PACK_BACKEND_ZIP);
  EXPECT_EQ(pack_find_backend(0x1234), nullptr);
}

TEST_F(PackInterfaceTest, FailedOpensLeaveNoPackBehind) {
  testing_support::write_file("not-a-zip.zip", "plain text, no archive");
  EXPECT_EQ(pack_open(OBJECT_DYNAMIC, ""), 0);
  EXPECT_EQ(pack_open(OBJECT_DYNAMIC, nullptr), 0);
  EXPECT_EQ(pack_open(OBJECT_DYNAMIC, "missing.zip"), 0);
  EXPECT_EQ(pack_open(OBJECT_DYNAMIC, "not-a-zip.zip"), 0);
  EXPECT_EQ(pack_open_with_backend(OBJECT_DYNAMIC, "good", 0x1234), 0);
  EXPECT_EQ(pack_open_with_backend(OBJECT_DYNAMIC, "bad", FAKE_BACKEND), 0);
  // Every failed dynamic open gave its element back at once.
  EXPECT_EQ(pack_registry()->dynamic_list, nullptr);
  EXPECT_EQ(testing_support::folder_names("."), std::vector<std::string>{"not-a-zip.zip"});

  EXPECT_EQ(pack_open(5, "missing.zip"), 0);
  EXPECT_EQ(pack_lookup(5), nullptr);
}

TEST_F(PackInterfaceTest, ReopeningANumberClosesItsPackEvenWhenTheOpenFails) {
  const std::intptr_t first = pack_open_with_backend(3, "good", FAKE_BACKEND);
  ASSERT_NE(first, 0);
  EXPECT_EQ(pack_examine(3), 7);
  EXPECT_EQ(g_fake_last_state, &g_fake_state);

  EXPECT_EQ(pack_open_with_backend(3, "good", FAKE_BACKEND), first);
  EXPECT_EQ(g_fake_closes, 1);
  EXPECT_EQ(pack_open_with_backend(3, "bad", FAKE_BACKEND), 0);
  EXPECT_EQ(g_fake_closes, 2);
  EXPECT_EQ(pack_examine(3), 0);
}

TEST_F(PackInterfaceTest, MissingPacksGiveTheirFailureResults) {
  ASSERT_NE(pack_open_with_backend(4, "good", FAKE_BACKEND), 0);
  pack_close(4);
  EXPECT_EQ(g_fake_closes, 1);
  for (const ObjectId missing : {ObjectId{4}, ObjectId{9}}) {
    EXPECT_EQ(pack_examine(missing), 0);
    EXPECT_EQ(pack_next_entry(missing), 0);
    EXPECT_EQ(testing_support::entry_name(missing), "");
    EXPECT_EQ(pack_unpack_entry_to_file(missing, "out", "a"), -1);
    pack_close(missing);
  }
  EXPECT_EQ(g_fake_closes, 1);
  EXPECT_TRUE(testing_support::folder_names(".").empty());
}

TEST_F(PackInterfaceTest, CloseAllClosesNumberedAndDynamicPacks) {
  ASSERT_NE(pack_open_with_backend(0, "good", FAKE_BACKEND), 0);
  ASSERT_NE(pack_open_with_backend(20, "good", FAKE_BACKEND), 0);
  const std::intptr_t dynamic = pack_open_with_backend(OBJECT_DYNAMIC, "good", FAKE_BACKEND);
  ASSERT_NE(dynamic, 0);
  EXPECT_EQ(pack_examine(dynamic), 7);

  pack_close(OBJECT_DYNAMIC);
  EXPECT_EQ(g_fake_closes, 3);
  EXPECT_EQ(pack_lookup(0), nullptr);
  EXPECT_EQ(pack_lookup(20), nullptr);
  EXPECT_EQ(pack_registry()->dynamic_list, nullptr);
}

}  // namespace
}  // namespace brindax
