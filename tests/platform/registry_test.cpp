// Registry reads: opening keys, default and named string values, missing ones and short buffers.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include "tests/platform/scratch_registry_key.h"

namespace korvel::platform {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  test::ScratchRegistryKey scratch;
};

TEST_F(RegistryTest, MissingKeyDoesNotOpenAndAnswersNothing) {
  RegistryKey key(RegistryHive::CurrentUser, scratch.path() + "\\missing");
  EXPECT_FALSE(key.isOpen());
  std::string out = "unchanged";
  EXPECT_NE(key.queryString("Path", out, 256), kRegistrySuccess);
  EXPECT_EQ(out, "unchanged");
  RegistryKey child(key, "deeper");
  EXPECT_FALSE(child.isOpen());
}

TEST_F(RegistryTest, ReadsDefaultAndNamedValues) {
  ASSERT_TRUE(scratch.setValue("App.exe", "", "C:\\Games\\App.exe"));
  ASSERT_TRUE(scratch.setValue("App.exe", "Path", "C:\\Games"));
  RegistryKey key(RegistryHive::CurrentUser, scratch.path() + "\\App.exe");
  ASSERT_TRUE(key.isOpen());
  std::string out;
  EXPECT_EQ(key.queryString("", out, 512), kRegistrySuccess);
  EXPECT_EQ(out, "C:\\Games\\App.exe");
  EXPECT_EQ(key.queryString("Path", out, 256), kRegistrySuccess);
  EXPECT_EQ(out, "C:\\Games");
}

TEST_F(RegistryTest, MissingValuesGiveNotFound) {
  ASSERT_TRUE(scratch.setValue("OnlyPath.exe", "Path", "C:\\Games"));
  RegistryKey key(RegistryHive::CurrentUser, scratch.path() + "\\OnlyPath.exe");
  ASSERT_TRUE(key.isOpen());
  std::string out = "unchanged";
  EXPECT_EQ(key.queryString("", out, 512), kRegistryNotFound);
  EXPECT_EQ(key.queryString("Other", out, 512), kRegistryNotFound);
  EXPECT_EQ(out, "unchanged");
}

TEST_F(RegistryTest, KeyWithoutValuesOpens) {
  ASSERT_TRUE(scratch.addKey("Empty"));
  RegistryKey key(RegistryHive::CurrentUser, scratch.path() + "\\Empty");
  EXPECT_TRUE(key.isOpen());
  std::string out;
  EXPECT_EQ(key.queryString("", out, 16), kRegistryNotFound);
}

TEST_F(RegistryTest, OpensSubkeysOfAnOpenKeyIgnoringLetterCase) {
  ASSERT_TRUE(scratch.setValue("Parent\\Child", "Name", "value"));
  RegistryKey parent(RegistryHive::CurrentUser, scratch.path() + "\\PARENT");
  ASSERT_TRUE(parent.isOpen());
  RegistryKey child(parent, "child");
  ASSERT_TRUE(child.isOpen());
  std::string out;
  EXPECT_EQ(child.queryString("Name", out, 64), kRegistrySuccess);
  EXPECT_EQ(out, "value");
}

TEST_F(RegistryTest, BufferMustHoldTheValueAndItsTerminator) {
  ASSERT_TRUE(scratch.setValue("Sized", "Path", "0123456789"));
  RegistryKey key(RegistryHive::CurrentUser, scratch.path() + "\\Sized");
  ASSERT_TRUE(key.isOpen());
  std::string out = "unchanged";
  EXPECT_EQ(key.queryString("Path", out, 10), kRegistryMoreData);
  EXPECT_EQ(key.queryString("Path", out, 4), kRegistryMoreData);
  EXPECT_EQ(out, "unchanged");
  EXPECT_EQ(key.queryString("Path", out, 11), kRegistrySuccess);
  EXPECT_EQ(out, "0123456789");
}

TEST_F(RegistryTest, EmptyValueIsReadAsEmptyText) {
  ASSERT_TRUE(scratch.setValue("Blank", "Path", ""));
  RegistryKey key(RegistryHive::CurrentUser, scratch.path() + "\\Blank");
  std::string out = "unchanged";
  EXPECT_EQ(key.queryString("Path", out, 8), kRegistrySuccess);
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace korvel::platform
