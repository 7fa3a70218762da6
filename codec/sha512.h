// SHA-512 digest object and the whole-file digest used to identify installed versions.
#pragma once
#include <cstdint>
#include <string>

namespace gca {

// 1 when the processor has CPUID and reports MMX, else 0.
int HasMmx();

class Sha512Digest {
 public:
  Sha512Digest();
  virtual ~Sha512Digest();

  virtual void Reset();
  virtual void Update(const void* data, uint32_t length);
  virtual void Finish();
  // The digest as 128 lowercase hexadecimal characters (after Finish).
  virtual std::string HexText() const;
  // The eight chaining words as 64 bytes, each word little-endian.
  virtual void RawWords(uint8_t out[64]) const;

 private:
  uint64_t state_[8];
  uint64_t bit_count_[2];  // low 64 bits, then high 64 bits
  uint8_t block_[128];
  uint32_t fill_ = 0;
  int32_t use_mmx_ = 0;
};

}  // namespace gca

// Lowercase hexadecimal SHA-512 of a whole file (UTF-8 path), or the empty string when
// the file cannot be opened or read in full. The one rule for a file that changes while
// it is read: exactly the size it had when opened is hashed, and a file that ends before
// it or goes on past it gives the empty string. On Windows it is defined by the platform
// layer over its file stream; on Linux by the codec library over stdio. The updater and
// the patch builder both use it.
std::string FileSha512Hex(const std::string& path);
