// FolderListing: the entries of one folder with their attributes, 64-bit sizes and times.
#include "platform/folder_listing.h"

#include <map>

#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace korvel::platform {
namespace {

using test::writeFile;

using FolderListingTest = test::TempDirTest;

// The entries of a folder by name, "." and ".." left out.
std::map<std::string, FolderEntry> listEntries(const std::string& folder) {
  std::map<std::string, FolderEntry> entries;
  FolderListing listing(folder);
  FolderEntry entry;
  while (listing.next(entry))
    if (entry.name != "." && entry.name != "..") entries[entry.name] = entry;
  return entries;
}

TEST_F(FolderListingTest, ListsFilesAndFoldersWithTheirDetails) {
  ASSERT_TRUE(writeFile(dir.file("one.txt"), "12345"));
  ASSERT_TRUE(writeFile(dir.file("empty"), ""));
  ASSERT_TRUE(createDirectory(dir.file("sub")));
  ASSERT_TRUE(writeFile(dir.file("sub\\hidden.txt"), "x"));
  ASSERT_TRUE(setFileTime(dir.file("one.txt"), 1300000000));

  const auto entries = listEntries(dir.path());
  ASSERT_EQ(entries.size(), 3u);
  const FolderEntry& one = entries.at("one.txt");
  EXPECT_EQ(one.size, 5u);
  EXPECT_EQ(one.modifiedSeconds, 1300000000);
  EXPECT_EQ(one.attributes & kAttributeDirectory, 0u);
  EXPECT_EQ(entries.at("empty").size, 0u);
  EXPECT_NE(entries.at("sub").attributes & kAttributeDirectory, 0u);
  // Only the folder's own entries, not those of its sub-folders.
  EXPECT_EQ(entries.count("hidden.txt"), 0u);
}

TEST_F(FolderListingTest, AcceptsAFolderNameWithATrailingSeparator) {
  ASSERT_TRUE(writeFile(dir.file("a"), "x"));
  const auto entries = listEntries(dir.path() + "\\");
  EXPECT_EQ(entries.count("a"), 1u);
}

TEST_F(FolderListingTest, EmptyFolderHasNoOwnEntries) {
  ASSERT_TRUE(createDirectory(dir.file("void")));
  FolderListing listing(dir.file("void"));
  EXPECT_TRUE(listing.isOpen());
  EXPECT_TRUE(listEntries(dir.file("void")).empty());
}

TEST_F(FolderListingTest, MissingFolderIsNotOpenAndYieldsNothing) {
  FolderListing listing(dir.file("missing"));
  EXPECT_FALSE(listing.isOpen());
  FolderEntry entry;
  EXPECT_FALSE(listing.next(entry));
  EXPECT_FALSE(listing.next(entry));
}

TEST_F(FolderListingTest, ReportsSizesBeyondFourGibibytes) {
  constexpr std::int64_t kSize = 5LL * 1024 * 1024 * 1024 + 1;
  const std::string path = dir.file("big.bin");
  {
    // A sparse file: one byte written past 5 GiB takes no real space where the file system allows it.
    File out = File::open(path, "wb");
    ASSERT_TRUE(out);
    if (!out.seek(kSize - 1) || out.write("!", 1) != 1 || !out.close()) {
      deleteFile(path);
      GTEST_SKIP() << "the file system cannot hold a 5 GiB file here";
    }
  }
  FileInfo info;
  ASSERT_TRUE(fileInfo(path, info));
  EXPECT_EQ(info.size, static_cast<std::uint64_t>(kSize));
  const auto entries = listEntries(dir.path());
  ASSERT_EQ(entries.count("big.bin"), 1u);
  EXPECT_EQ(entries.at("big.bin").size, static_cast<std::uint64_t>(kSize));
  EXPECT_TRUE(deleteFile(path));
}

}  // namespace
}  // namespace korvel::platform
