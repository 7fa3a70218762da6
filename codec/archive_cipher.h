// The archive's keyed stream cipher: an MT19937 generator keyed from a text, whose
// outputs are folded into a keystream that is XORed over the scrambled bytes.
#pragma once
#include <cstdint>
#include <string>

namespace gca {

// Key used when an archive's own key string is empty.
extern const char kDefaultArchiveKey[];  // "QuorvexPinnaclefy"

class MersenneTwister {
 public:
  MersenneTwister();
  virtual ~MersenneTwister();
  MersenneTwister(const MersenneTwister&) = default;
  MersenneTwister& operator=(const MersenneTwister&) = default;

  void SeedInt(uint32_t seed);
  // state[i] = words[i mod count]; count must be at least 1.
  void SeedArray(const uint32_t* words, int32_t count);
  uint32_t Next();
  void Regenerate();
  // The next eight outputs at once; the same values as eight calls of Next.
  void NextEight(uint32_t out[8]);

 private:
  friend class ArchiveCipher;  // reads whole runs of outputs at once

  uint32_t state_[625];
  uint32_t output_[624];
  int32_t index_ = 0;
  int32_t use_mmx_ = 0;
};

class ArchiveCipher {
 public:
  ArchiveCipher();
  virtual ~ArchiveCipher();
  ArchiveCipher(const ArchiveCipher&) = default;
  ArchiveCipher& operator=(const ArchiveCipher&) = default;

  virtual void SetKey(std::string key);
  virtual void SeedArray(const uint32_t* words, int32_t count);
  virtual void SeedInt(uint32_t seed);
  virtual void Reset();
  // In place; a length of 0 or less does nothing. Decrypt is the same operation.
  virtual void Encrypt(void* buffer, int32_t length);
  virtual void Decrypt(void* buffer, int32_t length);

 private:
  uint8_t NextByte();
  uint32_t NextWord();
  void XorWords(uint8_t* p, uint32_t words);

  uint32_t counter_ = 0;
  uint32_t word_ = 0;
  MersenneTwister generator_;
};

}  // namespace gca
