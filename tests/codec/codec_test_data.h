// Deterministic test messages, generated identically by make_vectors.py.
#pragma once
#include <cstdint>
#include <vector>

namespace codec_test {

inline std::vector<uint8_t> PatternBytes(size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 31 + 7);
  return out;
}

inline std::vector<uint8_t> LcgBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

}  // namespace codec_test
