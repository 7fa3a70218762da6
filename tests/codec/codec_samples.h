// Sample data for the block codec tests and the benchmark: deterministic generators of
// text, binary, random, periodic and equal-byte blocks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace codec_samples {

inline uint32_t NextRandom(uint64_t& state) {
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<uint32_t>(state >> 33);
}

inline std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(NextRandom(seed) >> 7);
  return v;
}

// Words with punctuation and line breaks, drawn from a small vocabulary.
inline std::vector<uint8_t> TextBytes(size_t n, uint64_t seed) {
  static const char* const kWords[] = {
      "the",   "archive", "block", "frame", "update", "game",  "data", "file",  "and",
      "of",    "to",      "in",    "is",    "with",   "for",   "a",    "patch", "version",
      "index", "return",  "value", "int",   "const",  "void",  "{",    "}",     "(",
      ")",     ";",       "=",     "if",    "else",   "while", "size", "count", "struct"};
  std::string s;
  while (s.size() < n) {
    const uint32_t r = NextRandom(seed);
    s += kWords[r % (sizeof(kWords) / sizeof(kWords[0]))];
    s += (r >> 16) % 11 == 0 ? "\n" : " ";
  }
  return std::vector<uint8_t>(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

// Structured records: small integers, a counter, flags, padding: like program data.
inline std::vector<uint8_t> BinaryBytes(size_t n, uint64_t seed) {
  std::vector<uint8_t> v;
  v.reserve(n + 16);
  uint32_t counter = 0;
  while (v.size() < n) {
    const uint32_t r = NextRandom(seed);
    const uint32_t fields[4] = {counter++, r & 0xFF, (r >> 8) & 0x3, 0x00401000u + (r & 0xF0)};
    for (uint32_t f : fields)
      for (int k = 0; k < 4; ++k) v.push_back(static_cast<uint8_t>(f >> (8 * k)));
  }
  v.resize(n);
  return v;
}

inline std::vector<uint8_t> PeriodicBytes(size_t n, size_t period, uint64_t seed) {
  const std::vector<uint8_t> unit = RandomBytes(period, seed);
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = unit[i % period];
  return v;
}

// A two-letter alphabet repeated with a long period: the two-byte contexts recur so often
// that repeats go unpredicted, and the sort meets very long equal prefixes.
inline std::vector<uint8_t> BudgetBreaker(size_t n, size_t period, uint64_t seed) {
  std::vector<uint8_t> unit(period);
  for (auto& b : unit) b = static_cast<uint8_t>('a' + (NextRandom(seed) & 1));
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = unit[i % period];
  return v;
}

}  // namespace codec_samples
