// CRC-32 of a sequence of blocks on a second thread, one block behind the caller: while
// the worker adds block k, the caller reads (or writes) block k+1 in its other buffer.
// Blocks are added in order, so the value is that of the blocks laid end to end.
#pragma once
#include <cstdint>
#include <memory>

#include "codec/crc32.h"

namespace gca {

class CrcBehind {
 public:
  // With threaded false (or when no thread can be started) every block is added on
  // the caller's thread, as it is handed over.
  CrcBehind(const Crc32& crc, bool threaded);
  ~CrcBehind();
  CrcBehind(const CrcBehind&) = delete;
  CrcBehind& operator=(const CrcBehind&) = delete;

  // Hands over n bytes at data, to follow the blocks before them. Returns once the
  // block before this one is added; the caller must leave data unchanged until the
  // next Add or Take returns.
  void Add(const uint8_t* data, uint32_t n);
  // Waits for the last block and returns the CRC value of the blocks handed over since
  // the previous Take; the next Add starts a new value.
  uint32_t Take();

 private:
  struct Worker;
  const Crc32& crc_;
  uint32_t value_ = 0;  // when no worker runs
  std::unique_ptr<Worker> worker_;
};

}  // namespace gca
