#include "compression/adpcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pcm(const std::vector<int>& samples) {
  Bytes out;
  for (int s : samples) {
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
  }
  return out;
}

std::vector<int> Samples(const Bytes& pcm) {
  std::vector<int> out;
  for (size_t i = 0; i + 1 < pcm.size(); i += 2)
    out.push_back(static_cast<int16_t>(pcm[i] | (pcm[i + 1] << 8)));
  return out;
}

// Two tones per channel with a little noise, like recorded speech or music.
Bytes WavLike(size_t bytes, uint32_t channels, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-40, 40);
  Bytes out(bytes);
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const size_t frame = i / 2 / channels;
    const double ch = static_cast<double>((i / 2) % channels);
    const double v = 9000.0 * std::sin(frame * (0.031 + 0.01 * ch)) +
                     4000.0 * std::sin(frame * 0.173) + noise(rng);
    const auto s = static_cast<int16_t>(v);
    out[i] = static_cast<uint8_t>(s & 0xFF);
    out[i + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
  }
  if (bytes % 2) out[bytes - 1] = 0x5A;
  return out;
}

Bytes Random(size_t bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(bytes);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Bytes Encode(const Bytes& in, uint32_t room, uint32_t channels, uint32_t shift,
             uint32_t* result = nullptr) {
  Bytes out(room + 64, 0xEE);
  const uint32_t n = AdpcmEncode(out.data(), room, in.data(), static_cast<uint32_t>(in.size()),
                                 channels, shift);
  for (size_t i = room; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "write past room at " << i;
  if (result) *result = n;
  out.resize(n <= room ? n : 0);
  return out;
}

Bytes Decode(const Bytes& in, uint32_t room, uint32_t channels) {
  Bytes out(room + 64, 0xEE);
  const uint32_t n =
      AdpcmDecode(out.data(), room, in.data(), static_cast<uint32_t>(in.size()), channels);
  for (size_t i = room; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "write past room at " << i;
  EXPECT_LE(n, room);
  EXPECT_EQ(n % 2, 0u);
  out.resize(n);
  return out;
}

TEST(Adpcm, RepeatedSamplesUseTheRepeatCode) {
  const Bytes in = Pcm({100, 100, 100, 100});
  EXPECT_EQ(Encode(in, 16, 1, 5), (Bytes{0x00, 0x04, 0x64, 0x00, 0x80, 0x80, 0x80}));
  EXPECT_EQ(Decode({0x00, 0x04, 0x64, 0x00, 0x80, 0x80, 0x80}, 64, 1), in);

  // The room the dispatch gives (input length - 1) is one byte short of the
  // two the encoder keeps in hand before the last sample.
  uint32_t result = 0;
  Encode(in, 7, 1, 5, &result);
  EXPECT_EQ(result, 8u);
}

TEST(Adpcm, StereoCodesAlternateLeftThenRight) {
  const Bytes in = Pcm({0, 0, 1000, -1000});
  EXPECT_EQ(Encode(in, 16, 2, 4), (Bytes{0x00, 0x03, 0, 0, 0, 0, 0x07, 0x47}));
  const auto out = Samples(Decode(Encode(in, 16, 2, 4), 64, 2));
  ASSERT_EQ(out.size(), 4u);
  EXPECT_GT(out[2], 500);
  EXPECT_LT(out[3], -500);
}

std::vector<int> JumpTo30000() {
  std::vector<int> s(64, 30000);
  s[0] = 0;
  return s;
}

TEST(Adpcm, LargeJumpRaisesTheStepWithEscapes) {
  const Bytes in = Pcm(JumpTo30000());
  const Bytes enc = Encode(in, 200, 1, 5);
  ASSERT_GE(enc.size(), 10u);
  EXPECT_EQ(Bytes(enc.begin(), enc.begin() + 10),
            (Bytes{0x00, 0x04, 0x00, 0x00, 0x81, 0x81, 0x81, 0x81, 0x81, 0x05}));
  const auto dec = Samples(Decode(enc, 128, 1));
  ASSERT_EQ(dec.size(), 64u);
  EXPECT_EQ(dec[1], 29380);
  // The stream converges on the target; it would drift if the decoder lost
  // track of the step index (86 after the first code).
  EXPECT_NEAR(dec[63], 30000, 64);

  // The escapes carry state although they carry no sample.
  Bytes stripped;
  for (size_t i = 0; i < enc.size(); ++i)
    if (i < 4 || enc[i] != 0x81) stripped.push_back(enc[i]);
  const auto other = Samples(Decode(stripped, 128, 1));
  ASSERT_EQ(other.size(), 64u);
  EXPECT_NE(other[1], 29380);
}

TEST(Adpcm, EscapeBudgetIsSharedByTheWholeStream) {
  // Eight samples give a budget of 8 - 4 = 4 escapes, fewer than the jump
  // wants (five).
  std::vector<int> s(8, 30000);
  s[0] = 0;
  const Bytes enc = Encode(Pcm(s), 64, 1, 5);
  size_t escapes = 0;
  for (size_t i = 4; i < enc.size(); ++i) escapes += enc[i] == 0x81;
  EXPECT_EQ(escapes, 4u);
  EXPECT_EQ(enc[7], 0x81);
  EXPECT_NE(enc[8], 0x81);
}

TEST(Adpcm, OddTrailingByteIsNotCoded) {
  Bytes in = Pcm({10, 2000, -3000, 50});
  const Bytes even = Encode(in, 64, 1, 5);
  in.push_back(0x7F);
  EXPECT_EQ(Encode(in, 64, 1, 5), even);
  EXPECT_EQ(Decode(even, 64, 1).size(), 8u);
}

TEST(Adpcm, PredictionsSaturateInsteadOfWrapping) {
  std::vector<int> s;
  for (int i = 0; i < 40; ++i) s.push_back(i % 20 < 10 ? 32767 : -32768);
  for (uint32_t shift = 4; shift <= 6; ++shift) {
    const auto dec = Samples(Decode(Encode(Pcm(s), 256, 1, shift), 256, 1));
    ASSERT_EQ(dec.size(), s.size());
    // Wrapping at either end would throw a sample to the opposite sign.
    EXPECT_GT(dec[9], 16000) << shift;
    EXPECT_LT(dec[19], -16000) << shift;
    EXPECT_GT(dec[29], 16000) << shift;
  }
  // A hand-made stream that pushes past both limits.
  Bytes up = {0x00, 0x04, 0xF0, 0x7F, 0x81, 0x81, 0x81, 0x81, 0x81, 0x1F, 0x1F};
  for (int v : Samples(Decode(up, 64, 1))) EXPECT_GE(v, 30000);
  Bytes down = {0x00, 0x04, 0x10, 0x80, 0x81, 0x81, 0x81, 0x81, 0x81, 0x5F, 0x5F};
  for (int v : Samples(Decode(down, 64, 1))) EXPECT_LE(v, -30000);
}

TEST(Adpcm, DecoderHandlesEscapesAndIgnoredCodes) {
  // 0x82 lowers the step on the same channel; 0x83..0xFF only pass the turn.
  const Bytes base = {0x00, 0x04, 0, 0, 0x01};
  const Bytes lowered = {0x00, 0x04, 0, 0, 0x82, 0x01};
  const auto a = Samples(Decode(base, 64, 1));
  const auto b = Samples(Decode(lowered, 64, 1));
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_LT(b[1], a[1]);

  // Stereo: an ignored byte uses up the left channel's turn, so 0x01 moves
  // the right channel (0 up) and 0x41 the left one (0 down). Had the byte
  // kept the turn, the right channel would go down instead.
  const Bytes st = {0x00, 0x04, 0, 0, 0, 0, 0x90, 0x01, 0x41, 0x80};
  const auto s = Samples(Decode(st, 64, 2));
  ASSERT_EQ(s.size(), 5u);
  EXPECT_GT(s[2], 0);
  EXPECT_LT(s[3], 0);
  EXPECT_EQ(s[4], s[2]);  // 0x80 repeats the right channel
}

TEST(Adpcm, ShortInputsAreRefused) {
  uint8_t out[16] = {};
  const uint8_t in[8] = {0, 4, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(AdpcmDecode(out, 16, in, 3, 1), 0u);
  EXPECT_EQ(AdpcmDecode(out, 16, in, 5, 2), 0u);
  EXPECT_EQ(AdpcmDecode(out, 16, in, 4, 1), 2u);
  EXPECT_EQ(AdpcmEncode(out, 16, in, 1, 1, 5), 0u);
  EXPECT_EQ(AdpcmEncode(out, 16, in, 3, 2, 5), 0u);
  EXPECT_EQ(AdpcmEncode(out, 16, in, 8, 3, 5), 0u);
  EXPECT_EQ(AdpcmDecode(out, 16, in, 8, 0), 0u);
}

TEST(Adpcm, RoundTripsFollowTheSignal) {
  const size_t sizes[] = {0, 1, 2, 3, 4, 5, 515, 516, 517, 518, 4095, 4096, 4097};
  for (uint32_t channels = 1; channels <= 2; ++channels) {
    for (uint32_t shift = 4; shift <= 6; ++shift) {
      for (size_t size : sizes) {
        SCOPED_TRACE(testing::Message() << "channels " << channels << " shift " << shift
                                        << " size " << size);
        const Bytes in = WavLike(size, channels, static_cast<uint32_t>(size));
        uint32_t result = 0;
        const Bytes enc = Encode(in, static_cast<uint32_t>(size + 16), channels, shift, &result);
        const size_t samples = size / 2;
        if (samples < channels) {
          EXPECT_EQ(result, 0u);
          continue;
        }
        // At most one code and one escape per sample after the first.
        EXPECT_LE(enc.size(), 2 * samples + 2);
        const Bytes dec = Decode(enc, static_cast<uint32_t>(size + 16), channels);
        ASSERT_EQ(dec.size(), samples * 2);
        const auto a = Samples(in);
        const auto b = Samples(dec);
        // The first frame is stored verbatim; later ones track the input.
        for (uint32_t c = 0; c < channels; ++c) EXPECT_EQ(a[c], b[c]);
        long worst = 0;
        for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::labs(a[i] - b[i]));
        EXPECT_LT(worst, 4000 >> shift);
      }
    }
  }
}

TEST(Adpcm, EncoderNeverWritesPastAnyRoom) {
  // Square waves force escapes; random data forces large codes.
  std::vector<int> square;
  for (int i = 0; i < 300; ++i) square.push_back((i / 3) % 2 ? 32000 : -32000);
  const Bytes inputs[] = {Pcm(square), Random(600, 7), WavLike(600, 2, 3)};
  for (const Bytes& in : inputs) {
    for (uint32_t channels = 1; channels <= 2; ++channels) {
      uint32_t fullResult = 0;
      const Bytes full = Encode(in, 4096, channels, 5, &fullResult);
      for (uint32_t room = 0; room < full.size() + 4; ++room) {
        uint32_t result = 0;
        const Bytes part = Encode(in, room, channels, 5, &result);
        if (result <= room) {
          EXPECT_EQ(part, full) << "room " << room;
        }
        if (room > full.size()) {
          EXPECT_EQ(result, fullResult);
        }
      }
    }
  }
}

TEST(Adpcm, DecoderStopsAtItsRoom) {
  const Bytes in = WavLike(400, 2, 11);
  const Bytes enc = Encode(in, 512, 2, 5);
  const Bytes full = Decode(enc, 512, 2);
  ASSERT_EQ(full.size(), 400u);
  for (uint32_t room = 0; room <= 402; ++room) {
    const Bytes part = Decode(enc, room, 2);
    EXPECT_EQ(part.size(), std::min<size_t>(room & ~1u, 400));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), full.begin())) << room;
  }
}

TEST(Adpcm, UnusualShiftsStayConsistent) {
  // Only 4..6 are used, but any shift must round-trip without faults.
  const Bytes in = WavLike(1000, 1, 5);
  for (uint32_t shift : {0u, 1u, 2u, 3u, 7u, 8u, 17u, 255u, 0x104u}) {
    const Bytes enc = Encode(in, 2000, 1, shift);
    EXPECT_EQ(enc[1], static_cast<uint8_t>((shift & 0xFF) - 1));
    EXPECT_EQ(Decode(enc, 2000, 1).size(), 1000u);
  }
}

}  // namespace
