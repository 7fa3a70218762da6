// The processor-specific compression functions of the SHA-512 digest, for tests and
// benchmarks that check them against each other. The digest picks the fastest one.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gca {
namespace sha512_paths {

// Number of compiled paths; path 0 is the portable one and is always available.
int Count();
const char* Name(int path);
// Whether this processor can run the path.
bool Available(int path);
// Runs count 128-byte blocks through one path; false when it cannot run here.
bool CompressWith(int path, uint64_t state[8], const uint8_t* blocks, size_t count);

}  // namespace sha512_paths
}  // namespace gca
