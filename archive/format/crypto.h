// The cipher and name hashing beyond what the public header offers.
// Not part of the public interface.
#pragma once

#include <cstdint>

// EncryptBlock in pieces: the cipher state carries from one piece to the
// next, so a large table is encrypted through a small buffer.
struct CipherState {
  uint32_t key;
  uint32_t seed = 0xEEEEEEEEu;
};
void EncryptWords(void* data, uint32_t byteLength, CipherState* state);

// The one case folding of stored names: ASCII letters only, as the name
// hash folds them. Lookups, the name list and name comparisons all use it.
inline uint8_t UpperAscii(uint8_t ch) { return (ch >= 'a' && ch <= 'z') ? static_cast<uint8_t>(ch - 32) : ch; }
bool EqualNoCase(const char* a, const char* b);
// The first length bytes of text and name are equal, case ignored.
inline bool MatchNoCase(const uint8_t* text, const char* name, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    if (UpperAscii(text[i]) != UpperAscii(static_cast<uint8_t>(name[i]))) return false;
  }
  return true;
}
inline bool IsListfileName(const char* name) { return EqualNoCase(name, "(listfile)"); }
inline bool IsAttributesName(const char* name) { return EqualNoCase(name, "(attributes)"); }
