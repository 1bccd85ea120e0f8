// Archives whose sectors went through the real compressors (the dispatch for
// the library's own methods, the built-in provider for zlib and bzip2) are
// extracted by the built tavrix; every byte it writes and its whole output
// are compared with what a reader must deliver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/read/provider.h"
#include "sorvane/sorvane.h"
#include "compression/scomp.h"
#include "tests/support/archive_builder.h"
#include "tests/support/file_tree.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kBanner =
    "Tavrix v1.0\nWritten by Moraine\nNov. 2003\nUses Quillon's Sorvane Library\n\n";
const std::string kListfileRead = "Listfile read...extracting files.\n";
const std::string kPrompt = "Press return to exit";

constexpr uint32_t kAudioMask = COMP_ADPCM_MONO | COMP_ADPCM_STEREO;
// Past one copy chunk of the extractor, so a file takes two reads and the
// chunk border falls inside a sector.
constexpr size_t kBigFile = 4000000 + 100000;

// ---- Contents -------------------------------------------------------------

uint32_t NextRandom(uint32_t& x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

Bytes Text(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"footman ", "grunt ",  "peasant ", "archer",  "knight ",
                                       "ogre ",    "farm ",   "tower ",   "lumber ", "gold ",
                                       "mine ",    "keep, ",  "altar ",   "of ",     "the "};
  std::string text;
  uint32_t x = seed * 2654435761u + 1;
  while (text.size() < size) {
    const uint32_t r = NextRandom(x);
    text += kWords[r % 15];
    if (r % 11 == 0) text += std::to_string(r % 1000);
    if (r % 7 == 0) text += "\r\n";
  }
  text.resize(size);
  return ToBytes(text);
}

// Fixed-size records with counters, small fields and the odd random word,
// like a game's data tables.
Bytes Records(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed * 40503u + 7;
  for (size_t i = 0; i < size; ++i) {
    const size_t record = i / 24, field = i % 24;
    if (field < 4) {
      out[i] = static_cast<uint8_t>(record >> (8 * field));
    } else if (field < 12) {
      out[i] = static_cast<uint8_t>((record * 3 + field) % 7);
    } else if (field < 16) {
      out[i] = static_cast<uint8_t>(NextRandom(x));
    } else {
      out[i] = 0;
    }
  }
  return out;
}

// Long runs of a few values: the kind of data on which a second method still
// pays after the first.
Bytes Runs(size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>((i / 1000) % 3);
  return out;
}

// 16-bit little-endian sound: two tones with a little noise after a stretch
// of digital silence, every 4000 frames. An odd size ends with a stray byte.
Bytes Pcm(size_t size, uint32_t channels, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed * 2246822519u + 3;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const size_t sample = i / 2;
    const size_t frame = sample / channels, channel = sample % channels;
    int v = 0;
    if (frame % 4000 >= 700) {
      const double t = static_cast<double>(frame);
      v = static_cast<int>(9000.0 * std::sin(t * (0.031 + 0.011 * channel)) +
                           3000.0 * std::sin(t * 0.173)) +
          static_cast<int>(NextRandom(x) % 241) - 120;
    }
    const auto s = static_cast<uint16_t>(static_cast<int16_t>(v));
    out[i] = static_cast<uint8_t>(s & 0xFF);
    out[i + 1] = static_cast<uint8_t>(s >> 8);
  }
  if (size % 2 != 0) out[size - 1] = 0x5A;
  return out;
}

void PutLE(Bytes& out, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A RIFF WAVE file: 44-byte header, then PCM data.
Bytes Wav(size_t dataBytes, uint32_t channels, uint32_t seed) {
  Bytes out(44);
  const char* tags = "RIFF    WAVEfmt ";
  std::copy(tags, tags + 16, out.begin());
  PutLE(out, 4, static_cast<uint32_t>(36 + dataBytes), 4);
  PutLE(out, 16, 16, 4);
  PutLE(out, 20, 1, 2);
  PutLE(out, 22, channels, 2);
  PutLE(out, 24, 22050, 4);
  PutLE(out, 28, 22050 * 2 * channels, 4);
  PutLE(out, 32, 2 * channels, 2);
  PutLE(out, 34, 16, 2);
  std::copy_n("data", 4, out.begin() + 36);
  PutLE(out, 40, static_cast<uint32_t>(dataBytes), 4);
  const Bytes pcm = Pcm(dataBytes, channels, seed);
  out.insert(out.end(), pcm.begin(), pcm.end());
  return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// ---- Stored sectors -------------------------------------------------------

// The dispatch's result for one sector: the mask byte and the compressed
// data, or the plain bytes when no method paid.
SectorEncoder Dispatch(uint32_t mask, uint32_t level = 0) {
  return [mask, level](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes out(length);
    uint32_t outLength = length;
    EXPECT_TRUE(CompressSector(out.data(), &outLength, data, length, mask, 0, level));
    EXPECT_LE(outLength, length);
    out.resize(outLength);
    return out;
  };
}

// The built-in provider's result; it declines (0) when nothing pays.
SectorEncoder Provider(uint32_t mask) {
  return [mask](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes out(length);
    uint32_t outLength = length;
    if (BuiltinProviderCompress(out.data(), &outLength, data, length, mask, 0, 0) == 0 ||
        outLength >= length) {
      return Bytes(data, data + length);
    }
    out.resize(outLength);
    return out;
  };
}

SectorEncoder ByMask(uint32_t mask, uint32_t level = 0) {
  return (mask & BUILTIN_PROVIDER_MASK) != 0 ? Provider(mask) : Dispatch(mask, level);
}

// Imploded (not compressed) files store the bare implode stream.
SectorEncoder ImplodedOnly() {
  return [](const uint8_t* data, uint32_t length, uint32_t index) {
    Bytes stored = Dispatch(COMP_IMPLODE)(data, length, index);
    if (stored.size() < length) {
      EXPECT_EQ(stored[0], COMP_IMPLODE);
      stored.erase(stored.begin());
    }
    return stored;
  };
}

SectorEncoder FirstThen(SectorEncoder first, SectorEncoder rest) {
  return [first, rest](const uint8_t* data, uint32_t length, uint32_t index) {
    return index == 0 ? first(data, length, index) : rest(data, length, index);
  };
}

std::vector<Bytes> EncodeSectors(const Bytes& content, uint32_t sectorSize,
                                 const SectorEncoder& encode) {
  std::vector<Bytes> sectors;
  for (size_t at = 0, i = 0; at < content.size(); at += sectorSize, ++i) {
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(sectorSize, content.size() - at));
    sectors.push_back(encode(content.data() + at, length, static_cast<uint32_t>(i)));
  }
  return sectors;
}

// What a reader delivers for an audio-coded file: audio coding is lossy, so
// the reference is the dispatch's own decoding of each stored sector. The
// coders drop the last byte of an odd-sized sector; it reads as 0.
Bytes DecodedAudio(const std::vector<Bytes>& stored, size_t fileSize, uint32_t sectorSize) {
  Bytes out;
  for (size_t i = 0; i < stored.size(); ++i) {
    const uint32_t expected =
        static_cast<uint32_t>(std::min<size_t>(sectorSize, fileSize - i * sectorSize));
    const Bytes& s = stored[i];
    if (s.size() == expected) {
      out.insert(out.end(), s.begin(), s.end());
      continue;
    }
    Bytes sector(expected);
    uint32_t produced = expected;
    EXPECT_TRUE(DecompressSector(sector.data(), &produced, s.data(), static_cast<uint32_t>(s.size())))
        << "sector " << i;
    sector.resize(produced);
    if ((s[0] & kAudioMask) != 0 && expected % 2 != 0 && produced == expected - 1) {
      sector.push_back(0);
    }
    EXPECT_EQ(sector.size(), expected) << "sector " << i;
    out.insert(out.end(), sector.begin(), sector.end());
  }
  return out;
}

// Mean distance per whole sample between two sounds of the same length.
double MeanSampleError(const Bytes& a, const Bytes& b) {
  const size_t samples = std::min(a.size(), b.size()) / 2;
  if (samples == 0) return 0;
  double total = 0;
  for (size_t i = 0; i < samples; ++i) {
    const auto sa = static_cast<int16_t>(a[2 * i] | (a[2 * i + 1] << 8));
    const auto sb = static_cast<int16_t>(b[2 * i] | (b[2 * i + 1] << 8));
    total += std::abs(sa - sb);
  }
  return total / static_cast<double>(samples);
}

bool ProviderHas(uint32_t mask) { return BuiltinProviderSupports(mask); }

// ---- Running tavrix -------------------------------------------------------

// Reports each file that is missing, extra or different (with the first
// differing offset), instead of printing megabytes.
void ExpectSameTree(const std::map<std::string, Bytes>& got,
                    const std::map<std::string, Bytes>& want) {
  for (const auto& [name, bytes] : want) {
    const auto it = got.find(name);
    if (it == got.end()) {
      ADD_FAILURE() << name << ": not written";
      continue;
    }
    const Bytes& have = it->second;
    if (have == bytes) continue;
    const auto diff = std::mismatch(have.begin(), have.end(), bytes.begin(), bytes.end());
    ADD_FAILURE() << name << ": " << have.size() << " bytes written, " << bytes.size()
                  << " expected, first difference at " << (diff.first - have.begin());
  }
  for (const auto& [name, bytes] : got) {
    if (want.count(name) == 0) ADD_FAILURE() << name << ": written but not expected";
  }
}

// One archive under construction, with what tavrix must print and write.
class Extraction {
 public:
  explicit Extraction(uint16_t sectorShift = 3, bool bn3 = false)
      : sectorSize_(512u << sectorShift) {
    builder_.SectorShift(sectorShift).Bn3(bn3);
  }

  ArchiveBuilder& builder() { return builder_; }
  uint32_t sectorSize() const { return sectorSize_; }

  // Adds a file whose sectors are encoded now; tavrix must write the content.
  // Returns the stored sectors.
  std::vector<Bytes> Add(const std::string& name, const Bytes& content, uint32_t flags,
                         const SectorEncoder& encode) {
    std::vector<Bytes> stored = EncodeSectors(content, sectorSize_, encode);
    AddStored(name, content.size(), flags, stored, &content);
    return stored;
  }

  // Adds an audio-coded file; tavrix must write what the dispatch decodes
  // from its sectors, which is returned.
  Bytes AddAudio(const std::string& name, const Bytes& content, uint32_t flags,
                 const SectorEncoder& encode) {
    const std::vector<Bytes> stored = EncodeSectors(content, sectorSize_, encode);
    const Bytes delivered = DecodedAudio(stored, content.size(), sectorSize_);
    AddStored(name, content.size(), flags, stored, &delivered);
    return delivered;
  }

  // Adds a file of fileSize bytes stored as given. With delivered null its
  // extraction must fail and leave no file behind.
  void AddStored(const std::string& name, size_t fileSize, uint32_t flags,
                 const std::vector<Bytes>& stored, const Bytes* delivered) {
    FileSpec& f = builder_.Add(name, Bytes(fileSize, 0), flags);
    f.storedSectors = stored;
    names_.push_back(name);
    failing_.push_back(delivered == nullptr);
    if (delivered != nullptr) expected_[OutputPath(name)] = *delivered;
    if ((flags & BLOCK_COMPRESSED) == 0) return;
    for (size_t i = 0; i < stored.size(); ++i) {
      const size_t expected = std::min<size_t>(sectorSize_, fileSize - i * sectorSize_);
      if (stored[i].size() == expected) {
        ++plainSectors_;
      } else {
        masks_.insert(stored[i][0]);
      }
    }
  }

  // Stored masks of compressed sectors and the count of plain ones.
  const std::multiset<uint32_t>& masks() const { return masks_; }
  unsigned plainSectors() const { return plainSectors_; }

  // Writes the archive (with a compressed, encrypted list of the names),
  // runs tavrix on it and compares everything.
  void Run(const std::string& tag, const SectorEncoder& listEncoder = Dispatch(COMP_IMPLODE)) {
    FileSpec& list =
        builder_.Listfile(names_, "\r\n", BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    list.storedSectors = EncodeSectors(list.content, sectorSize_, listEncoder);
    TempDir dir(tag);
    builder_.WriteTo(dir / "test.mpq");
    const RunResult run =
        RunProgram(BuiltProgram("extractor/tavrix"), {dir / "test.mpq"}, dir.path(), "\n");
    // Extraction runs from the last listed name to the first.
    std::string messages;
    for (size_t i = names_.size(); i-- > 0;) {
      if (failing_[i]) messages += "Error extracting file \"" + names_[i] + "\".\n";
    }
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(MaskElapsed(run.output), kBanner + kListfileRead + messages +
                                           std::to_string(names_.size()) +
                                           " files extracted in # miliseconds.\n" + kPrompt);
    EXPECT_EQ(run.errors, "");
    ExpectSameTree(ReadTree(dir / "test_mpq"), expected_);
  }

 private:
  static std::string OutputPath(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
  }

  ArchiveBuilder builder_;
  uint32_t sectorSize_;
  std::vector<std::string> names_;
  std::vector<bool> failing_;
  std::map<std::string, Bytes> expected_;
  std::multiset<uint32_t> masks_;
  unsigned plainSectors_ = 0;
};

// Data whose implode stream (dictionary chosen by length, binary) is exactly
// streamLength bytes: random bytes, of which a tail repeats with a period of
// 256, the tail's length tuned until the stream fits. The stream shrinks by
// a byte or two per step, so some seed hits each length.
Bytes ImplodesTo(uint32_t length, uint32_t streamLength) {
  for (uint32_t seed = 1; seed < 20; ++seed) {
    const Bytes random = PatternBytes(length, 900 + seed);
    for (uint32_t repeat = 0; repeat + 256 <= length; ++repeat) {
      Bytes data = random;
      for (uint32_t i = length - repeat; i < length; ++i) data[i] = data[i - 256];
      Bytes out(length);
      uint32_t produced = length;
      uint32_t methodType = 0;
      CompressImplode(out.data(), &produced, data.data(), length, &methodType, 0);
      if (produced == streamLength) return data;
      if (produced < streamLength) break;
    }
  }
  ADD_FAILURE() << "no data implodes to " << streamLength << " bytes";
  return {};
}

std::string Hex(uint32_t value) {
  static const char* const kDigits = "0123456789abcdef";
  return std::string("0x") + kDigits[(value >> 4) & 0xF] + kDigits[value & 0xF];
}

// ---- Lossless masks -------------------------------------------------------

struct LosslessCase {
  uint32_t mask;
  uint16_t sectorShift;
  bool big;
};

std::string LosslessName(const testing::TestParamInfo<LosslessCase>& info) {
  return "Mask" + Hex(info.param.mask).substr(2) + "Shift" +
         std::to_string(info.param.sectorShift);
}

class LosslessMask : public testing::TestWithParam<LosslessCase> {};

TEST_P(LosslessMask, EveryFileComesBackByteForByte) {
  const LosslessCase c = GetParam();
  if ((c.mask & BUILTIN_PROVIDER_MASK) != 0 && !ProviderHas(c.mask & BUILTIN_PROVIDER_MASK)) {
    GTEST_SKIP() << "this build has no provider for " << Hex(c.mask);
  }
  Extraction x(c.sectorShift);
  const uint32_t S = x.sectorSize();
  const SectorEncoder encode = ByMask(c.mask);
  const uint32_t flags = BLOCK_COMPRESSED;

  x.Add("empty.dat", Bytes{}, flags, encode);
  x.Add("one.txt", Text(1, 1), flags, encode);
  for (uint32_t size : {S - 1, S, S + 1}) {
    x.Add("Text\\" + std::to_string(size) + ".txt", Text(size, size), flags, encode);
  }
  x.Add("Data\\records.bin", Records(70000, 2), flags, encode);
  x.Add("Data\\runs.bin", Runs(3 * S + 123), flags, encode);
  x.Add("Sound\\voice.wav", Wav(70000, 1, 3), flags, encode);
  // Random sectors stay plain inside a compressed file, even when their first
  // byte is the very mask of their neighbours; the last one is odd-sized.
  Bytes noise = PatternBytes(S, 4);
  noise[0] = static_cast<uint8_t>(c.mask);
  x.Add("mixed.bin", Join({Text(S, 5), noise, Text(S, 6), PatternBytes(1001, 7)}), flags, encode);
  if (c.big) x.Add("Big\\huge.txt", Text(kBigFile, 8), flags, encode);

  // The requested mask really occurs whole, no sector carries a method that
  // was not asked for, and plain sectors occur beside them.
  EXPECT_GT(x.masks().count(c.mask), 0u) << "no sector kept every method of " << Hex(c.mask);
  for (uint32_t m : x.masks()) EXPECT_EQ(m & ~c.mask, 0u) << Hex(m);
  EXPECT_GE(x.plainSectors(), 2u);
  x.Run("lossless");
}

INSTANTIATE_TEST_SUITE_P(
    CompressedExtract, LosslessMask,
    testing::Values(LosslessCase{COMP_HUFFMAN, 3, true}, LosslessCase{COMP_IMPLODE, 3, true},
                    LosslessCase{COMP_IMPLODE | COMP_HUFFMAN, 3, false},
                    LosslessCase{COMP_IMPLODE, 0, false},
                    LosslessCase{COMP_ZLIB, 3, true}, LosslessCase{COMP_BZIP2, 3, false},
                    // bzip2 pays after zlib only on sectors large enough.
                    LosslessCase{COMP_ZLIB | COMP_BZIP2, 7, false}),
    LosslessName);

// ---- Audio masks ----------------------------------------------------------

std::string AudioName(const testing::TestParamInfo<uint32_t>& info) {
  return "Mask" + Hex(info.param).substr(2);
}

class AudioMask : public testing::TestWithParam<uint32_t> {};

TEST_P(AudioMask, SoundReadsAsTheDispatchDecodesIt) {
  const uint32_t mask = GetParam();
  const uint32_t channels = (mask & COMP_ADPCM_STEREO) != 0 ? 2 : 1;
  Extraction x;
  const uint32_t S = x.sectorSize();
  const uint32_t flags = BLOCK_COMPRESSED;

  struct Sound {
    std::string name;
    Bytes content;
    SectorEncoder encode;
  };
  std::vector<Sound> sounds;
  // As sound files are stored: the header sector imploded, the rest
  // audio-coded.
  sounds.push_back({"Sound\\speech.wav", Wav(70000, channels, 10),
                    FirstThen(Dispatch(COMP_IMPLODE), Dispatch(mask))});
  // Every quality level; odd last sectors.
  for (uint32_t level = 0; level <= 4; ++level) {
    sounds.push_back({"Sound\\level" + std::to_string(level) + ".raw",
                      Pcm(3 * S + 1001, channels, 11 + level), Dispatch(mask, level)});
  }
  sounds.push_back({"Sound\\one.raw", Pcm(1, channels, 17), Dispatch(mask)});
  sounds.push_back({"Sound\\odd.raw", Pcm(S - 1, channels, 18), Dispatch(mask)});
  sounds.push_back({"Sound\\whole.raw", Pcm(S, channels, 19), Dispatch(mask)});
  sounds.push_back({"Sound\\over.raw", Pcm(S + 1, channels, 20), Dispatch(mask)});
  sounds.push_back({"Sound\\half_frame.raw", Pcm(2 * S + 370, channels, 21), Dispatch(mask)});
  if (mask == (COMP_ADPCM_STEREO | COMP_HUFFMAN)) {
    sounds.push_back({"Sound\\long.raw", Pcm(kBigFile, channels, 22), Dispatch(mask)});
  }

  for (const Sound& s : sounds) {
    SCOPED_TRACE(s.name);
    const Bytes delivered = x.AddAudio(s.name, s.content, flags, s.encode);
    ASSERT_EQ(delivered.size(), s.content.size());
    if (s.content.size() > 44 && s.content[0] == 'R') {
      // The header is not audio-coded and comes back exactly.
      EXPECT_TRUE(std::equal(delivered.begin(), delivered.begin() + 44, s.content.begin()));
    }
    // Close to the original sound, so the comparison is not between two
    // equal pieces of garbage.
    EXPECT_LT(MeanSampleError(delivered, s.content), 100.0);
  }
  EXPECT_GT(x.masks().count(mask), 0u) << "no sector kept every method of " << Hex(mask);
  EXPECT_GT(x.masks().count(COMP_IMPLODE), 0u);
  x.Run("audio");
}

// Both audio bits together (0xC0) code the mono coder's output as if it were
// sound, which loses the stream itself: no writer makes such sectors.
INSTANTIATE_TEST_SUITE_P(CompressedExtract, AudioMask,
                         testing::Values(0x40u, 0x41u, 0x48u, 0x49u, 0x80u, 0x81u, 0x88u, 0x89u),
                         AudioName);

// ---- Imploded files and the longest compressed sectors -------------------

// The bare implode stream, however long, for sectors that must stay coded.
SectorEncoder RawImplode() {
  return [](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes out(length);
    uint32_t produced = length;
    uint32_t methodType = 0;
    CompressImplode(out.data(), &produced, data, length, &methodType, 0);
    EXPECT_LT(produced, length);
    out.resize(produced);
    return out;
  };
}

TEST(CompressedExtract, ImplodedFilesAndSectorsOneByteShortOfTheirLength) {
  Extraction x;
  const uint32_t S = x.sectorSize();
  const SectorEncoder imploded = ImplodedOnly();
  unsigned coded = 0;
  auto countCoded = [&](const std::vector<Bytes>& stored, size_t size) {
    for (size_t i = 0; i < stored.size(); ++i)
      coded += stored[i].size() < std::min<size_t>(S, size - i * S) ? 1 : 0;
  };
  for (uint32_t size : {1u, S - 1, S + 1, 70000u}) {
    const Bytes content = Text(size, 30 + size);
    countCoded(x.Add("Old\\text" + std::to_string(size) + ".txt", content, BLOCK_IMPLODED, imploded),
               size);
  }
  // A random sector stays plain between imploded ones; its first byte would
  // name a method if it were read as a mask.
  Bytes noise = PatternBytes(S, 31);
  noise[0] = COMP_IMPLODE;
  const Bytes mixed = Join({Records(S, 32), noise, Text(2 * S + 77, 33)});
  const std::vector<Bytes> mixedStored = x.Add("Old\\mixed.bin", mixed, BLOCK_IMPLODED, imploded);
  countCoded(mixedStored, mixed.size());
  ASSERT_EQ(mixedStored.size(), 5u);
  EXPECT_EQ(mixedStored[1], noise);
  EXPECT_GE(coded, 20u);

  // The longest stream an imploded sector can hold is one byte short of the
  // sector, as a whole sector and as an odd-sized last one.
  const Bytes tight = Join({ImplodesTo(S, S - 1), ImplodesTo(1501, 1500)});
  const std::vector<Bytes> tightStored = x.Add("Old\\tight.bin", tight, BLOCK_IMPLODED, RawImplode());
  ASSERT_EQ(tightStored.size(), 2u);
  EXPECT_EQ(tightStored[0].size(), S - 1);
  EXPECT_EQ(tightStored[1].size(), 1500u);

  // Compressed sectors reach that length with the mask byte and a stream
  // two bytes short, the least saving the dispatch keeps.
  const Bytes tightCompressed = Join({ImplodesTo(S, S - 2), Text(S, 34), ImplodesTo(1501, 1499)});
  const std::vector<Bytes> compressedStored =
      x.Add("tight_compressed.bin", tightCompressed, BLOCK_COMPRESSED, Dispatch(COMP_IMPLODE));
  ASSERT_EQ(compressedStored.size(), 3u);
  EXPECT_EQ(compressedStored[0].size(), S - 1);
  EXPECT_EQ(compressedStored[2].size(), 1500u);
  x.Run("imploded");
}

// ---- Compression under encryption and the second signature ---------------

struct ProtectedCase {
  const char* name;
  uint32_t crypt;  // BLOCK_ENCRYPTED and BLOCK_KEY_ADJUSTED, or 0
  bool bn3;
  uint32_t stub;
  uint16_t sectorShift;
};

class ProtectedArchive : public testing::TestWithParam<ProtectedCase> {};

TEST_P(ProtectedArchive, CompressedSectorsDecryptThenDecode) {
  const ProtectedCase c = GetParam();
  Extraction x(c.sectorShift, c.bn3);
  x.builder().Stub(c.stub);
  const uint32_t S = x.sectorSize();
  const uint32_t compressed = BLOCK_COMPRESSED | c.crypt;
  // Sectors that compress, a random one stored plain and an odd-sized last
  // one, whose stored length is no multiple of four.
  auto content = [S](uint32_t seed) {
    return Join({Runs(S), Text(2 * S, seed), PatternBytes(S, seed), Text(S / 2 + 101, seed + 1)});
  };
  uint32_t seed = 50;
  for (uint32_t mask : {COMP_IMPLODE, COMP_HUFFMAN, COMP_IMPLODE | COMP_HUFFMAN, COMP_ZLIB,
                        COMP_BZIP2}) {
    if ((mask & BUILTIN_PROVIDER_MASK) != 0 && !ProviderHas(mask)) continue;
    x.Add("Data\\mask" + Hex(mask) + ".bin", content(seed += 2), compressed, ByMask(mask));
  }
  x.Add("Old\\imploded.bin", content(seed += 2), BLOCK_IMPLODED | c.crypt, ImplodedOnly());
  x.AddAudio("Sound\\stereo.wav", Wav(3 * S + 1001, 2, seed += 2), compressed,
             FirstThen(Dispatch(COMP_IMPLODE), Dispatch(COMP_ADPCM_STEREO | COMP_HUFFMAN)));
  x.AddAudio("Sound\\mono.raw", Pcm(2 * S + 202, 1, seed += 2), compressed,
             Dispatch(COMP_ADPCM_MONO | COMP_HUFFMAN, 3));
  EXPECT_GT(x.masks().count(COMP_IMPLODE | COMP_HUFFMAN), 0u);
  EXPECT_GT(x.masks().count(COMP_ADPCM_STEREO | COMP_HUFFMAN), 0u);
  x.Run(c.name);
}

INSTANTIATE_TEST_SUITE_P(
    CompressedExtract, ProtectedArchive,
    testing::Values(ProtectedCase{"Encrypted", BLOCK_ENCRYPTED, false, 0, 0},
                    ProtectedCase{"KeyAdjusted", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, false, 0, 3},
                    ProtectedCase{"Bn3", 0, true, 0, 3},
                    ProtectedCase{"Bn3KeyAdjusted", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, true,
                                  512, 0}),
    [](const testing::TestParamInfo<ProtectedCase>& info) { return std::string(info.param.name); });

// ---- Sectors that cannot be decoded ---------------------------------------

Bytes Cut(Bytes stored, size_t bytes) {
  stored.resize(stored.size() - bytes);
  return stored;
}

TEST(CompressedExtract, SectorsThatCannotBeDecodedFailTheirFile) {
  Extraction x;
  const uint32_t S = x.sectorSize();
  const Bytes text = Text(S, 60);
  auto one = [&](const SectorEncoder& encode) {
    const Bytes stored = encode(text.data(), S, 0);
    EXPECT_LT(stored.size(), S);
    return stored;
  };
  const Bytes imploded = one(Dispatch(COMP_IMPLODE));

  x.Add("first_good.txt", Text(5000, 61), BLOCK_COMPRESSED, Dispatch(COMP_IMPLODE));

  // The library's methods mixed with an outside one are refused, whatever
  // the bytes after the mask.
  auto remasked = [](Bytes stored, uint32_t mask) {
    stored[0] = static_cast<uint8_t>(mask);
    return stored;
  };
  const Bytes mixed = remasked(imploded, COMP_IMPLODE | COMP_ZLIB);
  x.AddStored("refused.bin", 2 * S, BLOCK_COMPRESSED, {imploded, mixed}, nullptr);
  x.AddStored("refused_huffman.bin", S, BLOCK_COMPRESSED,
              {remasked(one(Dispatch(COMP_HUFFMAN)), COMP_HUFFMAN | COMP_ZLIB)}, nullptr);

  // The first copy chunk of this one is written before its last sector
  // fails; the partial file must go.
  const Bytes big = Text(kBigFile, 62);
  std::vector<Bytes> bigStored = EncodeSectors(big, S, Dispatch(COMP_IMPLODE));
  bigStored.back() = mixed;
  x.AddStored("Big\\refused.bin", big.size(), BLOCK_COMPRESSED, bigStored, nullptr);

  if (ProviderHas(COMP_ZLIB)) {
    Bytes corrupt = one(Provider(COMP_ZLIB));
    ASSERT_EQ(corrupt[0], COMP_ZLIB);
    corrupt[corrupt.size() / 2] ^= 0x55;
    x.AddStored("corrupt_zlib.bin", S, BLOCK_COMPRESSED, {corrupt}, nullptr);
    x.AddStored("truncated_zlib.bin", S, BLOCK_COMPRESSED, {Cut(one(Provider(COMP_ZLIB)), 6)},
                nullptr);
  }
  if (ProviderHas(COMP_BZIP2)) {
    x.AddStored("truncated_bzip2.bin", S, BLOCK_COMPRESSED, {Cut(one(Provider(COMP_BZIP2)), 6)},
                nullptr);
  }
  x.AddStored("truncated_implode.bin", 2 * S, BLOCK_COMPRESSED,
              {imploded, Cut(imploded, imploded.size() / 2)}, nullptr);
  x.AddStored("Old\\truncated.bin", 2 * S, BLOCK_IMPLODED,
              {one(ImplodedOnly()), Cut(one(ImplodedOnly()), 3)}, nullptr);
  x.AddStored("truncated_huffman.bin", S, BLOCK_COMPRESSED, {Cut(one(Dispatch(COMP_HUFFMAN)), 40)},
              nullptr);
  const Bytes pcm = Pcm(S, 2, 63);
  Bytes audio = Dispatch(COMP_ADPCM_STEREO)(pcm.data(), S, 0);
  ASSERT_EQ(audio[0], COMP_ADPCM_STEREO);
  x.AddStored("truncated_audio.raw", S, BLOCK_COMPRESSED, {Cut(audio, 9)}, nullptr);

  x.Add("last_good.bin", Records(9000, 64), BLOCK_COMPRESSED, Dispatch(COMP_HUFFMAN | COMP_IMPLODE));
  x.Run("failing");
}

}  // namespace
