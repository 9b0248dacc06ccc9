// The fixture of the background transfer tests: a state folder of its own for the POSIX service, the
// updater program as its helper, job names no other test uses (under Wine the service's jobs outlive a
// test) and the clean-up of every job a test leaves behind.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bits/tarn_bits_manager.h"
#include "platform/background_transfer.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"

namespace korvel::test {

// ASCII text to wide text and back.
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

// Polls `condition` every 50 ms; false when `limit` passes first.
bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit);

class BitsTest : public TempDirTest {
 protected:
  BitsTest();
  ~BitsTest() override;
  void TearDown() override;

  // A job name unique to this test and run: "<prefix>-<suffix>".
  std::wstring jobName(const std::string& suffix) const;
  // A job made directly in the service, past the wrapper, with any display name; cancelled at teardown.
  platform::BackgroundCopyJob* rawJob(const std::wstring& displayName);

  // The native updater program, built beside the tests ("" under Windows).
  static std::string patcherProgram();

 private:
  // The raw service objects need COM on the test's thread (the wrapper brings its own).
  bool com_ = false;
  ScopedEnvironment stateFolder_;
  ScopedEnvironment helper_;
  ScopedEnvironment proxy_[4];
  std::string prefix_;
  std::unique_ptr<platform::BackgroundCopyManager> rawManager_;
  std::vector<std::unique_ptr<platform::BackgroundCopyJob>> rawJobs_;
};

}  // namespace korvel::test
