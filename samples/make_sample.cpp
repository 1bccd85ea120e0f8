// Writes the sample archive shipped in samples/sample.mpq:
//   make_sample [output path]   (default: sample.mpq in the current folder)
// The test-side builder writes its first part byte by byte: a few folders,
// an encrypted file, a position-keyed encrypted file, an empty file and a
// "(listfile)" with CR LF line ends, stored the way the library's own update
// side stores its list (encrypted, key adjusted). The library's update side
// then adds a file for each compression method (implode, Huffman after the
// audio coder on a generated WAV, zlib, bzip2) and a compressed file that is
// both encrypted and position-keyed.
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "sorvane/sorvane.h"
#include "platform/bytes.h"
#include "tests/support/archive_builder.h"

using testsupport::ArchiveBuilder;
using testsupport::Bytes;

namespace {

// Half a second of a two-note chime, 16-bit stereo at 22050 Hz, the notes
// panned apart so that the channels differ.
Bytes ChimeWave() {
  constexpr uint32_t kRate = 22050, kFrames = kRate / 2, kChannels = 2;
  constexpr uint32_t kDataBytes = kFrames * kChannels * 2;
  Bytes wav(44 + kDataBytes);
  uint8_t* p = wav.data();
  auto text = [&p](const char* four) {
    for (int i = 0; i < 4; ++i) *p++ = static_cast<uint8_t>(four[i]);
  };
  auto u32 = [&p](uint32_t v) { platform::StoreLE32(p, v), p += 4; };
  auto u16 = [&p](uint16_t v) { platform::StoreLE16(p, v), p += 2; };
  text("RIFF"), u32(36 + kDataBytes), text("WAVE");
  text("fmt "), u32(16), u16(1), u16(kChannels), u32(kRate), u32(kRate * kChannels * 2), u16(kChannels * 2),
      u16(16);
  text("data"), u32(kDataBytes);
  const double kPi = 3.14159265358979323846;
  for (uint32_t i = 0; i < kFrames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double fade = std::exp(-4.0 * t);
    const double a = std::sin(2 * kPi * 660.0 * t) * fade, b = std::sin(2 * kPi * 990.0 * t) * fade;
    u16(static_cast<uint16_t>(static_cast<int16_t>(12000 * (0.8 * a + 0.2 * b))));
    u16(static_cast<uint16_t>(static_cast<int16_t>(12000 * (0.2 * a + 0.8 * b))));
  }
  return wav;
}

// Text that compresses well, of about the given size.
std::string Lines(const char* what, uint32_t count) {
  std::string text;
  for (uint32_t i = 1; i <= count; ++i) text += std::string(what) + " " + std::to_string(i) + ": ready\r\n";
  return text;
}

struct Addition {
  const char* name;
  std::string content;
  uint32_t flags;
  uint32_t mask;
};

bool AddWithLibrary(const std::string& path) {
  const Bytes wave = ChimeWave();
  const std::vector<Addition> additions = {
      {"Text\\imploded.txt", Lines("Imploded line", 400), BLOCK_IMPLODED, COMP_IMPLODE},
      {"Sounds\\chime.wav", std::string(wave.begin(), wave.end()), BLOCK_COMPRESSED,
       COMP_ADPCM_STEREO | COMP_HUFFMAN},
      {"Data\\zlib.txt", Lines("Deflated line", 400), BLOCK_COMPRESSED, COMP_ZLIB},
      {"Data\\bzip2.txt", Lines("Block-sorted line", 400), BLOCK_COMPRESSED, COMP_BZIP2},
      {"Maps\\Secret\\plan.txt", Lines("Encrypted, position-keyed and imploded line", 200),
       BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, COMP_IMPLODE},
  };
  ArchiveHandle archive = OpenArchiveWritable(path.c_str(), UPDATE_OPEN_EXISTING | UPDATE_KEEP_LISTFILE, 0);
  if (!IsUsableArchive(archive)) {
    std::fprintf(stderr, "make_sample: cannot open %s for update (error %u)\n", path.c_str(),
                 static_cast<unsigned>(GetLastError()));
    return false;
  }
  bool ok = true;
  for (const Addition& a : additions) {
    if (!AddFileFromMemory(archive, a.content.data(), static_cast<uint32_t>(a.content.size()), a.name, a.flags,
                           a.mask, 0)) {
      std::fprintf(stderr, "make_sample: cannot add %s (error %u)\n", a.name, static_cast<unsigned>(GetLastError()));
      ok = false;
    }
  }
  return CloseWritableArchive(archive, 0) && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "sample.mpq";
  try {
    ArchiveBuilder b;
    b.HashTableSize(32);
    b.Add("readme.txt",
          "This archive was made by make_sample to show tavrix and sorvane at work.\r\n"
          "Every file listed in (listfile) lands in a folder named after the archive.\r\n");
    b.Add("Units\\Human\\Footman.txt",
          "Footman\r\nHit points: 420\r\nArmor: 2\r\nWeapon: sword\r\n");
    b.Add("Units\\Orc\\Grunt.txt",
          "Grunt\r\nHit points: 700\r\nArmor: 1\r\nWeapon: axe\r\n"
          "(stored encrypted with the key of its name)\r\n",
          BLOCK_ENCRYPTED);
    b.Add("Maps\\Secret\\notes.txt",
          "Stored encrypted with a key adjusted by the file's place and size.\r\n",
          BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | BLOCK_COMPRESSED);
    b.Add("Maps\\pattern.bin", testsupport::PatternBytes(10000, 2003));
    b.Add("Empty\\empty.dat", testsupport::Bytes{});
    const std::vector<std::string> names = {"readme.txt",        "Units\\Human\\Footman.txt",
                                            "Units\\Orc\\Grunt.txt", "Maps\\Secret\\notes.txt",
                                            "Maps\\pattern.bin", "Empty\\empty.dat",
                                            "(listfile)"};
    b.Listfile(names, "\r\n", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | BLOCK_COMPRESSED);
    b.WriteTo(path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_sample: %s\n", e.what());
    return 1;
  }
  if (!AddWithLibrary(path)) return 1;
  std::printf("wrote %s\n", path.c_str());
  return 0;
}
