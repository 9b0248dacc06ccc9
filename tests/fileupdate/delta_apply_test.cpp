// Delta patching within an update: which delta is chosen, where its data lies, and the running
// program's own file patched through its copy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileupdate/delta_patch.h"
#include "fileupdate/file_node.h"
#include "common/result_codes.h"
#include "tests/fileupdate/update_fixture.h"

namespace korvel {
namespace {

using ::testing::IsEmpty;
using test::DeltaData;
using test::readFile;
using test::ServedFile;

class DeltaApplyTest : public test::UpdateTest {
 protected:
  const std::string old = "version one of the file";
  const std::string next = "version two of the file, longer";
  // Turns `old` into `next`.
  const DeltaData delta = DeltaData(31).literal("version two").copy(11, 12).literal(", longer");
};

TEST_F(DeltaApplyTest, FirstOfTwoDeltasForTheSameOldVersionIsUsed) {
  ServedFile game{"game.dat", next};
  game.deltas.push_back({"first.delta", delta.bytes(), test::crcOf(old)});
  game.deltas.push_back({"second.delta", DeltaData().literal("wrong").bytes(), test::crcOf(old)});
  install(game, old, false);
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("game.dat")), next);
  EXPECT_EQ(requests("first.delta"), 1);
  EXPECT_EQ(requests("second.delta"), 0);
  EXPECT_EQ(requests("game.dat"), 0);
}

TEST_F(DeltaApplyTest, DataOfAFileWithALocalPathIsFetchedAndReadBesideTheFile) {
  ServedFile game{"data\\game.dat", next, 1100000000, "LocalPath=\"elsewhere\""};
  game.deltas.push_back({"game.delta", delta.bytes(), test::crcOf(old)});
  install(game, old, false);
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("data\\game.dat")), next);
  EXPECT_EQ(requests("game.dat"), 0) << "the delta was applied, not replaced by the full file";
  EXPECT_FALSE(test::exists(dir.file("elsewhere")));
  EXPECT_FALSE(test::exists(dir.file("data\\game.dat_delta")));
}

TEST_F(DeltaApplyTest, NoChosenDeltaIsResult20) {
  const ServedFile game{"game.dat", next};
  install(game, next);
  load({game});
  EXPECT_EQ(file("game.dat")->applyDelta(false, dir.path()), result::kDeltaFailed);
}

TEST_F(DeltaApplyTest, RunningProgramIsPatchedThroughItsTemporaryCopy) {
  session.setOwnFileName("korvel.exe");
  ServedFile self{"korvel.exe", next};
  self.deltas.push_back({"korvel.delta", delta.bytes(), test::crcOf(old)});
  install(self, old, false);
  load({self});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("korvel.exe")), old) << "the running file is never written";
  EXPECT_EQ(readFile(dir.file("_orvel.exe")), next);
  EXPECT_EQ(requests("korvel.exe"), 0);
  EXPECT_TRUE(client.logged("Delta patching the patcher...\n"));
  EXPECT_THAT(client.errors(), IsEmpty());
}

}  // namespace
}  // namespace korvel
