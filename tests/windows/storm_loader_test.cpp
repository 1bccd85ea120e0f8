// The game's compression library as the loader finds it on Windows. Built
// twice: once into a folder where the stand-in library sits beside the
// program (TAVRIX_STORM_BESIDE), once into a folder without it.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "archive/read/provider.h"
#include "sorvane/sorvane.h"
#include "platform/platform.h"
#include "tests/support/archive_builder.h"
#include "tests/windows/standin_codec.h"

namespace {

using testsupport::ArchiveBuilder;
using testsupport::Bytes;

// Runs of 37 equal bytes: the stand-in's format shrinks them well.
Bytes Runs(size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i / 37 * 11);
  return out;
}

Bytes StandInSector(const uint8_t* data, uint32_t length, uint32_t /*index*/) {
  Bytes out(2 * length + 1);
  out.resize(standin::Encode(out.data(), static_cast<uint32_t>(out.size()), data, length));
  return out;
}

class StormLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testsupport::NewScratchFolder("tavrix-storm-");
  }
  void TearDown() override {
    LibraryShutdown();
    UnloadStormLibrary();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string Path(const std::string& name) const { return (root_ / name).string(); }

  // Writes an archive holding `content` under "data.bin", every sector in
  // the stand-in's format (or as the encoder makes it).
  std::string WriteStandInArchive(const Bytes& content, uint32_t extraFlags = 0,
                                  testsupport::SectorEncoder encoder = StandInSector) {
    ArchiveBuilder builder;
    builder.Add("data.bin", content, BLOCK_COMPRESSED | extraFlags).encodeSector = std::move(encoder);
    const std::string path = Path("standin" + std::to_string(counter_++) + ".mpq");
    builder.WriteTo(path);
    return path;
  }

  // Reads "data.bin" whole; false with the last error when the read fails.
  static bool ReadAll(const std::string& archivePath, Bytes* out) {
    ArchiveHandle archive = nullptr;
    if (!OpenArchive(archivePath.c_str(), 0, 0, &archive)) return false;
    FileHandle file = nullptr;
    bool ok = OpenArchiveFile(archive, "data.bin", 0, &file);
    if (ok) {
      out->assign(GetArchiveFileSize(file, nullptr), 0);
      uint32_t got = 0;
      ok = ReadArchiveFile(file, out->data(), static_cast<uint32_t>(out->size()), &got, nullptr) &&
           got == out->size();
      const uint32_t reason = platform::GetLastError();
      CloseArchiveFile(file);
      platform::SetLastError(reason);
    }
    const uint32_t reason = platform::GetLastError();
    CloseArchive(archive);
    platform::SetLastError(reason);
    return ok;
  }

  // Adds `content` with the stand-in's mask to a new archive.
  bool AddWithStandInMask(const std::string& archivePath, const Bytes& content) {
    ArchiveHandle archive = OpenArchiveWritable(archivePath.c_str(), UPDATE_CREATE_ALWAYS, 16);
    if (!IsUsableArchive(archive)) return false;
    const bool ok = AddFileFromMemory(archive, content.data(), static_cast<uint32_t>(content.size()), "data.bin",
                                      BLOCK_COMPRESSED, standin::kMask, 0);
    CloseWritableArchive(archive, 0);
    return ok;
  }

  static uint64_t FileSize(const std::string& path) { return std::filesystem::file_size(path); }

  std::filesystem::path root_;
  int counter_ = 0;
};

#ifdef TAVRIX_STORM_BESIDE

// The stand-in's own counters, read through a second reference to the
// library the loader holds.
class StandInCounters {
 public:
  StandInCounters() : module_(platform::LoadLibrary("Storm.dll")) {}
  ~StandInCounters() {
    if (module_ != nullptr) platform::FreeLibrary(module_);
  }
  bool Loaded() const { return module_ != nullptr; }
  void* Entry(const char* name) const { return platform::GetProcAddress(module_, name); }
  uint32_t Compressions() const { return Call("StandInCompressCalls"); }
  uint32_t Decompressions() const { return Call("StandInDecompressCalls"); }

 private:
  uint32_t Call(const char* name) const {
    auto* entry = reinterpret_cast<uint32_t (*)()>(Entry(name));
    return entry != nullptr ? entry() : 0xFFFFFFFFu;
  }
  platform::ModuleHandle module_;
};

TEST_F(StormLoaderTest, FindsTheLibraryBesideTheProgramByPlainName) {
  ASSERT_TRUE(LoadStormLibrary());
  StandInCounters standIn;
  ASSERT_TRUE(standIn.Loaded());
  EXPECT_EQ(reinterpret_cast<void*>(StormDecompress), standIn.Entry("StormDecompress"));
  EXPECT_EQ(reinterpret_cast<void*>(StormCompress), standIn.Entry("StormCompress"));
  EXPECT_TRUE(LoadStormLibrary());  // already loaded: nothing changes
  EXPECT_EQ(reinterpret_cast<void*>(StormDecompress), standIn.Entry("StormDecompress"));

  UnloadStormLibrary();
  EXPECT_EQ(StormDecompress, &BuiltinProviderDecompress);
  EXPECT_EQ(StormCompress, &BuiltinProviderCompress);
}

TEST_F(StormLoaderTest, ForeignMasksAreHandedToTheLibrary) {
  const Bytes content = Runs(10000);  // three sectors of 4096
  for (uint32_t flags : {0u, BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED}) {
    const std::string archive = WriteStandInArchive(content, flags);
    ASSERT_TRUE(LoadStormLibrary());
    StandInCounters standIn;
    const uint32_t before = standIn.Decompressions();
    Bytes back;
    ASSERT_TRUE(ReadAll(archive, &back)) << "flags " << flags << " error " << platform::GetLastError();
    EXPECT_TRUE(back == content) << "flags " << flags;
    EXPECT_EQ(standIn.Decompressions() - before, 3u);
  }
}

TEST_F(StormLoaderTest, AddingWithAForeignMaskUsesTheLibrarysCompressor) {
  const Bytes content = Runs(40000);
  ASSERT_TRUE(LoadStormLibrary());
  StandInCounters standIn;
  const uint32_t before = standIn.Compressions();
  const std::string archive = Path("added.mpq");
  ASSERT_TRUE(AddWithStandInMask(archive, content)) << platform::GetLastError();
  EXPECT_GE(standIn.Compressions() - before, 10u);  // one call per sector
  // Stored in the stand-in's format, so far smaller than the file.
  EXPECT_LT(FileSize(archive), content.size() / 4);
  Bytes back;
  ASSERT_TRUE(ReadAll(archive, &back)) << platform::GetLastError();
  EXPECT_TRUE(back == content);
}

TEST_F(StormLoaderTest, AMaskMixingOwnAndForeignMethodsIsNotHandedOver) {
  const Bytes content = Runs(5000);
  const std::string archive = WriteStandInArchive(content, 0, [](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes sector = StandInSector(data, length, 0);
    sector[0] = standin::kMask | COMP_IMPLODE;
    return sector;
  });
  ASSERT_TRUE(LoadStormLibrary());
  StandInCounters standIn;
  const uint32_t before = standIn.Decompressions();
  Bytes back;
  EXPECT_FALSE(ReadAll(archive, &back));
  EXPECT_EQ(platform::GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(standIn.Decompressions(), before);
}

TEST_F(StormLoaderTest, ASectorTheLibraryCannotUndoFailsTheRead) {
  const Bytes content = Runs(5000);
  const std::string archive = WriteStandInArchive(content, 0, [](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes sector = StandInSector(data, length, 0);
    sector.push_back(0);  // an odd length is no run list
    return sector;
  });
  Bytes back;
  EXPECT_FALSE(ReadAll(archive, &back));
  EXPECT_EQ(platform::GetLastError(), ERROR_FILE_CORRUPT);
}

#else  // no library beside the program

TEST_F(StormLoaderTest, WithoutTheLibraryTheBuiltInProviderStandsIn) {
  EXPECT_FALSE(LoadStormLibrary());
  EXPECT_EQ(StormDecompress, &BuiltinProviderDecompress);
  EXPECT_EQ(StormCompress, &BuiltinProviderCompress);
}

// A library anyone can leave beside an archive (the current folder) is no
// installed one.
TEST_F(StormLoaderTest, ALibraryInTheCurrentFolderIsNotLoaded) {
  char program[1024];
  const uint32_t length = platform::GetModuleFileName(program, sizeof program);
  ASSERT_TRUE(length > 0 && length < sizeof program);
  const std::filesystem::path standIn = std::filesystem::path(program).parent_path().parent_path() / "with" / "Storm.dll";
  std::filesystem::copy_file(standIn, root_ / "Storm.dll");
  char saved[1024];
  ASSERT_GT(platform::GetCurrentDirectory(sizeof saved, saved), 0u);
  ASSERT_TRUE(platform::SetCurrentDirectory(root_.string().c_str()));
  const bool loaded = LoadStormLibrary();
  ASSERT_TRUE(platform::SetCurrentDirectory(saved));
  EXPECT_FALSE(loaded);
  EXPECT_EQ(StormDecompress, &BuiltinProviderDecompress);
}

TEST_F(StormLoaderTest, ForeignMasksFailTheReadAsUnsupported) {
  const std::string archive = WriteStandInArchive(Runs(10000));
  Bytes back;
  EXPECT_FALSE(ReadAll(archive, &back));
  EXPECT_EQ(platform::GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(StormLoaderTest, AddingWithAForeignMaskStoresSectorsPlain) {
  const Bytes content = Runs(10000);
  const std::string archive = Path("added.mpq");
  ASSERT_TRUE(AddWithStandInMask(archive, content)) << platform::GetLastError();
  EXPECT_GT(FileSize(archive), content.size());
  Bytes back;
  ASSERT_TRUE(ReadAll(archive, &back)) << platform::GetLastError();
  EXPECT_TRUE(back == content);
}

#endif

}  // namespace
