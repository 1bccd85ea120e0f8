// Name hashing and the word-wise stream cipher of the tables and file data.
#include <atomic>
#include <cstring>
#include <mutex>

#include "archive/format/crypto.h"
#include "sorvane/sorvane.h"
#include "platform/bytes.h"

namespace {

uint32_t CryptTable[0x500];
// Set once the table is whole; threads that find it unset build it through
// the once flag, so none reads a table half filled.
std::atomic<bool> CryptTableBuilt{false};
std::once_flag CryptTableOnce;
uint32_t HashTableKeyValue = 0;
uint32_t BlockTableKeyValue = 0;

// Bytes of 0x80 and above hash by their unsigned value for every hash type,
// as other writers of the format do, so such names stay findable.
uint32_t HashWithTable(const char* name, uint32_t hashType) {
  if (name == nullptr) return 0x7FED7FED;
  const uint32_t row = (hashType & 3) * 256;
  if (hashType == HASH_FILE_KEY) {
    const char* slash = std::strrchr(name, '\\');
    if (slash != nullptr) name = slash + 1;
  }
  uint32_t seed1 = 0x7FED7FED;
  uint32_t seed2 = 0xEEEEEEEE;
  for (const auto* p = reinterpret_cast<const uint8_t*>(name); *p != 0; ++p) {
    const uint32_t ch = UpperAscii(*p);
    seed1 = CryptTable[row + ch] ^ (seed1 + seed2);
    seed2 = ch + seed1 + seed2 + (seed2 << 5) + 3;
  }
  return seed1;
}

void FillCryptTable() {
  uint32_t seed = 0x00100001;
  for (uint32_t index1 = 0; index1 < 256; ++index1) {
    uint32_t index2 = index1;
    for (int i = 0; i < 5; ++i, index2 += 256) {
      seed = (seed * 125 + 3) % 0x2AAAAB;
      const uint32_t high = (seed & 0xFFFF) << 16;
      seed = (seed * 125 + 3) % 0x2AAAAB;
      const uint32_t low = seed & 0xFFFF;
      CryptTable[index2] = high | low;
    }
  }
  HashTableKeyValue = HashWithTable("(hash table)", HASH_FILE_KEY);
  BlockTableKeyValue = HashWithTable("(block table)", HASH_FILE_KEY);
  CryptTableBuilt.store(true, std::memory_order_release);
}

}  // namespace

bool BuildCryptTable() {
  std::call_once(CryptTableOnce, FillCryptTable);
  return true;
}

uint32_t HashTableKey() {
  if (!CryptTableBuilt.load(std::memory_order_acquire)) BuildCryptTable();
  return HashTableKeyValue;
}
uint32_t BlockTableKey() {
  if (!CryptTableBuilt.load(std::memory_order_acquire)) BuildCryptTable();
  return BlockTableKeyValue;
}

uint32_t HashString(const char* name, uint32_t hashType) {
  if (!CryptTableBuilt.load(std::memory_order_acquire)) BuildCryptTable();
  return HashWithTable(name, hashType);
}

namespace {

inline uint32_t NextKey(uint32_t key) { return ((~key << 21) + 0x11111111) | (key >> 11); }

}  // namespace

void EncryptWords(void* data, uint32_t byteLength, CipherState* state) {
  if (!CryptTableBuilt.load(std::memory_order_acquire)) BuildCryptTable();
  auto* bytes = static_cast<uint8_t*>(data);
  uint32_t key = state->key;
  uint32_t seed = state->seed;
  for (uint32_t i = 0, count = byteLength / 4; i < count; ++i, bytes += 4) {
    seed += CryptTable[0x400 + (key & 0xFF)];
    const uint32_t plain = platform::LoadLE32(bytes);
    platform::StoreLE32(bytes, plain ^ (key + seed));
    key = NextKey(key);
    seed = plain + seed + (seed << 5) + 3;
  }
  state->key = key;
  state->seed = seed;
}

bool EncryptBlock(void* data, uint32_t byteLength, uint32_t key) {
  CipherState state{key, 0xEEEEEEEE};
  EncryptWords(data, byteLength, &state);
  return true;
}

bool DecryptBlock(void* data, uint32_t byteLength, uint32_t key) {
  if (!CryptTableBuilt.load(std::memory_order_acquire)) BuildCryptTable();
  auto* bytes = static_cast<uint8_t*>(data);
  uint32_t seed = 0xEEEEEEEE;
  for (uint32_t i = 0, count = byteLength / 4; i < count; ++i, bytes += 4) {
    seed += CryptTable[0x400 + (key & 0xFF)];
    const uint32_t plain = platform::LoadLE32(bytes) ^ (key + seed);
    platform::StoreLE32(bytes, plain);
    key = NextKey(key);
    seed = plain + seed + (seed << 5) + 3;
  }
  return true;
}

uint32_t DetectFileKey(const void* words, uint32_t expectedFirst) {
  if (!CryptTableBuilt.load(std::memory_order_acquire)) BuildCryptTable();
  const uint32_t enc0 = platform::LoadLE32(words);
  const uint32_t enc1 = platform::LoadLE32(static_cast<const uint8_t*>(words) + 4);
  const uint32_t base = (enc0 ^ expectedFirst) - 0xEEEEEEEE;
  for (uint32_t i = 0; i < 256; ++i) {
    const uint32_t key = base - CryptTable[0x400 + i];
    uint32_t seed = 0xEEEEEEEE + CryptTable[0x400 + (key & 0xFF)];
    const uint32_t plain0 = enc0 ^ (key + seed);
    if (plain0 != expectedFirst) continue;
    const uint32_t key2 = NextKey(key);
    seed = plain0 + seed + (seed << 5) + 3;
    seed += CryptTable[0x400 + (key2 & 0xFF)];
    const uint32_t plain1 = enc1 ^ (key2 + seed);
    if ((plain1 & 0xFFFF0000u) == 0) return key + 1;
  }
  return 0;
}

bool EqualNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const uint8_t ca = UpperAscii(static_cast<uint8_t>(*a));
    const uint8_t cb = UpperAscii(static_cast<uint8_t>(*b));
    if (ca != cb) return false;
    if (ca == 0) return true;
  }
}
