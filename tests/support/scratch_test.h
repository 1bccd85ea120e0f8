// Base of the archive test fixtures: a fresh scratch folder per test, and the
// library's process-wide state (open handles, locale) reset around each one
// so a failing test cannot leak into the next.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <utility>

#include "tests/support/run_program.h"
#include "sorvane/sorvane.h"
#include "platform/platform.h"

namespace testsupport {

class ScratchArchiveTest : public ::testing::Test {
 protected:
  // `prefix` names the folder under the system's temporary directory, so a
  // folder left behind by a crashed run tells which suite made it.
  explicit ScratchArchiveTest(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override {
    root_ = testsupport::NewScratchFolder(prefix_);
    SetLocale(0);
  }
  void TearDown() override {
    // Closes every file and archive a test left open.
    LibraryShutdown();
    SetLocale(0);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string Path(const std::string& name) const { return (root_ / name).string(); }
  const std::filesystem::path& Root() const { return root_; }

 private:
  std::string prefix_;
  std::filesystem::path root_;
};

}  // namespace testsupport
