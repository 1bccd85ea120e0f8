// Fixture of the read-side tests: a scratch folder for archives made by the
// test-side builder, and helpers that open and read them through the library.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "archive/read/provider.h"
#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "sorvane/sorvane.h"
#include "compression/scomp.h"
#include "platform/platform.h"
#include "tests/support/archive_builder.h"
#include "tests/support/scratch_test.h"

namespace readtest {

using testsupport::ArchiveBuilder;
using testsupport::Bytes;
using testsupport::Layout;

// Sectors packed by the library's own coders, for hand-built archives with
// real compressed data; a sector packing does not shrink stays as it is.
inline testsupport::SectorEncoder PackedSectors(uint32_t mask) {
  return [mask](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes out(length);
    uint32_t produced = length;
    const bool ok = (mask & BUILTIN_PROVIDER_MASK)
                        ? BuiltinProviderCompress(out.data(), &produced, data, length, mask, 0, 0) != 0
                        : CompressSector(out.data(), &produced, data, length, mask, 0, 0);
    if (!ok || produced >= length) return Bytes(data, data + length);
    out.resize(produced);
    return out;
  };
}

class ArchiveTest : public testsupport::ScratchArchiveTest {
 protected:
  ArchiveTest() : ScratchArchiveTest("tavrix-read-") {}

  std::string Write(const std::string& name, const Bytes& bytes) const {
    const std::string path = Path(name);
    testsupport::WriteBytes(path, bytes);
    return path;
  }

  // Writes the built archive under a fresh name and opens it; null on failure.
  ArchiveHandle Open(const ArchiveBuilder& builder, Layout* layout = nullptr,
                     uint32_t priority = 0) {
    return OpenBytes(builder.Build(layout), priority);
  }
  ArchiveHandle OpenBytes(const Bytes& bytes, uint32_t priority = 0) {
    const std::string path = Write("a" + std::to_string(counter_++) + ".mpq", bytes);
    ArchiveHandle archive = nullptr;
    if (!OpenArchive(path.c_str(), priority, 0, &archive)) return nullptr;
    return archive;
  }

  // The whole file from its current position, read in chunks of `chunk`.
  static Bytes ReadRest(FileHandle file, uint32_t chunk = 1 << 20) {
    Bytes out;
    Bytes buffer(chunk);
    for (;;) {
      uint32_t got = 0;
      if (!ReadArchiveFile(file, buffer.data(), chunk, &got, nullptr)) {
        ADD_FAILURE() << "read failed with " << GetLastError();
        break;
      }
      if (got == 0) break;
      out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    }
    return out;
  }

  static Bytes ReadNamed(ArchiveHandle archive, const char* name) {
    FileHandle file = nullptr;
    if (!OpenArchiveFile(archive, name, 0, &file)) {
      ADD_FAILURE() << "cannot open " << name << ": " << GetLastError();
      return {};
    }
    Bytes out = ReadRest(file);
    CloseArchiveFile(file);
    return out;
  }

  static std::string NameOf(const void* handle) {
    char buffer[kMaxPath + 1] = {};
    if (!GetHandleName(handle, buffer, sizeof buffer)) return "<none>";
    return buffer;
  }

 private:
  int counter_ = 0;
};

}  // namespace readtest
