// A scratch folder per test, removed afterwards, and small file helpers
// written against the platform calls themselves.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "tests/support/run_program.h"
#include "platform/platform.h"

namespace platform_test {

class ScratchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testsupport::NewScratchFolder("tavrix-platform-");
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // A path inside the scratch folder, in the system's own spelling.
  std::string Path(const std::string& name) const { return (root_ / name).string(); }
  // The same path with every separator written as a backslash.
  std::string BackslashPath(const std::string& name) const {
    std::string path = Path(name);
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    return path;
  }

  static void WriteText(const std::string& path, const std::string& text) {
    platform::OsHandle h = platform::CreateFile(path.c_str(), platform::kGenericWrite, 0, platform::kCreateAlways,
                                                platform::kFileAttributeNormal);
    ASSERT_TRUE(platform::IsValidHandle(h)) << path;
    uint32_t written = 0;
    ASSERT_TRUE(platform::WriteFile(h, text.data(), static_cast<uint32_t>(text.size()), &written));
    ASSERT_EQ(written, text.size());
    ASSERT_TRUE(platform::CloseHandle(h));
  }

  static std::string ReadText(const std::string& path) {
    platform::OsHandle h =
        platform::CreateFile(path.c_str(), platform::kGenericRead, platform::kFileShareRead, platform::kOpenExisting, 0);
    EXPECT_TRUE(platform::IsValidHandle(h)) << path;
    if (!platform::IsValidHandle(h)) return "<unopened>";
    std::string text(4096, '\0');
    uint32_t got = 0;
    EXPECT_TRUE(platform::ReadFile(h, text.data(), static_cast<uint32_t>(text.size()), &got));
    text.resize(got);
    platform::CloseHandle(h);
    return text;
  }

  std::filesystem::path root_;
};

}  // namespace platform_test
