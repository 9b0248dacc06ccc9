// Tests of the running program's side of the session: its command line, the self copy and the restart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/faults.h"
#include "platform/files.h"
#include "platform/process.h"
#include "session/self_update.h"
#include "tests/session/session_jobs_fixture.h"

namespace korvel {
namespace {

class SelfUpdateTest : public test::SessionJobsTest {};

class OwnCommandLineTest : public test::SessionJobsTest {
 protected:
  ~OwnCommandLineTest() override { platform::setCommandLine(0, nullptr); }
  void commandLine(std::vector<const char*> arguments) {
    const std::string program = platform::programPath();
    arguments.insert(arguments.begin(), program.c_str());
    platform::setCommandLine(static_cast<int>(arguments.size()), arguments.data());
    patcher().scanOwnCommandLine();
  }
};

TEST_F(OwnCommandLineTest, TheAccessModeOptionIsReadAndEveryArgumentKeptForARestart) {
  commandLine({"inetType:7", "with blank"});
  EXPECT_EQ(patcher().internetAccessMode(), -1) << "only modes 0 to 3 are taken";
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), "inetType:7 \"with blank\"");
  commandLine({"inetType:1", "x"});
  EXPECT_EQ(patcher().internetAccessMode(), 1);
  // Every scan adds the arguments again.
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), "inetType:7 \"with blank\" inetType:1 x");
}

TEST_F(OwnCommandLineTest, ArgumentsThatDoNotFitWholeAreLeftOutNotCut) {
  const std::string filler(240, 'a');
  commandLine({filler.c_str(), "inetType:1", "0123456789abcdef"});
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), filler + " inetType:1") << "the last one had no room left";
  // Cut, the replaced file's name would name another file for the restart to copy over.
  patcher().fileNodeView().registerSelfReplacement("C:\\game\\_ame.exe", "C:\\game\\Game.exe");
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), filler + " inetType:1");
  EXPECT_TRUE(client->logged("The restart's arguments have no room left for PatchPatcher\n"));
}

TEST_F(OwnCommandLineTest, TheCopyKeywordAsTheLastArgumentStartsNoCopy) {
  commandLine({"PatchPatcher"});
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), "");
  // The copy is still available for a later request.
  ASSERT_TRUE(test::writeFile(dir.file("new.exe"), "new build"));
  patcher().fileNodeView().startSelfCopy(dir.file("new.exe").c_str(), dir.file("old.exe").c_str(), true);
  EXPECT_EQ(test::readFile(dir.file("old.exe")), "new build");
}

TEST_F(OwnCommandLineTest, TheCopyKeywordCopiesTheRunningProgramOverItsTarget) {
  patcher().selfUpdate().setOwnFileName("running.exe");
  ASSERT_TRUE(test::writeFile(dir.file("running.exe"), "new build"));
  ASSERT_TRUE(test::writeFile(dir.file("Game.exe"), "old build"));
  commandLine({"PatchPatcher", "Game.exe", "/env:testserver"});
  // The copy runs on the copy worker; the session waits for it when it goes.
  client.reset();
  EXPECT_EQ(test::readFile(dir.file("Game.exe")), "new build");
}

TEST_F(SelfUpdateTest, OnlyTheFirstSelfReplacementAndTheFirstCopyCount) {
  patcher().fileNodeView().registerSelfReplacement("C:\\game\\_ame.exe", "C:\\game\\Game.exe");
  patcher().fileNodeView().registerSelfReplacement("C:\\game\\other.exe", "C:\\game\\Other.exe");
  EXPECT_EQ(patcher().selfUpdate().ownProgramPath(), "C:\\game\\_ame.exe");
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), "PatchPatcher C:\\game\\Game.exe");

  ASSERT_TRUE(test::writeFile(dir.file("a.exe"), "first"));
  // The same text names the same file: nothing to copy.
  patcher().fileNodeView().startSelfCopy(dir.file("a.exe").c_str(), dir.file("a.exe").c_str(), true);
  ASSERT_TRUE(test::writeFile(dir.file("b.exe"), "second"));
  patcher().fileNodeView().startSelfCopy(dir.file("b.exe").c_str(), dir.file("c.exe").c_str(), true);
  EXPECT_FALSE(test::exists(dir.file("c.exe")));
  EXPECT_EQ(test::readFile(dir.file("a.exe")), "first");
}

TEST_F(SelfUpdateTest, ACopyThatFailsMidwayLeavesTheOldProgramWhole) {
  ASSERT_TRUE(test::writeFile(dir.file("new.exe"), std::string(20000, 'n')));
  ASSERT_TRUE(test::writeFile(dir.file("old.exe"), "old build"));
  // The disk fills up after 1000 bytes of the copy.
  platform::faults::writeBudget.store(1000);
  patcher().fileNodeView().startSelfCopy(dir.file("new.exe").c_str(), dir.file("old.exe").c_str(), true);
  platform::faults::writeBudget.store(0);
  EXPECT_EQ(test::readFile(dir.file("old.exe")), "old build");
  EXPECT_FALSE(test::exists(dir.file("old.exe.new")));
  EXPECT_FALSE(client->logged("File Copy: Complete\n"));
}

TEST_F(SelfUpdateTest, ARestartStartsTheNewCopyWithItsArgumentsAndMultiple) {
  std::vector<std::pair<std::string, std::string>> started;
  patcher().selfUpdate().setProcessStarter([&](const std::string& program, const std::string& line) {
    started.emplace_back(program, line);
    return true;
  });
  patcher().fileNodeView().registerSelfReplacement("C:\\game\\_ame.exe", "C:\\game\\Game.exe");
  EXPECT_TRUE(patcher().restartProgram(false));
  EXPECT_TRUE(patcher().stopRequested()) << "a restart stops the session";
  EXPECT_FALSE(patcher().exitAfterJob());
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].first, "C:\\game\\_ame.exe");
  EXPECT_EQ(started[0].second, "\"" + platform::nativePath("C:\\game\\_ame.exe") + "\" PatchPatcher C:\\game\\Game.exe /multiple");
}

}  // namespace
}  // namespace korvel
