// File: open modes, reads, writes, seeking and sizes, and the fault seams every File goes through.
#include "platform/file.h"

#include <gtest/gtest.h>

#include "platform/faults.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace korvel::platform {
namespace {

using test::readFile;
using test::writeFile;

using FileTest = test::TempDirTest;

TEST_F(FileTest, OpenModesCreateReadAppendAndUpdate) {
  const std::string path = dir.file("f.bin");
  EXPECT_FALSE(File::open(path, "rb").isOpen());

  File out = File::open(path, "wb");
  ASSERT_TRUE(out.isOpen());
  EXPECT_EQ(out.write("hello", 5), 5u);
  EXPECT_TRUE(out.close());

  File append = File::open(path, "ab");
  ASSERT_TRUE(append);
  EXPECT_EQ(append.write(" world", 6), 6u);
  ASSERT_TRUE(append.close());
  EXPECT_EQ(readFile(path), "hello world");

  File update = File::open(path, "r+b");
  ASSERT_TRUE(update);
  ASSERT_TRUE(update.seek(6));
  EXPECT_EQ(update.write("W", 1), 1u);
  ASSERT_TRUE(update.close());
  EXPECT_EQ(readFile(path), "hello World");

  // "wb" truncates what was there.
  ASSERT_TRUE(File::open(path, "wb").close());
  EXPECT_EQ(readFile(path), "");
}

TEST_F(FileTest, ReadsSeeksAndTellsInBinary) {
  // Bytes that text mode would alter on Windows: CR LF pairs and a ^Z.
  const std::string content("a\r\nb\x1a\nc\0d", 9);
  ASSERT_TRUE(writeFile(dir.file("f"), content));
  File in = File::open(dir.file("f"), "rb");
  ASSERT_TRUE(in);
  EXPECT_EQ(in.size(), 9);
  char buffer[16] = {};
  EXPECT_EQ(in.read(buffer, sizeof buffer), 9u);
  EXPECT_EQ(std::string(buffer, 9), content);
  EXPECT_EQ(in.tell(), 9);
  EXPECT_EQ(in.read(buffer, sizeof buffer), 0u);
  EXPECT_FALSE(in.hadError());

  ASSERT_TRUE(in.seek(3));
  EXPECT_EQ(in.tell(), 3);
  EXPECT_EQ(in.read(buffer, 2), 2u);
  EXPECT_EQ(std::string(buffer, 2), "b\x1a");
}

TEST_F(FileTest, SizeCountsBytesWrittenButNotYetFlushed) {
  File out = File::open(dir.file("f"), "wb");
  ASSERT_TRUE(out);
  EXPECT_EQ(out.size(), 0);
  const std::string block(10000, 'z');
  ASSERT_EQ(out.write(block.data(), block.size()), block.size());
  EXPECT_EQ(out.size(), 10000);
  EXPECT_TRUE(out.flush());
}

TEST_F(FileTest, UnopenedFileRefusesEverything) {
  File none;
  char buffer[4];
  EXPECT_FALSE(none.isOpen());
  EXPECT_EQ(none.read(buffer, 4), 0u);
  EXPECT_EQ(none.write("abcd", 4), 0u);
  EXPECT_FALSE(none.seek(0));
  EXPECT_EQ(none.tell(), -1);
  EXPECT_EQ(none.size(), -1);
  EXPECT_FALSE(none.flush());
  EXPECT_FALSE(none.close());
}

TEST_F(FileTest, OnlyAUserPathMayClimbOutOfAFolder) {
  ASSERT_TRUE(createDirectory(dir.file("sub")));
  const std::string climbing = dir.file("sub\\..\\log.txt");
  EXPECT_FALSE(File::open(climbing, "ab"));
  File log = File::openUserPath(climbing, "ab");
  ASSERT_TRUE(log);
  EXPECT_EQ(log.write("line\n", 5), 5u);
  EXPECT_TRUE(log.flush());
  EXPECT_EQ(readFile(dir.file("log.txt")), "line\n");
}

TEST_F(FileTest, FailOpensCountsDown) {
  ASSERT_TRUE(writeFile(dir.file("f"), "x"));
  faults::failOpens = 2;
  EXPECT_FALSE(File::open(dir.file("f"), "rb"));
  EXPECT_FALSE(File::open(dir.file("f"), "rb"));
  EXPECT_TRUE(File::open(dir.file("f"), "rb"));
  EXPECT_EQ(faults::failOpens.load(), 0);
}

TEST_F(FileTest, WriteBudgetCutsTheCrossingWriteAndStopsLaterOnes) {
  faults::writeBudget = 5;
  File out = File::open(dir.file("f"), "wb");
  ASSERT_TRUE(out);
  EXPECT_EQ(out.write("abc", 3), 3u);
  EXPECT_EQ(out.write("defg", 4), 2u);
  EXPECT_EQ(out.write("h", 1), 0u);
  ASSERT_TRUE(out.close());
  EXPECT_EQ(readFile(dir.file("f")), "abcde");
}

TEST_F(FileTest, ShortReadsAndAnInjectedReadError) {
  ASSERT_TRUE(writeFile(dir.file("f"), "0123456789"));
  File in = File::open(dir.file("f"), "rb");
  ASSERT_TRUE(in);
  faults::shortReads = 3;
  char buffer[10];
  EXPECT_EQ(in.read(buffer, 10), 3u);
  EXPECT_EQ(std::string(buffer, 3), "012");
  faults::shortReads = 0;

  faults::failNextRead = true;
  EXPECT_EQ(in.read(buffer, 10), 0u);
  EXPECT_TRUE(in.hadError());
  EXPECT_FALSE(faults::failNextRead.load());
}

TEST_F(FileTest, ResetClearsEverySeam) {
  faults::failOpens = 3;
  faults::writeBudget = 7;
  faults::shortReads = 2;
  faults::failNextRead = true;
  faults::reset();
  EXPECT_EQ(faults::failOpens.load(), 0);
  EXPECT_EQ(faults::writeBudget.load(), 0);
  EXPECT_EQ(faults::shortReads.load(), 0);
  EXPECT_FALSE(faults::failNextRead.load());
}

}  // namespace
}  // namespace korvel::platform
