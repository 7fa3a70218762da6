// The output capacity the frame fuzz target gives a decode, from the input's last byte.
// Every frame begins with the same magic, so a capacity taken from the front would be
// the same for every input; the last byte is the padding behind a coded stream (or the
// last stored byte), which a mutation changes without changing what is decoded. With
// its top bit set the capacity is a whole block (as it is for every well-formed frame,
// whose coded stream ends in 0xFF bytes), otherwise up to 127 x 8,256 bytes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "codec/block_codec.h"

namespace gca {

inline uint32_t FrameFuzzCapacity(const uint8_t* data, size_t size) {
  if (size == 0) return kBlockSize;
  const uint8_t selector = data[size - 1];
  return (selector & 0x80) != 0 ? kBlockSize : uint32_t(selector) * 8256u;
}

}  // namespace gca
