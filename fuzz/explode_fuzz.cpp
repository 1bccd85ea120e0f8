// Explode over arbitrary streams: it must stop cleanly, never write more than
// the stream can describe, and decode whatever Implode made of the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compression/dcl.h"

namespace {

struct Io {
  const uint8_t* in;
  size_t inSize;
  size_t inPos;
  uint32_t piece;
  std::vector<uint8_t> out;
};

uint32_t Read(uint8_t* buffer, uint32_t* size, void* param) {
  auto* io = static_cast<Io*>(param);
  size_t n = io->inSize - io->inPos;
  if (n > *size) n = *size;
  if (n > io->piece) n = io->piece;
  if (n) std::memcpy(buffer, io->in + io->inPos, n);
  io->inPos += n;
  return static_cast<uint32_t>(n);
}

void Write(uint8_t* buffer, uint32_t* size, void* param) {
  auto* io = static_cast<Io*>(param);
  if (*size > 4096) std::abort();
  io->out.insert(io->out.end(), buffer, buffer + *size);
}

// Work areas live on the heap so that ASan sees every stray access.
struct Work {
  explicit Work(size_t n) : bytes(n) {}
  std::vector<uint64_t> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  ++data;
  --size;

  // Decode the input as a stream, read in pieces of varying size.
  Io io{data, size, 0, control & 0x80 ? 2048u : 5u + (control & 0x7F) * 16u, {}};
  Work explodeWork(EXPLODE_WORK_SIZE / 8 + 1);
  const uint32_t result = Explode(Read, Write, explodeWork.bytes.data(), &io);
  if (result > DCL_ERR_DATA) std::abort();
  // Every token takes at least 3 bits and yields at most 518 bytes.
  if (io.out.size() > (size * 8 / 3 + 1) * 518) std::abort();

  // Encode the same bytes and make sure they come back.
  if (size > 4096 * 3) return 0;
  uint32_t type = control & 1 ? DCL_ASCII : DCL_BINARY;
  uint32_t dict = 1024u << ((control >> 1) % 3);
  Io enc{data, size, 0, 4096, {}};
  Work implodeWork(IMPLODE_WORK_SIZE / 8 + 1);
  if (Implode(Read, Write, implodeWork.bytes.data(), &enc, &type, &dict) != DCL_OK) std::abort();
  Io dec{enc.out.data(), enc.out.size(), 0, 2048, {}};
  const uint32_t back = Explode(Read, Write, explodeWork.bytes.data(), &dec);
  if (size == 0 ? back != DCL_ERR_SHORT_INPUT : back != DCL_OK) std::abort();
  if (dec.out.size() != size || (size && std::memcmp(dec.out.data(), data, size) != 0)) {
    std::abort();
  }
  return 0;
}
