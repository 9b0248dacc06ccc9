// Tests of the walks over the products: selection and local roots.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "manifest/product_record.h"
#include "tests/session/session_jobs_fixture.h"

namespace korvel {
namespace {

using ::testing::ElementsAre;

class ProductWalksTest : public test::SessionJobsTest {};

TEST_F(ProductWalksTest, NamedProductsAreSelectedAndGivenTheirRoot) {
  patcher().setRescanAfterLoad(false);
  loadLocal(files, "Optional=\"yes\"");
  ProductHandle* product = patcher().products().findProduct(kDistribution);
  ASSERT_NE(product, nullptr);
  EXPECT_FALSE(product->record().selected()) << "optional products start unselected";
  EXPECT_FALSE(client->selectDistributions("No Such Thing", true));
  // An unselected named product is counted as if selected, and left unselected.
  EXPECT_EQ(patcher().countFiles(kDistribution, 0), 4);
  EXPECT_EQ(patcher().countFiles(kDistribution, 0), 4) << "each count starts a new pass";
  EXPECT_EQ(patcher().countFiles(nullptr, 0), 0);
  EXPECT_FALSE(product->record().selected());

  EXPECT_TRUE(client->selectDistributions(kDistribution, true));
  EXPECT_TRUE(product->record().selected());
  EXPECT_TRUE(product->record().selectedSecondary());
  const std::string root = dir.file("sibling");
  install({"sibling\\c.bin", "", files[2].time}, "charlie");
  EXPECT_TRUE(client->setDistributionPath(kDistribution, root.c_str()));
  EXPECT_EQ(patcher().walks().distributionPath(kDistribution), root);
  // Every file checked itself against the new root: three are missing there.
  EXPECT_EQ(client->linesStartingWith("--- File Discrepancy M").size(), 3u);
  EXPECT_THAT(client->progressOn(kBarScan), ElementsAre(25, 50, 75, 100));
  EXPECT_GT(client->updateAmount(kDistribution, 0), 0);
  EXPECT_TRUE(client->setDistributionPath(kDistribution, nullptr));
  EXPECT_EQ(patcher().walks().distributionPath(kDistribution), "");
  EXPECT_TRUE(client->selectDistributions(nullptr, false));
  EXPECT_FALSE(product->record().selected());
  // Without names the path is the default root, refused beyond 255 characters.
  EXPECT_FALSE(client->setDistributionPath(nullptr, std::string(256, 'x').c_str()));
  EXPECT_TRUE(client->setDistributionPath(nullptr, std::string(255, 'x').c_str()));
  EXPECT_EQ(patcher().walks().distributionPath(nullptr), std::string(255, 'x'));
}

}  // namespace
}  // namespace korvel
