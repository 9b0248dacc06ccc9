// Tests of the folder tree walker: what the visitor hears, in which nesting, and how it stops a walk.
#include "patchcache/folder_walker.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "patchcache/tree_walk_visitor.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

// Writes every call as a line and answers false where the test asks it to.
class RecordingVisitor : public TreeWalkVisitor {
 public:
  bool beginWalk(const std::string& root) override {
    roots.insert(root);
    events.push_back("begin");
    return beginAnswer;
  }
  bool endWalk(const std::string& root) override {
    roots.insert(root);
    events.push_back("end");
    return true;
  }
  bool enterFolder(const std::string& relativePath, const std::string& root, std::uint32_t attributes) override {
    roots.insert(root);
    events.push_back("enter " + relativePath);
    EXPECT_NE(attributes & platform::kAttributeDirectory, 0u) << relativePath;
    return relativePath != refuseFolder;
  }
  bool leaveFolder(const std::string& relativePath, const std::string& root) override {
    roots.insert(root);
    events.push_back("leave " + relativePath);
    return true;
  }
  bool visitFile(const std::string& relativePath, const std::string& root, std::uint32_t attributes,
                 std::uint64_t size) override {
    roots.insert(root);
    events.push_back("file " + relativePath + " " + std::to_string(size));
    EXPECT_EQ(attributes & platform::kAttributeDirectory, 0u) << relativePath;
    return relativePath != stopAtFile;
  }

  // The events after the first one equal to `event`.
  std::vector<std::string> after(const std::string& event) const {
    auto found = std::find(events.begin(), events.end(), event);
    if (found == events.end()) return {"<" + event + " not seen>"};
    return std::vector<std::string>(found + 1, events.end());
  }
  std::size_t count(const std::string& prefix) const {
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [&](const std::string& event) {
      return event.compare(0, prefix.size(), prefix) == 0;
    }));
  }

  std::vector<std::string> events;
  std::set<std::string> roots;
  bool beginAnswer = true;
  std::string refuseFolder = "<none>";
  std::string stopAtFile = "<none>";
};

class FolderWalkerTest : public test::TempDirTest {
 protected:
  void write(const std::string& relative, const std::string& content = "x") {
    ASSERT_TRUE(test::writeFile(dir.file(relative), content));
  }
  bool walk() {
    FolderWalker walker(&visitor);
    return walker.walk(dir.path());
  }

  RecordingVisitor visitor;
};

TEST_F(FolderWalkerTest, ReportsEveryFileAndFolderWithPathsBelowTheRoot) {
  write("a.txt", "abc");
  write("sub\\b.txt", "hello");
  write("sub\\deep\\c.txt");
  ASSERT_TRUE(test::writeFile(dir.file("empty\\.keep"), ""));
  ASSERT_TRUE(platform::deleteFile(dir.file("empty\\.keep")));

  EXPECT_TRUE(walk());
  const std::multiset<std::string> seen(visitor.events.begin(), visitor.events.end());
  const std::multiset<std::string> expected{"begin",          "enter ",           "file a.txt 3",  "enter sub",
                                            "file sub\\b.txt 5", "enter sub\\deep", "file sub\\deep\\c.txt 1",
                                            "leave sub\\deep", "leave sub",         "enter empty",   "leave empty",
                                            "leave ",         "end"};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(visitor.roots, std::set<std::string>{dir.path()});
  ASSERT_GE(visitor.events.size(), 3u);
  EXPECT_EQ(visitor.events[1], "enter ");
  EXPECT_EQ(visitor.events[visitor.events.size() - 2], "leave ");
}

TEST_F(FolderWalkerTest, FolderContentsComeBetweenItsEnterAndLeave) {
  write("sub\\b.txt");
  write("sub\\deep\\c.txt");
  write("other\\d.txt");
  ASSERT_TRUE(walk());
  const auto position = [&](const std::string& event) {
    return std::find(visitor.events.begin(), visitor.events.end(), event) - visitor.events.begin();
  };
  EXPECT_LT(position("enter sub"), position("file sub\\b.txt 1"));
  EXPECT_LT(position("file sub\\b.txt 1"), position("leave sub"));
  EXPECT_LT(position("enter sub\\deep"), position("file sub\\deep\\c.txt 1"));
  EXPECT_LT(position("leave sub\\deep"), position("leave sub"));
  EXPECT_LT(position("enter other"), position("file other\\d.txt 1"));
  EXPECT_LT(position("file other\\d.txt 1"), position("leave other"));
}

TEST_F(FolderWalkerTest, MissingFolderGetsOnlyBeginAndEnd) {
  FolderWalker walker(&visitor);
  EXPECT_TRUE(walker.walk(dir.file("nowhere")));
  EXPECT_EQ(visitor.events, (std::vector<std::string>{"begin", "end"}));
}

TEST_F(FolderWalkerTest, WithoutVisitorTheWalkFails) {
  FolderWalker walker(nullptr);
  EXPECT_FALSE(walker.walk(dir.path()));
}

TEST_F(FolderWalkerTest, RefusedBeginSkipsTheTree) {
  write("a.txt");
  visitor.beginAnswer = false;
  EXPECT_TRUE(walk());
  EXPECT_EQ(visitor.events, (std::vector<std::string>{"begin", "end"}));
}

TEST_F(FolderWalkerTest, RefusedRootIsStillLeft) {
  write("a.txt");
  visitor.refuseFolder = "";
  EXPECT_TRUE(walk());
  EXPECT_EQ(visitor.events, (std::vector<std::string>{"begin", "enter ", "leave ", "end"}));
}

TEST_F(FolderWalkerTest, RefusedFolderIsLeftAndEndsTheWalkOfEveryFolderAboveIt) {
  for (int i = 0; i < 5; ++i) {
    write("top" + std::to_string(i) + ".txt");
    write("outer\\file" + std::to_string(i) + ".txt");
  }
  write("outer\\skip\\hidden.txt");
  visitor.refuseFolder = "outer\\skip";
  EXPECT_TRUE(walk());
  EXPECT_EQ(visitor.count("file outer\\skip\\"), 0u);
  EXPECT_EQ(visitor.after("enter outer\\skip"),
            (std::vector<std::string>{"leave outer\\skip", "leave outer", "leave ", "end"}));
}

TEST_F(FolderWalkerTest, FalseFromAFileStopsTheWalkButLeavesEveryEnclosingFolder) {
  for (int i = 0; i < 5; ++i) {
    write("top" + std::to_string(i) + ".txt");
    write("outer\\inner\\file" + std::to_string(i) + ".txt");
  }
  write("outer\\inner\\stop.bin", "12");
  visitor.stopAtFile = "outer\\inner\\stop.bin";
  EXPECT_TRUE(walk());
  EXPECT_EQ(visitor.after("file outer\\inner\\stop.bin 2"),
            (std::vector<std::string>{"leave outer\\inner", "leave outer", "leave ", "end"}));
}

TEST_F(FolderWalkerTest, DefaultVisitorOperationsGoOnAndPassTheTimedVisitToVisitFile) {
  write("sub\\b.txt", "hello");
  TreeWalkVisitor defaults;
  FolderWalker plain(&defaults);
  EXPECT_TRUE(plain.walk(dir.path()));
  EXPECT_TRUE(defaults.visitFileWithTime("x", "root", 0, 1, 2));

  struct TimedVisitor : TreeWalkVisitor {
    bool visitFileWithTime(const std::string& relativePath, const std::string&, std::uint32_t, std::uint64_t,
                           std::int64_t time) override {
      times.push_back(relativePath + "@" + std::to_string(time));
      return true;
    }
    std::vector<std::string> times;
  } timed;
  ASSERT_TRUE(test::setModified(dir.file("sub\\b.txt"), 1'000'000'000));
  FolderWalker walker(&timed);
  walker.walk(dir.path());
  EXPECT_EQ(timed.times, std::vector<std::string>{"sub\\b.txt@1000000000"});
}

TEST_F(FolderWalkerTest, EntriesBeyondThePathBufferAreSkippedAndTheWalkGoesOn) {
  // Folders of 100 characters lead to a level where a name of 100 to 200 characters reaches the
  // end of the buffer exactly.
  const std::size_t maxChars = FolderWalker::kPathCapacity - 1;
  std::string chain;
  std::size_t used = dir.path().size() + 1;
  while (maxChars - used > 200) {
    chain += std::string(100, 'f') + "\\";
    used += 101;
  }
  const std::string fits(maxChars - used, 'n');
  const std::string tooLong = fits + "x";
  // A folder is walked only when its path and "\*" fit.
  const std::string walkable(maxChars - used - 2, 'g');
  const std::string unwalkable = walkable + "h";
  write(chain + fits);
  write(chain + tooLong);
  write(chain + walkable + "\\a");
  write(chain + unwalkable + "\\a");
  if (!test::exists(dir.file(chain + tooLong)) || !test::exists(dir.file(chain + unwalkable + "\\a")))
    GTEST_SKIP() << "the file system refuses paths this long";

  EXPECT_TRUE(walk());
  EXPECT_EQ(visitor.count("file " + chain + fits + " "), 1u);
  EXPECT_EQ(visitor.count("file " + chain + tooLong + " "), 0u);
  EXPECT_EQ(visitor.count("enter " + chain + walkable), 1u);
  EXPECT_EQ(visitor.count("leave " + chain + walkable), 1u);
  EXPECT_EQ(visitor.count("file " + chain + walkable + "\\a "), 1u);
  EXPECT_EQ(visitor.count("enter " + chain + unwalkable), 0u);
  EXPECT_EQ(visitor.count("leave " + chain + unwalkable), 0u);
  EXPECT_EQ(visitor.events.back(), "end");
}

}  // namespace
}  // namespace korvel
