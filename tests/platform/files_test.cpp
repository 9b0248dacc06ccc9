// Files and folders through the platform layer: attributes, times, deletion, renaming, folders,
// free space and the path forms, the same tests against either backend.
#include "platform/files.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace korvel::platform {
namespace {

using test::TempDirTest;
using test::writeFile;

// Whether this backend spells absolute paths with a drive letter (Win32) or a leading separator.
bool drivePaths() { return isAbsolutePath("C:\\x"); }

// Restores the process's current directory when a test changed it.
class CurrentDirectoryGuard {
 public:
  CurrentDirectoryGuard() : saved_(currentDirectory()) {}
  ~CurrentDirectoryGuard() { setCurrentDirectory(saved_); }

 private:
  std::string saved_;
};

using FilesTest = TempDirTest;

TEST_F(FilesTest, ReportsExistenceOfFilesAndFolders) {
  ASSERT_TRUE(writeFile(dir.file("a.txt"), "abc"));
  EXPECT_TRUE(pathExists(dir.file("a.txt")));
  EXPECT_TRUE(pathExists(dir.path()));
  EXPECT_FALSE(pathExists(dir.file("missing.txt")));
  EXPECT_FALSE(pathExists(""));
}

TEST_F(FilesTest, FileInfoGivesSizeTimeAndKind) {
  ASSERT_TRUE(writeFile(dir.file("data.bin"), std::string(1234, 'x')));
  ASSERT_TRUE(setFileTime(dir.file("data.bin"), 1234567890));
  FileInfo info;
  ASSERT_TRUE(fileInfo(dir.file("data.bin"), info));
  EXPECT_EQ(info.size, 1234u);
  EXPECT_EQ(info.modifiedSeconds, 1234567890);
  EXPECT_FALSE(info.isDirectory);
  EXPECT_EQ(info.attributes & kAttributeDirectory, 0u);

  FileInfo folder;
  ASSERT_TRUE(fileInfo(dir.path(), folder));
  EXPECT_TRUE(folder.isDirectory);
  EXPECT_NE(folder.attributes & kAttributeDirectory, 0u);
  EXPECT_EQ(folder.size, 0u);

  FileInfo missing;
  EXPECT_FALSE(fileInfo(dir.file("nothing"), missing));
}

TEST_F(FilesTest, EmptyFileHasSizeZero) {
  ASSERT_TRUE(writeFile(dir.file("empty"), ""));
  FileInfo info;
  ASSERT_TRUE(fileInfo(dir.file("empty"), info));
  EXPECT_EQ(info.size, 0u);
}

TEST_F(FilesTest, AttributesOfFilesFoldersAndMissingPaths) {
  ASSERT_TRUE(writeFile(dir.file("a.txt"), "abc"));
  const std::uint32_t file = fileAttributes(dir.file("a.txt"));
  ASSERT_NE(file, kInvalidAttributes);
  EXPECT_EQ(file & kAttributeDirectory, 0u);
  EXPECT_EQ(file & kAttributeReadOnly, 0u);
  EXPECT_NE(fileAttributes(dir.path()) & kAttributeDirectory, 0u);
  EXPECT_EQ(fileAttributes(dir.file("missing")), kInvalidAttributes);
}

TEST_F(FilesTest, ReadOnlyFileCannotBeDeletedUntilMadeNormal) {
  const std::string path = dir.file("locked.txt");
  ASSERT_TRUE(writeFile(path, "keep"));
  ASSERT_TRUE(setFileAttributes(path, kAttributeReadOnly));
  EXPECT_NE(fileAttributes(path) & kAttributeReadOnly, 0u);
  EXPECT_FALSE(deleteFile(path));
  EXPECT_TRUE(pathExists(path));

  ASSERT_TRUE(setFileAttributes(path, kAttributeNormal));
  EXPECT_EQ(fileAttributes(path) & kAttributeReadOnly, 0u);
  EXPECT_TRUE(deleteFile(path));
  EXPECT_FALSE(pathExists(path));
}

TEST_F(FilesTest, SetFileAttributesOfMissingPathFails) {
  EXPECT_FALSE(setFileAttributes(dir.file("missing"), kAttributeNormal));
}

TEST_F(FilesTest, SetFileTimeStampsFilesAndFolders) {
  ASSERT_TRUE(writeFile(dir.file("f"), "x"));
  // A time past 2038 needs more than 32 bits of seconds.
  for (std::int64_t seconds : {std::int64_t{0}, std::int64_t{946684800}, std::int64_t{4102444800}}) {
    ASSERT_TRUE(setFileTime(dir.file("f"), seconds));
    FileInfo info;
    ASSERT_TRUE(fileInfo(dir.file("f"), info));
    EXPECT_EQ(info.modifiedSeconds, seconds);
  }
  ASSERT_TRUE(createDirectory(dir.file("sub")));
  ASSERT_TRUE(setFileTime(dir.file("sub"), 1000000000));
  FileInfo folder;
  ASSERT_TRUE(fileInfo(dir.file("sub"), folder));
  EXPECT_EQ(folder.modifiedSeconds, 1000000000);

  EXPECT_FALSE(setFileTime(dir.file("missing"), 1000000000));
}

TEST_F(FilesTest, DeleteRefusesFoldersAndMissingFiles) {
  ASSERT_TRUE(createDirectory(dir.file("sub")));
  EXPECT_FALSE(deleteFile(dir.file("sub")));
  EXPECT_TRUE(pathExists(dir.file("sub")));
  EXPECT_FALSE(deleteFile(dir.file("missing")));
}

TEST_F(FilesTest, RenameMovesAFileButNeverReplacesOne) {
  ASSERT_TRUE(writeFile(dir.file("from"), "new"));
  ASSERT_TRUE(writeFile(dir.file("to"), "old"));
  EXPECT_FALSE(renameFile(dir.file("from"), dir.file("to")));
  EXPECT_EQ(test::readFile(dir.file("to")), "old");
  EXPECT_EQ(test::readFile(dir.file("from")), "new");

  ASSERT_TRUE(createDirectory(dir.file("sub")));
  EXPECT_TRUE(renameFile(dir.file("from"), dir.file("sub\\moved")));
  EXPECT_FALSE(pathExists(dir.file("from")));
  EXPECT_EQ(test::readFile(dir.file("sub\\moved")), "new");

  EXPECT_FALSE(renameFile(dir.file("missing"), dir.file("other")));
}

TEST_F(FilesTest, CreateDirectoryAcceptsAnExistingFolderButNotAFile) {
  EXPECT_TRUE(createDirectory(dir.file("sub")));
  EXPECT_TRUE(createDirectory(dir.file("sub")));
  EXPECT_NE(fileAttributes(dir.file("sub")) & kAttributeDirectory, 0u);

  ASSERT_TRUE(writeFile(dir.file("plain"), "x"));
  EXPECT_FALSE(createDirectory(dir.file("plain")));
  // Only one level at a time.
  EXPECT_FALSE(createDirectory(dir.file("a\\b\\c")));
  EXPECT_FALSE(createDirectory(""));
}

TEST_F(FilesTest, RemoveDirectoryOnlyRemovesEmptyFolders) {
  ASSERT_TRUE(createDirectory(dir.file("sub")));
  ASSERT_TRUE(writeFile(dir.file("sub\\f"), "x"));
  EXPECT_FALSE(removeDirectory(dir.file("sub")));
  ASSERT_TRUE(deleteFile(dir.file("sub\\f")));
  EXPECT_TRUE(removeDirectory(dir.file("sub")));
  EXPECT_FALSE(pathExists(dir.file("sub")));
  EXPECT_FALSE(removeDirectory(dir.file("sub")));
}

TEST_F(FilesTest, FreeDiskBytesOfAFolderAndOfAMissingOne) {
  EXPECT_GT(freeDiskBytes(dir.path()), 0u);
  EXPECT_EQ(freeDiskBytes(dir.file("missing\\deeper")), 0u);
  CurrentDirectoryGuard guard;
  ASSERT_TRUE(setCurrentDirectory(dir.path()));
  EXPECT_GT(freeDiskBytes(""), 0u);
}

TEST_F(FilesTest, CurrentDirectoryRoundTrips) {
  CurrentDirectoryGuard guard;
  ASSERT_TRUE(createDirectory(dir.file("work")));
  ASSERT_TRUE(setCurrentDirectory(dir.file("work")));
  EXPECT_EQ(currentDirectory(), dir.file("work"));
  EXPECT_FALSE(setCurrentDirectory(dir.file("missing")));
  EXPECT_EQ(currentDirectory(), dir.file("work"));
}

TEST_F(FilesTest, FullPathNameResolvesDotsAgainstTheCurrentDirectory) {
  CurrentDirectoryGuard guard;
  ASSERT_TRUE(setCurrentDirectory(dir.path()));
  EXPECT_EQ(fullPathName("a\\b\\..\\c.txt"), dir.file("a\\c.txt"));
  EXPECT_EQ(fullPathName(".\\x\\.\\y"), dir.file("x\\y"));
  // Nothing needs to exist: the resolution is textual.
  EXPECT_FALSE(pathExists(dir.file("a")));
  // An absolute path is only normalised.
  EXPECT_EQ(fullPathName(dir.file("p\\..\\q")), dir.file("q"));
}

TEST_F(FilesTest, PathFormsDifferPerSystem) {
  ASSERT_TRUE(writeFile(dir.file("sub\\f.txt"), "x"));
  // Whatever the system, the core's spelling of a path reaches the file.
  EXPECT_TRUE(pathExists(dir.path() + "\\sub\\f.txt"));
  EXPECT_TRUE(isAbsolutePath(dir.path()));
  EXPECT_TRUE(startsAtVolumeRoot(dir.path()));
  EXPECT_FALSE(isAbsolutePath("relative\\path"));
  EXPECT_FALSE(isAbsolutePath(""));
  if (drivePaths()) {
    EXPECT_EQ(nativePath("a\\b/c"), "a\\b/c");
    EXPECT_TRUE(isAbsolutePath("D:relative"));
    EXPECT_FALSE(isAbsolutePath("\\rooted"));
  } else {
    EXPECT_EQ(nativePath("a\\b/c"), "a/b/c");
    EXPECT_TRUE(isAbsolutePath("\\rooted"));
    EXPECT_TRUE(isAbsolutePath("/rooted"));
    EXPECT_FALSE(isAbsolutePath("C:\\x"));
  }
}

}  // namespace
}  // namespace korvel::platform
