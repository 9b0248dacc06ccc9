// Processes: the program's own path and command line, command-line quoting, starting a program with
// arguments and a current directory, and thread priorities.
#include "platform/process.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace korvel::platform {
namespace {

using test::readFile;

constexpr char kHelperOutput[] = "helper-output.txt";

// Not a test: the program started by StartsAProgramWithArgumentsAndDirectory runs only this (by
// filter) and writes its current directory and arguments, one per line, into kHelperOutput.
TEST(ProcessHelper, DISABLED_WritesItsDirectoryAndArguments) {
  std::string text = currentDirectory() + "\n";
  for (const std::string& arg : ::testing::internal::GetArgvs()) text += arg + "\n";
  // Written under another name first so the waiting test never sees half a file.
  ASSERT_TRUE(test::writeFile(std::string(kHelperOutput) + ".part", text));
  ASSERT_TRUE(renameFile(std::string(kHelperOutput) + ".part", kHelperOutput));
}

// Waits, polling, until `path` exists; false after `limit` without it.
bool waitForFile(const std::string& path, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pathExists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    sleepMs(20);
  }
  return true;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
    start = end + 1;
  }
  return out;
}

std::string join(std::initializer_list<const char*> args) {
  std::vector<const char*> argv(args);
  return joinCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(ProcessTest, ProgramPathNamesThisExistingProgram) {
  const std::string path = programPath();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(isAbsolutePath(path));
  EXPECT_TRUE(pathExists(path));
  EXPECT_NE(path.find("korvel_platform_tests"), std::string::npos);
  EXPECT_EQ(path.find('/'), std::string::npos);
}

TEST(ProcessTest, CommandLineStartsWithTheProgram) {
  // POSIX keeps what the entry point records; Windows ignores the call and knows its own.
  std::vector<std::string> args = ::testing::internal::GetArgvs();
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  setCommandLine(static_cast<int>(argv.size()), argv.data());
  const std::string line = commandLine();
  setCommandLine(0, nullptr);
  EXPECT_NE(line.find("korvel_platform_tests"), std::string::npos) << line;
}

TEST(ProcessTest, RecordedCommandLineIsReturnedUntilDropped) {
  const char* argv[] = {"C:\\Games\\prog.exe", "inetType:1", "two words"};
  setCommandLine(3, argv);
  EXPECT_EQ(commandLine(), "C:\\Games\\prog.exe inetType:1 \"two words\"");
  setCommandLine(0, nullptr);
  EXPECT_EQ(commandLine().find("inetType:1"), std::string::npos);
}

TEST(ProcessTest, JoinQuotesArgumentsWithBlanksAndEmptyOnes) {
  EXPECT_EQ(join({"prog", "a", "b"}), "prog a b");
  EXPECT_EQ(join({"C:\\My Games\\prog.exe", "/game:ryx"}), "\"C:\\My Games\\prog.exe\" /game:ryx");
  EXPECT_EQ(join({"prog", "", "x"}), "prog \"\" x");
  EXPECT_EQ(join({"prog", "tab\there"}), "prog \"tab\there\"");
  EXPECT_EQ(join({}), "");
}

TEST(ProcessTest, StartsAProgramWithArgumentsAndDirectory) {
  test::TempDir dir;
  ASSERT_TRUE(createDirectory(dir.file("work dir")));
  const std::string program = programPath();
  const std::string line = "\"" + program +
                           "\" --gtest_also_run_disabled_tests"
                           " --gtest_filter=ProcessHelper.DISABLED_WritesItsDirectoryAndArguments"
                           " \"two words\" plain";
  ASSERT_TRUE(startProcess(program, line, dir.file("work dir")));

  const std::string output = dir.file("work dir\\" + std::string(kHelperOutput));
  ASSERT_TRUE(waitForFile(output, std::chrono::seconds(60)));
  const std::vector<std::string> got = lines(readFile(output));
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got.front(), dir.file("work dir"));
  // The quoted argument arrives as one argument with its blank, after the program's own flags.
  EXPECT_EQ(got[got.size() - 2], "two words");
  EXPECT_EQ(got.back(), "plain");
}

TEST(ProcessTest, StartingAMissingProgramFails) {
  test::TempDir dir;
  const std::string missing = dir.file("no-such-program.exe");
  EXPECT_FALSE(startProcess(missing, "\"" + missing + "\""));
}

TEST(ProcessTest, ThreadPriorityNeedsARunningThread) {
  std::thread idle;
  EXPECT_FALSE(setThreadPriority(idle, kThreadPriorityNormal));

  // The thread must still run when its priority is set: it waits until the test lets it end.
  std::atomic<bool> release{false};
  std::thread worker([&release] {
    while (!release.load()) std::this_thread::yield();
  });
  EXPECT_TRUE(setThreadPriority(worker, kThreadPriorityNormal));
  release.store(true);
  worker.join();
}

}  // namespace
}  // namespace korvel::platform
