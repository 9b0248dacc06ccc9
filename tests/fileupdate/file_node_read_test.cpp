// Tests of reading file nodes: paths, sizes, CRC settings, delta sources and reference distributions.
#include "fileupdate/file_node.h"

#include <gtest/gtest.h>

#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

using FileNodeReadTest = test::ModelTest;

TEST_F(FileNodeReadTest, PathsComeFromTheNamesAndTheParentPaths) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"data\"><File Name=\"a.pak\"/>"
                           "<File Name=\"b.pak\" LocalName=\"B.PAK\" RemotePath=\"remote\\dir\"/>"
                           "<File Name=\"c.pak\" LocalPath=\"::HomeDirectory::\"/></Directory>"));
  EXPECT_EQ(file("a.pak")->localName(), "a.pak");
  EXPECT_EQ(file("a.pak")->localPath(), "data\\a.pak");
  EXPECT_EQ(file("a.pak")->remotePath(), "data\\a.pak");
  EXPECT_EQ(file("b.pak")->localPath(), "data\\B.PAK");
  EXPECT_EQ(file("b.pak")->remotePath(), "remote\\dir\\b.pak");
  EXPECT_EQ(file("c.pak")->localPath(), "c.pak");
  EXPECT_EQ(file("a.pak")->localFile("C:\\game\\data"), "C:\\game\\data\\a.pak");
  EXPECT_EQ(file("a.pak")->localFile(""), "a.pak");
  EXPECT_EQ(file("a.pak")->tempFile("base"), "base\\_.pak");
}

TEST_F(FileNodeReadTest, SizesTimeStampAndFlagsAreRead) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<File Name=\"f\" TotalSize=\"100\" DownloadSize=\"40\" CRC=\"-1\" Restart=\"yes\" "
                           "Keep_Backup=\"1\" TempFilename=\"f.tmp\" TimeStamp=\"2004:11:17:00:57:29\"/>"
                           "<File Name=\"raw\" Compressed=\"false\" TotalSize=\"100\"/>"
                           "<File Name=\"raw2\" Compressed=\"false\" TotalSize=\"100\" DownloadSize=\"7\"/>"
                           "<File Name=\"plain\"/>"
                           "<File Name=\"g2\" Compressed=\"false\" TotalSize=\"2147483648\"/>"
                           "<File Name=\"g8\" TotalSize=\"8589934592\" DownloadSize=\"4294967296\"/>"));
  FileNode* f = file("f");
  EXPECT_EQ(f->totalSize(), 100u);
  EXPECT_EQ(f->downloadSize(), 40u);
  EXPECT_EQ(f->crc(), 0xFFFFFFFFu);
  EXPECT_TRUE(f->restart());
  EXPECT_TRUE(f->keepBackup());
  EXPECT_EQ(f->tempFilename(), "f.tmp");
  EXPECT_EQ(f->compressed(), 1);
  std::tm expected{};
  expected.tm_year = 104;
  expected.tm_mon = 10;
  expected.tm_mday = 17;
  expected.tm_min = 57;
  expected.tm_sec = 29;
  expected.tm_isdst = 0;
  EXPECT_EQ(f->timeStamp(), static_cast<std::int32_t>(std::mktime(&expected)));
  EXPECT_EQ(file("raw")->compressed(), 0);
  EXPECT_EQ(file("raw")->downloadSize(), 100u);
  EXPECT_EQ(file("raw2")->downloadSize(), 7u);
  EXPECT_EQ(file("plain")->timeStamp(), 0);
  EXPECT_EQ(file("plain")->totalSize(), 0u);
  // Sizes of 2 GiB and more are read whole, not wrapped to 32 bits.
  EXPECT_EQ(file("g2")->totalSize(), 2147483648LL);
  EXPECT_EQ(file("g2")->downloadSize(), 2147483648LL);
  EXPECT_EQ(file("g8")->totalSize(), 8589934592LL);
  EXPECT_EQ(file("g8")->downloadSize(), 4294967296LL);
}

TEST_F(FileNodeReadTest, UseCrcWithoutACrcIsSwitchedOff) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<File Name=\"nocrc\" UseCRC=\"yes\"/><File Name=\"withcrc\" UseCRC=\"yes\" CRC=\"12\"/>"
                           "<File Name=\"restart\" Restart=\"1\" UseCRC=\"no\"/>"));
  EXPECT_EQ(file("nocrc")->useCrc(), 0);
  EXPECT_FALSE(file("nocrc")->usesCrc());
  EXPECT_EQ(file("withcrc")->useCrc(), 1);
  EXPECT_TRUE(file("restart")->usesCrc()) << "a restarting file always uses CRC checks";
}

TEST_F(FileNodeReadTest, DeltaFilesAndReferenceDistributionsAreKeptInOrder) {
  ASSERT_TRUE(buildProduct("Name=\"P\" Server=\"main.host\" Port=\"7000\"",
                           "<Directory Name=\"data\"><File Name=\"g.pak\">"
                           "<DeltaFile FilePath=\"g_1.delta\" CRC=\"11\" DownloadSize=\"5\" TotalSize=\"9\"/>"
                           "<DeltaFile FilePath=\"g_2.delta\" CRC=\"4294967295\" Server=\"delta.host\" Port=\"81\"/>"
                           "<DeltaFile CRC=\"3\"/>"
                           "<ReferenceDistribution Name=\"R1\" Type=\"b\"/><ReferenceDistribution Name=\"R2\" Type=\"Z\"/>"
                           "<ReferenceDistribution Type=\"A\"/><Other/></File></Directory>"));
  FileNode* g = file("g.pak");
  ASSERT_EQ(g->deltaSources().size(), 2u);
  const DeltaSource& first = g->deltaSources()[0];
  EXPECT_EQ(first.remote, RemoteFile::on(ServerAddress{"http", "main.host", 7000}, "data\\g_1.delta"))
      << "where the file itself comes from";
  EXPECT_EQ(first.sourceCrc, 11u);
  EXPECT_EQ(first.downloadSize, 5u);
  EXPECT_EQ(first.totalSize, 9u);
  EXPECT_EQ(first.deltaName, "g.pak_delta");
  EXPECT_EQ(first.deltaPath, "g.pak_delta");
  EXPECT_TRUE(first.compressed);
  const DeltaSource& second = g->deltaSources()[1];
  EXPECT_EQ(second.remote.server, (ServerAddress{"http", "delta.host", 81}));
  EXPECT_EQ(second.sourceCrc, 0xFFFFFFFFu);

  ASSERT_EQ(g->referenceDistributions().size(), 2u);
  EXPECT_EQ(g->referenceDistributions()[0].name, "R1");
  EXPECT_EQ(g->referenceDistributions()[0].type, 1);
  EXPECT_EQ(g->referenceDistributions()[1].type, -1);
  EXPECT_TRUE(g->children().empty());
}

TEST_F(FileNodeReadTest, ADeltaWithoutAnyServerIsNotRecorded) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", "<File Name=\"g\"><DeltaFile FilePath=\"g.delta\" CRC=\"1\"/></File>"));
  EXPECT_TRUE(file("g")->deltaSources().empty());
}

TEST_F(FileNodeReadTest, AFileWithoutANameHasNoPathAndNeedsNoUpdate) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", "<File TotalSize=\"5\"/>"));
  auto* nameless = dynamic_cast<FileNode*>(tree()->firstChild());
  ASSERT_NE(nameless, nullptr);
  EXPECT_EQ(nameless->localPath(), std::nullopt);
  EXPECT_EQ(nameless->localFile("base"), "");
  EXPECT_EQ(nameless->tempFile("base"), "");
  EXPECT_FALSE(nameless->needsUpdate(nullptr, 0));
}

}  // namespace
}  // namespace korvel
