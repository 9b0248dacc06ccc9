// The hand-off to the sibling launcher program: its command line, the missing-program message and
// the start in the sibling's folder.
#include <gtest/gtest.h>

#include <vector>

#include "launcher/launcher.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

class HandOffLauncher : public Launcher {
 public:
  HandOffLauncher() {
    setHandOffWait(0);
    addOptions("/game:ryx");
    addOptions("/env:testserver");
  }
  struct Start {
    std::string program, commandLine, directory;
  };
  std::vector<Start> starts;
  std::vector<std::string> messages;
  bool startSucceeds = true;

 protected:
  bool startProgram(const std::string& program, const std::string& commandLine,
                    const std::string& currentDirectory) override {
    starts.push_back({program, commandLine, currentDirectory});
    return startSucceeds;
  }
  void showMessage(const std::string& text, const std::string& caption) override {
    messages.push_back(caption + "|" + text);
  }
};

class HandOffTest : public test::TempDirTest {
 protected:
  std::string sibling() const { return dir.file("Wendrel Game"); }
  void installSibling() { ASSERT_TRUE(test::writeFile(sibling() + "\\Wendrel.exe", "MZ")); }
};

TEST_F(HandOffTest, StartsTheSiblingWithTheOptionsAndTheLaunchFolder) {
  installSibling();
  HandOffLauncher launcher;
  launcher.setSiblingDirectory(sibling());
  EXPECT_TRUE(launcher.handOff("/foo /game:abc \"/gamepatchpath:elsewhere\" \"/with blank\""));

  ASSERT_EQ(1u, launcher.starts.size());
  const auto& start = launcher.starts[0];
  const std::string exe = sibling() + "\\Wendrel.exe";
  EXPECT_EQ(exe, start.program);
  EXPECT_EQ(sibling(), start.directory);
  // The command line names the paths as the system spells them (forward slashes on POSIX).
  EXPECT_EQ("\"" + platform::nativePath(exe) + "\" \"/gamepatchpath:" + platform::nativePath(platform::currentDirectory()) +
                "\" /game:ryx /env:testserver /foo \"/with blank\"  /restarted",
            start.commandLine);
  EXPECT_TRUE(launcher.messages.empty());
}

TEST_F(HandOffTest, MissingSiblingShowsTheMessageOnceAndStartsNothing) {
  HandOffLauncher launcher;
  launcher.setSiblingDirectory(sibling());
  EXPECT_TRUE(launcher.handOff(""));
  EXPECT_TRUE(launcher.starts.empty());
  ASSERT_EQ(1u, launcher.messages.size());
  EXPECT_EQ("Error|" + Launcher::siblingMissingMessage(), launcher.messages[0]);
  EXPECT_EQ(0u, launcher.messages[0].find("Error|Could not run Wendrel.  Please reinstall from "));
}

TEST_F(HandOffTest, FailedStartShowsTheSameMessage) {
  installSibling();
  HandOffLauncher launcher;
  launcher.setSiblingDirectory(sibling());
  launcher.startSucceeds = false;
  EXPECT_FALSE(launcher.handOff(nullptr));
  EXPECT_EQ(1u, launcher.starts.size());
  ASSERT_EQ(1u, launcher.messages.size());
  EXPECT_EQ("Error|" + Launcher::siblingMissingMessage(), launcher.messages[0]);
}

TEST_F(HandOffTest, CommandLineIsBoundedAndAlwaysNamesTheProgram) {
  installSibling();
  HandOffLauncher launcher;
  launcher.setSiblingDirectory(sibling());
  for (int i = 0; i < 200; ++i) launcher.addOptions(("/opt" + std::to_string(i)).c_str());
  launcher.handOff("");
  ASSERT_EQ(1u, launcher.starts.size());
  EXPECT_LE(launcher.starts[0].commandLine.size(), 1023u);
  EXPECT_EQ(0u, launcher.starts[0].commandLine.find("\"" + platform::nativePath(sibling() + "\\Wendrel.exe") + "\" "));
}

}  // namespace
}  // namespace korvel
