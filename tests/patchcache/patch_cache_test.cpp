// Tests of the patch cache: both document layouts, migration, the saved document, keys in any letter
// case, empty slots, serials and the dropping of vanished files.
#include "patchcache/patch_cache.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

class PatchCacheTest : public test::TempDirTest {
 protected:
  void write(const std::string& relative, const std::string& content = "x") {
    ASSERT_TRUE(test::writeFile(dir.file(relative), content));
  }
  std::string cacheText() const { return test::readFile(dir.file(PatchCache::kDefaultFileName)); }
  static std::string document(const std::string& rootAttributes, const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<PatchCache" + rootAttributes + ">" + body + "</PatchCache>\n";
  }

  PatchCache cache;
};

TEST_F(PatchCacheTest, SavesTheExactDocumentInKeyOrder) {
  EXPECT_FALSE(cache.open(nullptr, dir.path()));
  cache.remember("b\\two.bin", 2, 1'100'000'000, 20);
  cache.remember("A&B.bin", static_cast<std::int32_t>(0xffffffffu), -5, 10);
  cache.remember("c.bin", 3, 0, 0);
  cache.setSerial("17");
  ASSERT_TRUE(cache.save());
  EXPECT_EQ(cacheText(),
            document(" version=\"1.1\" serial=\"17\"",
                     "<File Filename=\"A&amp;B.bin\" TimeStamp=\"-5\" Size=\"10\" CRC=\"-1\"/>"
                     "<File Filename=\"b\\two.bin\" TimeStamp=\"1100000000\" Size=\"20\" CRC=\"2\"/>"
                     "<File Filename=\"c.bin\" TimeStamp=\"0\" Size=\"0\" CRC=\"3\"/>"));
}

TEST_F(PatchCacheTest, EmptySlotsLeftByLookupAreNotSaved) {
  EXPECT_FALSE(cache.open(nullptr, dir.path()));
  EXPECT_EQ(cache.lookup("missing.bin"), nullptr);
  EXPECT_EQ(cache.cachedCrc("other.bin"), 0);
  EXPECT_EQ(cache.entries().size(), 2u);
  EXPECT_EQ(cache.entries().count("MISSING.BIN"), 1u);
  ASSERT_TRUE(cache.save());
  EXPECT_EQ(cacheText(), "<?xml version=\"1.0\"?>\n<PatchCache version=\"1.1\"/>\n");

  cache.remember("missing.bin", 9, 1, 2);
  ASSERT_NE(cache.lookup("Missing.Bin"), nullptr);
  EXPECT_EQ(cache.cachedCrc("MISSING.bin"), 9);
}

TEST_F(PatchCacheTest, KeysDifferingInLetterCaseNameTheSameEntry) {
  cache.remember("Data\\File.PAK", 1, 2, 3);
  cache.remember("data\\file.pak", 4, 5, 6);
  ASSERT_EQ(cache.entries().size(), 1u);
  EXPECT_EQ(cache.entries().begin()->first, "Data\\File.PAK");
  EXPECT_EQ(cache.cachedCrc("DATA\\FILE.PAK"), 4);
  cache.forget("data\\FILE.pak");
  EXPECT_TRUE(cache.entries().empty());
}

// A run that finds everything as the document says leaves the document as it is; any change of an
// entry writes it again.
TEST_F(PatchCacheTest, ASaveRewritesTheDocumentOnlyWhenAnEntryChanged) {
  write("a.bin");
  write("b.bin");
  const std::string spaced = document(" version=\"1.1\"",
                                      "\n  <File Filename=\"a.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"5\"/>"
                                      "\n  <File Filename=\"b.bin\" TimeStamp=\"2\" Size=\"1\" CRC=\"6\"/>\n");
  write(PatchCache::kDefaultFileName, spaced);
  ASSERT_TRUE(cache.open(nullptr, dir.path()));
  cache.remember("a.bin", 5, 1, 1);
  ASSERT_TRUE(cache.save());
  EXPECT_EQ(cacheText(), spaced);
  cache.remember("b.bin", 6, 3, 1);
  ASSERT_TRUE(cache.save());
  EXPECT_EQ(cacheText(), document(" version=\"1.1\"",
                                  "<File Filename=\"a.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"5\"/>"
                                  "<File Filename=\"b.bin\" TimeStamp=\"3\" Size=\"1\" CRC=\"6\"/>"));
}

TEST_F(PatchCacheTest, CurrentLayoutIsKeyedByFilenameAndKept) {
  write("Data\\File.pak");
  write(PatchCache::kDefaultFileName,
        document(" version=\"1.1\" serial=\"3\"",
                 "<File Filename=\"Data\\File.pak\" TimeStamp=\"100\" Size=\"1\" CRC=\"4294967295\"/>"
                 "<File TimeStamp=\"1\" Size=\"1\" CRC=\"1\"/>"
                 "<!-- a comment --><Other Filename=\"Data\\File.pak\" CRC=\"-7\"/>"));
  ASSERT_TRUE(cache.open(nullptr, dir.path()));
  ASSERT_EQ(cache.entries().size(), 1u);
  const PatchCacheEntry* entry = cache.entry("data\\file.pak");
  ASSERT_NE(entry, nullptr);
  // A later element for the same file overwrites the earlier one.
  EXPECT_EQ(entry->crc(), -7);
  EXPECT_EQ(entry->timeStamp(), 0);
  EXPECT_EQ(cache.serial(), "3");
  EXPECT_TRUE(test::exists(dir.file(PatchCache::kDefaultFileName)));
}

TEST_F(PatchCacheTest, SizesOfFourGigabytesAndMoreAreWrittenAndReadBackWhole) {
  write("big.pak");
  write("old.pak");
  EXPECT_FALSE(cache.open(nullptr, dir.path()));
  cache.remember("big.pak", 1, 2, 5368709120LL);
  // What a 32-bit field once made of a 3 GiB file: no size, never matched, rewritten.
  cache.remember("old.pak", 1, 2, 0);
  ASSERT_TRUE(cache.save());
  const std::string saved = cacheText();
  EXPECT_NE(saved.find("<File Filename=\"big.pak\" TimeStamp=\"2\" Size=\"5368709120\" CRC=\"1\"/>"),
            std::string::npos)
      << saved;
  write(PatchCache::kDefaultFileName,
        std::string(saved).replace(saved.find("Size=\"0\""), 8, "Size=\"-1073741824\""));

  PatchCache reread;
  ASSERT_TRUE(reread.open(nullptr, dir.path()));
  ASSERT_NE(reread.entry("big.pak"), nullptr);
  EXPECT_EQ(reread.entry("big.pak")->size(), 5368709120LL);
  EXPECT_TRUE(reread.entry("big.pak")->matches(1, 2, 5368709120LL));
  EXPECT_FALSE(reread.entry("big.pak")->matches(1, 2, 1073741824LL)) << "the low 32 bits are not the size";
  ASSERT_NE(reread.entry("old.pak"), nullptr);
  EXPECT_FALSE(reread.entry("old.pak")->matches(1, 2, 3221225472LL));
}

TEST_F(PatchCacheTest, CrcOfAllOnesIsReadInEitherSpellingAndWrittenAsMinusOne) {
  write("a.bin");
  write("b.bin");
  write(PatchCache::kDefaultFileName,
        document(" version=\"1.1\"",
                 "<File Filename=\"a.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"-1\"/>"
                 "<File Filename=\"b.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"4294967295\"/>"));
  ASSERT_TRUE(cache.open(nullptr, dir.path()));
  EXPECT_EQ(static_cast<std::uint32_t>(cache.cachedCrc("a.bin")), 0xffffffffu);
  EXPECT_EQ(static_cast<std::uint32_t>(cache.cachedCrc("b.bin")), 0xffffffffu);
  ASSERT_TRUE(cache.save());
  EXPECT_EQ(cacheText(), document(" version=\"1.1\"",
                                  "<File Filename=\"a.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"-1\"/>"
                                  "<File Filename=\"b.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"-1\"/>"));
}

TEST_F(PatchCacheTest, OldLayoutIsKeyedByElementNameAndDeletedAfterLoading) {
  write("sub\\Game.pak");
  write("sub\\old.xml", "<Anything version=\"1.0\"><Game.pak TimeStamp=\"5\" Size=\"6\" CRC=\"7\"/></Anything>");
  ASSERT_FALSE(cache.open(nullptr, dir.path()));
  ASSERT_TRUE(cache.load("old.xml", "sub"));
  const PatchCacheEntry* entry = cache.entry("SUB\\game.pak");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->timeStamp(), 5);
  EXPECT_EQ(entry->size(), 6);
  EXPECT_EQ(entry->crc(), 7);
  EXPECT_FALSE(test::exists(dir.file("sub\\old.xml")));
}

TEST_F(PatchCacheTest, OpenMergesEveryOldCacheOfTheTreeIntoTheNewDocument) {
  write("a.bin");
  write("sub\\b.bin");
  write("sub\\deep\\c.bin");
  write("PatchCache.xml", "<PatchCache><a.bin TimeStamp=\"1\" Size=\"1\" CRC=\"11\"/>"
                          "<gone.bin TimeStamp=\"1\" Size=\"1\" CRC=\"12\"/></PatchCache>");
  write("sub\\PatchCache.xml", "<X><b.bin TimeStamp=\"2\" Size=\"1\" CRC=\"22\"/></X>");
  write("sub\\deep\\oldpatchcache.XML", "<X version=\"1.0\"><c.bin TimeStamp=\"3\" Size=\"1\" CRC=\"33\"/></X>");
  write("sub\\notacache.xml", "<X><b.bin TimeStamp=\"9\" Size=\"9\" CRC=\"99\"/></X>");

  ASSERT_TRUE(cache.open(nullptr, dir.path()));
  EXPECT_EQ(cache.cachedCrc("a.bin"), 11);
  EXPECT_EQ(cache.cachedCrc("sub\\b.bin"), 22);
  EXPECT_EQ(cache.cachedCrc("sub\\deep\\c.bin"), 33);
  EXPECT_EQ(cache.entry("gone.bin"), nullptr);
  EXPECT_FALSE(test::exists(dir.file("PatchCache.xml")));
  EXPECT_FALSE(test::exists(dir.file("sub\\PatchCache.xml")));
  EXPECT_FALSE(test::exists(dir.file("sub\\deep\\oldpatchcache.XML")));
  EXPECT_TRUE(test::exists(dir.file("sub\\notacache.xml")));
  EXPECT_EQ(cacheText(), document(" version=\"1.1\"",
                                  "<File Filename=\"a.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"11\"/>"
                                  "<File Filename=\"sub\\b.bin\" TimeStamp=\"2\" Size=\"1\" CRC=\"22\"/>"
                                  "<File Filename=\"sub\\deep\\c.bin\" TimeStamp=\"3\" Size=\"1\" CRC=\"33\"/>"));
}

TEST_F(PatchCacheTest, OldCacheBesideTheNewOneIsDeletedUnread) {
  write("a.bin");
  write("PatchCache.xml", "<PatchCache><a.bin TimeStamp=\"1\" Size=\"1\" CRC=\"11\"/></PatchCache>");
  write("sub\\PatchCache.xml", "<X><b.bin TimeStamp=\"2\" Size=\"1\" CRC=\"22\"/></X>");
  write(PatchCache::kDefaultFileName,
        document(" version=\"1.1\"", "<File Filename=\"a.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"5\"/>"));
  ASSERT_TRUE(cache.open(nullptr, dir.path()));
  EXPECT_EQ(cache.cachedCrc("a.bin"), 5);
  EXPECT_FALSE(test::exists(dir.file("PatchCache.xml")));
  // Only the top folder's old cache decides; deeper ones stay until a migration reads them.
  EXPECT_TRUE(test::exists(dir.file("sub\\PatchCache.xml")));
}

TEST_F(PatchCacheTest, VanishedFilesAreDroppedAtLoadOnlyWhenAsked) {
  write("here.bin");
  const std::string text = document(" version=\"1.1\"",
                                    "<File Filename=\"here.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"1\"/>"
                                    "<File Filename=\"gone.bin\" TimeStamp=\"2\" Size=\"2\" CRC=\"2\"/>");
  write(PatchCache::kDefaultFileName, text);
  ASSERT_TRUE(cache.open(nullptr, dir.path()));
  EXPECT_EQ(cache.entries().size(), 1u);
  EXPECT_EQ(cache.entry("gone.bin"), nullptr);

  // An entry remembered earlier is removed too when the document names a vanished file.
  cache.remember("gone.bin", 9, 9, 9);
  ASSERT_TRUE(cache.load(PatchCache::kDefaultFileName, nullptr));
  EXPECT_EQ(cache.entry("gone.bin"), nullptr);

  PatchCache keeping;
  keeping.setDropMissing(false);
  ASSERT_TRUE(keeping.open(nullptr, dir.path()));
  EXPECT_EQ(keeping.entries().size(), 2u);
  ASSERT_NE(keeping.entry("GONE.BIN"), nullptr);
  EXPECT_EQ(keeping.entry("GONE.BIN")->size(), 2);
}

TEST_F(PatchCacheTest, AbsoluteKeysAreCheckedWhereTheyPoint) {
  test::TempDir elsewhere;
  ASSERT_TRUE(test::writeFile(elsewhere.file("staged.bin"), "x"));
  const std::string key = elsewhere.file("staged.bin");
  const std::string goneKey = elsewhere.file("gone.bin");
  write(PatchCache::kDefaultFileName,
        document(" version=\"1.1\"", "<File Filename=\"" + key + "\" TimeStamp=\"1\" Size=\"1\" CRC=\"1\"/>" +
                                         "<File Filename=\"" + goneKey + "\" TimeStamp=\"1\" Size=\"1\" CRC=\"2\"/>"));
  ASSERT_TRUE(cache.open(nullptr, dir.path()));
  EXPECT_EQ(cache.cachedCrc(key), 1);
  EXPECT_EQ(cache.entry(goneKey), nullptr);
}

TEST_F(PatchCacheTest, SerialIsWrittenOnlyWhenItIsAPositiveNumber) {
  EXPECT_FALSE(cache.open(nullptr, dir.path()));
  for (const char* serial : {"0", "abc", "-4", ""}) {
    cache.setSerial(serial);
    ASSERT_TRUE(cache.save());
    EXPECT_EQ(cacheText(), "<?xml version=\"1.0\"?>\n<PatchCache version=\"1.1\"/>\n") << serial;
  }
  write(PatchCache::kDefaultFileName, document(" version=\"1.1\" serial=\"0\"", ""));
  PatchCache reader;
  ASSERT_TRUE(reader.open(nullptr, dir.path()));
  EXPECT_EQ(reader.serial(), "0");

  cache.setSerial("12abc");
  ASSERT_TRUE(cache.save());
  EXPECT_EQ(cacheText(), "<?xml version=\"1.0\"?>\n<PatchCache version=\"1.1\" serial=\"12abc\"/>\n");
  cache.setSerial(nullptr);
  EXPECT_FALSE(cache.serial().has_value());
}

TEST_F(PatchCacheTest, OpenWithoutFolderFailsAndKeepsTheState) {
  cache.remember("a.bin", 1, 1, 1);
  EXPECT_FALSE(cache.open("Other.xml", nullptr));
  EXPECT_EQ(cache.entries().size(), 1u);
  EXPECT_FALSE(cache.save());
}

TEST_F(PatchCacheTest, UnreadableDocumentLeavesTheCacheEmpty) {
  write(PatchCache::kDefaultFileName, "<PatchCache version=\"1.1\"><File");
  cache.remember("a.bin", 1, 1, 1);
  EXPECT_FALSE(cache.open(nullptr, dir.path()));
  EXPECT_TRUE(cache.entries().empty());
  EXPECT_TRUE(test::exists(dir.file(PatchCache::kDefaultFileName)));
  EXPECT_FALSE(cache.load("absent.xml", nullptr));

  // A document that goes wrong after whole entries gives none of them, nor its serial, and a load
  // into a cache that holds entries leaves them as they were.
  write("a.bin");
  write("b.bin");
  const std::string entries = "<File Filename=\"a.bin\" TimeStamp=\"1\" Size=\"1\" CRC=\"7\"/>"
                              "<File Filename=\"b.bin\" TimeStamp=\"2\" Size=\"1\" CRC=\"8\"/>";
  const std::string whole = document(" version=\"1.1\" serial=\"5\"", entries);
  for (const std::string& broken :
       {whole.substr(0, whole.size() - 4), whole.substr(0, whole.find("<File", 60)), whole + "<PatchCache/>",
        document(" version=\"1.1\" serial=\"5\"", entries + "<File Filename=\"c.bin\"><x></File>"),
        document(" version=\"1.1\" serial=\"5\"", entries + "&undefined;")}) {
    SCOPED_TRACE(broken);
    write(PatchCache::kDefaultFileName, broken);
    PatchCache fresh;
    EXPECT_FALSE(fresh.open(nullptr, dir.path()));
    EXPECT_TRUE(fresh.entries().empty());
    EXPECT_FALSE(fresh.serial());
    fresh.remember("b.bin", 3, 3, 1);
    EXPECT_FALSE(fresh.load(PatchCache::kDefaultFileName, nullptr));
    EXPECT_EQ(fresh.entries().size(), 1u);
    EXPECT_EQ(fresh.cachedCrc("b.bin"), 3);
  }
  // The same entries in a whole document are read.
  write(PatchCache::kDefaultFileName, whole);
  PatchCache reader;
  ASSERT_TRUE(reader.open(nullptr, dir.path()));
  EXPECT_EQ(reader.cachedCrc("a.bin"), 7);
  EXPECT_EQ(reader.cachedCrc("b.bin"), 8);
  EXPECT_EQ(reader.serial(), std::optional<std::string>("5"));
}

TEST_F(PatchCacheTest, OtherFileNamesAreUsedForLoadAndSave) {
  write("a.bin");
  ASSERT_FALSE(cache.open("XferPatchCache2.xml", dir.path()));
  EXPECT_EQ(cache.fileName(), "XferPatchCache2.xml");
  cache.remember("a.bin", 8, 1, 1);
  ASSERT_TRUE(cache.save());
  PatchCache reader;
  ASSERT_TRUE(reader.open("XferPatchCache2.xml", dir.path()));
  EXPECT_EQ(reader.cachedCrc("a.bin"), 8);
  EXPECT_FALSE(test::exists(dir.file(PatchCache::kDefaultFileName)));
}

TEST_F(PatchCacheTest, OverlongKeysAreRefused) {
  const std::string longKey(PatchCache::kMaxKeyChars + 1, 'k');
  PatchCache keeping;
  keeping.setDropMissing(false);
  const std::string body = "<File Filename=\"" + longKey + "\" TimeStamp=\"1\" Size=\"1\" CRC=\"1\"/>" +
                           "<File Filename=\"" + longKey.substr(1) + "\" TimeStamp=\"1\" Size=\"1\" CRC=\"2\"/>";
  write(PatchCache::kDefaultFileName, document(" version=\"1.1\"", body));
  ASSERT_TRUE(keeping.open(nullptr, dir.path()));
  EXPECT_EQ(keeping.entries().size(), 1u);
  EXPECT_EQ(keeping.cachedCrc(longKey.substr(1)), 2);
}

TEST_F(PatchCacheTest, SaveReportsAFolderThatCannotBeWritten) {
  ASSERT_FALSE(cache.open(nullptr, dir.file("no\\such\\folder")));
  cache.remember("a.bin", 1, 1, 1);
  EXPECT_FALSE(cache.save());
}

TEST(PatchCacheEntryTest, MatchesWhenCrcAndSizeAgreeAndTheTimeIsNotLater) {
  const PatchCacheEntry entry(5, 1000, 10);
  EXPECT_TRUE(entry.matches(5, 1000, 10));
  EXPECT_TRUE(entry.matches(5, 900, 10));
  EXPECT_FALSE(entry.matches(5, 1001, 10));
  EXPECT_FALSE(entry.matches(6, 1000, 10));
  EXPECT_FALSE(entry.matches(5, 1000, 11));

  PatchCacheEntry copy;
  copy.copy(entry);
  EXPECT_TRUE(copy.matches(entry));
  EXPECT_EQ(copy.crc(), 5);
}

}  // namespace
}  // namespace korvel
