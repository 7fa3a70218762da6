// CRC-32 (reflected polynomial 0xEDB88320, initial value and final XOR all ones) with a
// combination operation built on 64 precomputed shift operators.
#pragma once
#include <cstdint>

namespace gca {

class Crc32 {
 public:
  // Builds the process-wide tables on first use (once, whatever the thread).
  Crc32();
  virtual ~Crc32();

  // Continues a finished CRC value over more data: Update(B, Update(A, 0)) == CRC(A B).
  virtual uint32_t Update(const void* data, uint32_t length, uint32_t crc) const;
  virtual uint32_t Compute(const void* data, uint32_t length) const;
  // CRC of the first data followed by the second, from the two CRCs and the second length.
  virtual uint32_t Combine(uint32_t crc1, uint64_t length1, uint32_t crc2, uint64_t length2) const;
};

}  // namespace gca
