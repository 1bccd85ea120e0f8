// The system services the reports stand on: memory permissions, modules of
// addresses, symbols and the lock.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "diagnostics/system.h"
#include "platform/platform.h"
#if !defined(_WIN32)
#include <time.h>

#include "diagnostics/posix/fault_internal.h"
#endif

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

TEST(PlatformDiag, SnapshotAnswersAsTheLiveMap) {
  // Addresses of every kind, and their neighbourhoods: heap, stack, code,
  // read-only data, nothing at all, the top of the address space.
  auto heap = std::make_unique<unsigned char[]>(1 << 20);
  unsigned char local[64] = {};
  const uintptr_t anchors[] = {reinterpret_cast<uintptr_t>(heap.get()),
                               reinterpret_cast<uintptr_t>(local),
                               reinterpret_cast<uintptr_t>(&PlatformDiagExportedFunction),
                               reinterpret_cast<uintptr_t>(kConstantText),
                               0,
                               UINTPTR_MAX - 4096};
  struct Query {
    uintptr_t address;
    size_t size;
  };
  std::vector<Query> queries;
  uint64_t seed = 0x9E3779B97F4A7C15ull;
  for (uintptr_t anchor : anchors) {
    for (int i = 0; i < 200; ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      const uintptr_t offset = static_cast<uintptr_t>(seed >> 40) % (1 << 22);
      const uintptr_t address = (seed & 1) != 0 ? anchor + offset : anchor - offset;
      queries.push_back({address, static_cast<size_t>(1 + (seed >> 20) % 70000)});
    }
  }
  // Nothing may be mapped between the two rounds of questions: no
  // allocation in between.
  std::vector<int> live;
  std::vector<int> snapshot;
  live.reserve(queries.size());
  snapshot.reserve(queries.size());
  for (const Query& q : queries) {
    const void* a = reinterpret_cast<const void*>(q.address);
    live.push_back(platform::IsReadableMemory(a, q.size) * 2 + platform::IsWritableMemory(a, q.size));
  }
  ASSERT_TRUE(platform::BeginMemorySnapshot());
  for (const Query& q : queries) {
    const void* a = reinterpret_cast<const void*>(q.address);
    snapshot.push_back(platform::IsReadableMemory(a, q.size) * 2 + platform::IsWritableMemory(a, q.size));
  }
#if !defined(_WIN32)
  // One snapshot at a time (Windows keeps none).
  bool second = true;
  std::thread([&] { second = platform::BeginMemorySnapshot(); }).join();
  EXPECT_FALSE(second);
#endif
  for (size_t i = 0; i < queries.size(); ++i) {
    EXPECT_EQ(snapshot[i], live[i]) << std::hex << queries[i].address << " +" << std::dec << queries[i].size;
  }
  platform::EndMemorySnapshot();
  EXPECT_TRUE(platform::IsReadableMemory(heap.get(), 1 << 20));
}

#if !defined(_WIN32)
TEST(PlatformDiag, CalendarWithoutTheTimeZoneDatabase) {
  // Against the C library's UTC calendar, from 1970 back and forth over
  // every kind of year.
  uint64_t seed = 42;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    const int64_t seconds = static_cast<int64_t>(seed >> 24) % 253402300800ll - (i % 3 == 0 ? 2000000000ll : 0);
    platform::LocalTime ours{};
    platform::posix::CivilTime(seconds, &ours);
    const time_t t = static_cast<time_t>(seconds);
    struct tm theirs;
    ASSERT_NE(gmtime_r(&t, &theirs), nullptr);
    ASSERT_EQ(ours.year, theirs.tm_year + 1900) << seconds;
    ASSERT_EQ(ours.month, theirs.tm_mon + 1) << seconds;
    ASSERT_EQ(ours.day, theirs.tm_mday) << seconds;
    ASSERT_EQ(ours.dayOfWeek, theirs.tm_wday) << seconds;
    ASSERT_EQ(ours.hour, theirs.tm_hour) << seconds;
    ASSERT_EQ(ours.minute, theirs.tm_min) << seconds;
    ASSERT_EQ(ours.second, theirs.tm_sec) << seconds;
  }
}
#endif
