// Tests of the session's product list: building, lookup by name, walk order, local roots and bases.
#include "manifest/product_list.h"

#include <gtest/gtest.h>

#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

using ProductListTest = test::ModelTest;

TEST_F(ProductListTest, ProductsAreVisitedRecordThenNestedThenFollowing) {
  ASSERT_TRUE(buildProduct("Name=\"Top\"",
                           "<Distribution Name=\"A\"><Distribution Name=\"A1\"/></Distribution>"
                           "<Directory Name=\"d\"/><Distribution Name=\"B\"/>"));
  std::vector<std::string> names;
  session.products().forEachProduct([&](ProductHandle& product) { names.push_back(*product.record().name()); });
  EXPECT_EQ(names, (std::vector<std::string>{"Top", "A", "A1", "B"}));

  EXPECT_EQ(session.findProduct("a1"), distribution("A1")->product());
  EXPECT_EQ(session.findProduct("Top"), session.topProduct());
  EXPECT_EQ(session.findProduct("nobody"), nullptr);
  EXPECT_EQ(session.findProduct(nullptr), nullptr);
}

TEST_F(ProductListTest, ANewBuildReplacesTheProducts) {
  ASSERT_TRUE(buildProduct("Name=\"First\"", "<Distribution Name=\"Gone\"/>"));
  ASSERT_TRUE(buildProduct("Name=\"Second\"", ""));
  EXPECT_EQ(session.findProduct("Gone"), nullptr);
  EXPECT_EQ(top().name(), "Second");
  session.products().clear();
  EXPECT_EQ(session.topProduct(), nullptr);
  EXPECT_EQ(session.tree(), nullptr);
}

TEST_F(ProductListTest, TheProductsShareTheSessionsCaches) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", "<Distribution Name=\"N\"/>"));
  EXPECT_EQ(top().patchCache(), &session.patchCache());
  EXPECT_EQ(distribution("N")->product()->record().patchCache(), &session.patchCache());
  EXPECT_EQ(distribution("N")->product()->record().snapshot(), &session.directorySnapshot());
}

TEST_F(ProductListTest, LocalRootOverridesTheRootPathUntilCleared) {
  ASSERT_TRUE(buildProduct("Name=\"P\" Root=\"" + dir.file("root") + "\"", ""));
  EXPECT_EQ(top().localRoot(), dir.file("root"));
  top().setLocalRoot(dir.file("other"));
  EXPECT_EQ(top().localRoot(), dir.file("other"));
  EXPECT_EQ(top().baseDirectory("fallback"), dir.file("other"));
  top().setLocalRoot(nullptr);
  EXPECT_EQ(top().localRoot(), dir.file("root"));
}

TEST_F(ProductListTest, BaseDirectoryPrefersTheRootThenTheSessionThenTheFallback) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", ""));
  EXPECT_EQ(top().baseDirectory("fallback"), "fallback");
  EXPECT_EQ(top().baseDirectory(nullptr), session.installDirectory());
  session.setDefaultRootPath("D:\\default");
  EXPECT_EQ(top().baseDirectory("fallback"), "D:\\default");
}

}  // namespace
}  // namespace korvel
