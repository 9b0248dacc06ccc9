// Tests of the korvel-publish command line: usage errors, a build, a refused build.
#include "tools/publish/publish_command.h"

#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tests/tools/publish_fixture.h"

namespace korvel::publish {
namespace {

namespace fs = std::filesystem;

class PublishCommandTest : public test::TempDirTest {
 protected:
  int run(std::vector<std::string> args) {
    out.str("");
    err.str("");
    return PublishCommand::run(args, out, err);
  }
  std::string path(const char* name) const { return (fs::path(dir.native()) / name).string(); }

  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(PublishCommandTest, UsageErrorsExitWithTwoAndShowTheUsage) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"build"}, {"build", "only-one"}, {"build", "a", "b", "--level", "0"},
           {"build", "a", "b", "--level"}, {"build", "a", "b", "--colour", "red"}, {"build", "a", "b", "stray"},
           {"build", "a", "b", "--expires", "30"}, {"build", "a", "b", "--sign", "k", "--expires", "0"},
           {"serve", "--port", "70000"}, {"serve", "--jobs", "2"}}) {
    EXPECT_EQ(run(args), PublishCommand::kUsage) << (args.empty() ? "" : args[0]);
    EXPECT_NE(err.str().find("usage:"), std::string::npos);
  }
}

TEST_F(PublishCommandTest, BuildReportsWhatItPublished) {
  test::writeText(fs::path(path("game")) / "a.txt", "hello");
  test::writeText(fs::path(path("old")) / "a.txt", "hallo");
  EXPECT_EQ(run({"build", path("game"), path("out"), "--jobs=1", "--level", "9", "--previous", path("old"),
                 "--version", "7"}),
            PublishCommand::kSuccess)
      << err.str();
  EXPECT_NE(out.str().find("Published 1 files in 0 folders"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("Delta data: 0 files"), std::string::npos) << out.str();
  auto manifest = test::resolveManifest(fs::path(path("out")) / "patch" / "wendrel" / "wendrelonly.xml.gz",
                                        "Wendrel Distribution");
  ASSERT_TRUE(manifest.ok) << manifest.error;
  EXPECT_EQ(manifest.productAttributes["Version"], "7");
}

TEST_F(PublishCommandTest, RefusedBuildExitsWithOneAndSaysWhy) {
  test::writeText(fs::path(path("game")) / "bad:name", "x");
  EXPECT_EQ(run({"build", path("game"), path("out")}), PublishCommand::kFailed);
  EXPECT_NE(err.str().find("bad:name"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("nothing was published"), std::string::npos);
}

}  // namespace
}  // namespace korvel::publish
