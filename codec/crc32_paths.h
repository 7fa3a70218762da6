// The ways of the CRC-32 update, for tests and benchmarks that check them against each
// other. Crc32::Update picks the fastest one this processor can run.
#pragma once
#include <cstdint>

namespace gca {
namespace crc32_paths {

// Number of compiled paths; path 0 is the portable table path and is always available.
int Count();
const char* Name(int path);
// Whether this processor can run the path.
bool Available(int path);
// Continues the finished CRC value *crc over the data through one path, as Crc32::Update
// does; false (and *crc unchanged) when the path cannot run here.
bool UpdateWith(int path, const void* data, uint32_t length, uint32_t* crc);

}  // namespace crc32_paths
}  // namespace gca
