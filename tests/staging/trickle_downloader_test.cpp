// Tests of the background stager as this build has it: construction, the disabled switch, no copies.
#include "staging/trickle_downloader.h"

#include <libxml/tree.h>

#include <gtest/gtest.h>

#include "manifest/xml_attributes.h"
#include "patchcache/patch_cache.h"
#include "platform/faults.h"
#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

class TrickleDownloaderTest : public test::ModelTest {
 protected:
  TrickleDownloader* stagerOf(const std::string& distributionAttributes) {
    EXPECT_TRUE(buildProduct("Name=\"Game\"", "<Distribution Live=\"false\" " + distributionAttributes + "/>"));
    return dynamic_cast<TrickleDownloader*>(tree()->stager());
  }
};

TEST_F(TrickleDownloaderTest, ConstructionReadsTheElementAndLogsWhatItWillUse) {
  TrickleDownloader* stager = stagerOf("Name=\"Next\" Version=\"42\" Server=\"stage.host\" Port=\"8000\"");
  ASSERT_NE(stager, nullptr);
  EXPECT_EQ(stager->name(), "Next");
  EXPECT_EQ(stager->version(), "42");
  EXPECT_EQ(stager->server(), "stage.host");
  EXPECT_EQ(stager->port(), 8000);
  EXPECT_FALSE(stager->done());
  EXPECT_FALSE(stager->currentCache().dropMissing());
  EXPECT_FALSE(stager->transferCache().dropMissing());
  EXPECT_TRUE(client.logged("TrickleDownloader created for 'Game' distribution 'Next'.\n"));
  EXPECT_TRUE(client.logged("TrickleDownloader VIP is 'stage.host:8000'.\n"));
}

TEST_F(TrickleDownloaderTest, MissingNamesAndServerAreLogged) {
  TrickleDownloader* stager = stagerOf("Version=\"1\"");
  ASSERT_NE(stager, nullptr);
  EXPECT_EQ(stager->port(), 0);
  EXPECT_TRUE(client.logged("TrickleDownloader() - product or dist name null!\n"));
  EXPECT_TRUE(client.logged("TrickleDownloader VIP is not set - using main VIP.\n"));
}

TEST_F(TrickleDownloaderTest, KeepsItsOwnCopyOfTheElement) {
  TrickleDownloader* stager = stagerOf("Name=\"Next\"");
  ASSERT_NE(stager, nullptr);
  document.reset();
  ASSERT_NE(stager->element(), nullptr);
  EXPECT_EQ(readText(stager->element(), "Name"), "Next");
}

TEST_F(TrickleDownloaderTest, WithTheSwitchOffEveryCallOnlyLogsThatStagingIsDisabled) {
  TrickleDownloader* stager = stagerOf("Name=\"Next\" Version=\"2\"");
  ASSERT_NE(stager, nullptr);
  EXPECT_FALSE(session.trickleEnabled());
  stager->stageDistribution();
  stager->stageDistribution();
  EXPECT_EQ(client.countLogged("TrickleDownloader disabled, skipping stage operation\n"), 2);
  EXPECT_TRUE(stager->done());
  EXPECT_FALSE(client.logged("TrickleDownloader::stageDistribution()\n"));
  EXPECT_FALSE(stager->getStagedFile(dir.path(), dir.file("a.pak"), 1, 1, 0, true, {}));
}

TEST_F(TrickleDownloaderTest, WithTheSwitchOnTheMissingTransferServiceEndsEachAttempt) {
  TrickleDownloader* stager = stagerOf("Name=\"Next\" Version=\"2\"");
  ASSERT_NE(stager, nullptr);
  session.setTrickleEnabled(true);
  platform::faults::failManagerCreation.store(true);
  stager->stageDistribution();
  stager->stageDistribution();
  EXPECT_EQ(client.countLogged("TrickleDownloader::stageDistribution()\n"), 2);
  EXPECT_EQ(client.countLogged("TarnBitsException creating Manager: Failed to initialize IBackgroundCopyManager\n"), 2);
  EXPECT_FALSE(stager->done());
}

}  // namespace
}  // namespace korvel
