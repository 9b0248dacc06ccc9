// Runs the built program once: with no patch server listening it must still start, run its sequence
// and exit with 0, removing the leftover change files of its working folder.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/process.h"
#include "tests/support/recording_client.h"
#include "tests/support/scoped_current_directory.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

// The native program is built into the top of the build folder, one level above the test programs.
std::string findProgram() {
  std::string self = platform::programPath();
  std::size_t cut = self.find_last_of('\\');
  if (cut == std::string::npos) return {};
  std::string testsFolder = self.substr(0, cut);
  cut = testsFolder.find_last_of('\\');
  if (cut == std::string::npos) return {};
  const std::string buildFolder = testsFolder.substr(0, cut);
  const std::string candidate = buildFolder + "\\korvel-patcher";
  return platform::pathExists(candidate) ? candidate : std::string();
}

class ProgramTest : public test::TempDirTest {};

TEST_F(ProgramTest, StartsWithoutServerAndExitsWithZero) {
  const std::string program = findProgram();
  // Only the native program is run here: the command processor need not wait for a Windows GUI
  // program, so running that one is left to scripts.
  if (program.empty()) GTEST_SKIP() << "no native program built beside the tests";

  const std::string logFile = dir.file("patch.log");
  test::ScopedEnvironment server("KORVEL_PATCH_SERVER", "127.0.0.1:1");
  test::ScopedEnvironment log("KORVEL_PATCH_LOG", logFile);
  ASSERT_TRUE(test::writeFile(dir.file("~spatchfile_3.txt"), "left over"));

  int status = -1;
  {
    test::ScopedCurrentDirectory inDir(dir.path());
    const std::string command = "\"" + platform::nativePath(program) + "\" /foo";
    status = std::system(command.c_str());
  }
  EXPECT_EQ(status, 0);
  const std::string written = test::readFile(logFile);
  EXPECT_NE(written.find("Patcher: Creating Thread...\n"), std::string::npos) << written;
  EXPECT_NE(written.find("Patcher: Thread Finish\n"), std::string::npos) << written;
  EXPECT_FALSE(test::exists(dir.file("~spatchfile_3.txt")));
}

}  // namespace
}  // namespace korvel
