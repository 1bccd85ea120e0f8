// The system services the reports stand on: memory permissions, modules of
// addresses, symbols and the lock.
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/diag.h"
#include "platform/platform.h"

namespace {

const char kConstantText[] = "constant text that lives in a read-only section";

}  // namespace

int PlatformDiagExportedFunction(int value) { return value * 3 + 1; }

TEST(PlatformDiag, MemoryPermissions) {
  auto heap = std::make_unique<unsigned char[]>(64);
  EXPECT_TRUE(platform::IsReadableMemory(heap.get(), 64));
  EXPECT_TRUE(platform::IsWritableMemory(heap.get(), 64));

  EXPECT_TRUE(platform::IsReadableMemory(kConstantText, sizeof kConstantText));
  EXPECT_FALSE(platform::IsWritableMemory(kConstantText, sizeof kConstantText));

  EXPECT_FALSE(platform::IsReadableMemory(reinterpret_cast<const void*>(16), 4));
  // A range that wraps around the address space is never readable.
  EXPECT_FALSE(platform::IsReadableMemory(reinterpret_cast<const void*>(UINTPTR_MAX - 3), 8));

  unsigned char copy[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_FALSE(platform::ReadMemory(reinterpret_cast<const void*>(16), copy, sizeof copy));
  EXPECT_EQ(copy[0], 1);  // untouched on failure
  ASSERT_TRUE(platform::ReadMemory(kConstantText, copy, sizeof copy));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(copy), sizeof copy), "constant");
}

TEST(PlatformDiag, ModuleAndSymbolOfAnAddress) {
  const auto address = reinterpret_cast<uintptr_t>(&PlatformDiagExportedFunction);
  char program[4096];
  const uint32_t length = platform::GetModuleFileName(program, sizeof program);
  ASSERT_GT(length, 0u);

  char path[4096];
  uint32_t section = 0;
  uintptr_t offset = 0;
  ASSERT_TRUE(platform::GetModuleOfAddress(address, path, sizeof path, &section, &offset));
  EXPECT_EQ(std::string(path), std::string(program, length));
  EXPECT_GE(section, 1u);

  char other[4096];
  uint32_t otherSection = 0;
  uintptr_t otherOffset = 0;
  ASSERT_TRUE(platform::GetModuleOfAddress(address + 4, other, sizeof other, &otherSection, &otherOffset));
  EXPECT_EQ(otherSection, section);
  EXPECT_EQ(otherOffset, offset + 4);

  EXPECT_FALSE(platform::GetModuleOfAddress(16, path, sizeof path, &section, &offset));

#if !defined(_WIN32)
  ASSERT_TRUE(platform::DebugHelpLoad());
  ASSERT_TRUE(platform::DebugHelpInitialize());
  char name[512];
  uintptr_t displacement = 99;
  ASSERT_TRUE(platform::SymbolName(address + 2, name, sizeof name, &displacement));
  EXPECT_EQ(std::string(name), "PlatformDiagExportedFunction(int)");
  EXPECT_EQ(displacement, 2u);
  char image[4096];
  uintptr_t moduleAddress = 0;
  ASSERT_TRUE(platform::SymbolModule(address, image, sizeof image, &moduleAddress));
  EXPECT_EQ(std::string(image), std::string(program, length));
#endif
}

TEST(PlatformDiag, LongFileNameAndClock) {
  char program[4096];
  const uint32_t length = platform::GetModuleFileName(program, sizeof program);
  ASSERT_GT(length, 0u);
  std::string name;
  ASSERT_TRUE(platform::GetLongFileName(program, name));
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find_first_of("\\/"), std::string::npos);
  EXPECT_FALSE(platform::GetLongFileName("/no/such/folder/file.exe", name));

  platform::LocalTime time{};
  platform::GetLocalTime(&time);
  EXPECT_GE(time.year, 2000);
  EXPECT_GE(time.month, 1);
  EXPECT_LE(time.month, 12);
  EXPECT_LE(time.hour, 23);
  EXPECT_LE(time.milliseconds, 999);
}

TEST(PlatformDiag, CriticalSectionIsRecursive) {
  // Sections live for the whole process.
  static platform::CriticalSection section = platform::CreateCriticalSection();
  ASSERT_NE(section, nullptr);
  platform::EnterCriticalSection(section);
  platform::EnterCriticalSection(section);
  platform::LeaveCriticalSection(section);
  platform::LeaveCriticalSection(section);
}
