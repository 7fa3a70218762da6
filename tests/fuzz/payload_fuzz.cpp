// The payload parser and the image-end reader over arbitrary bytes: every tag search,
// field read and time-stamp walk stays inside the given bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/payload_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the end is caught.
  std::vector<uint8_t> bytes(data, data + size);
  const PayloadView view = ParsePayload(bytes.data(), bytes.size());
  for (const TimeStamp& stamp : view.Records.Times) {
    if (stamp.Name.size() > size) __builtin_trap();
  }
  if (view.Records.Title.size() > 31 || view.Records.OldCheckHash.size() > 128) __builtin_trap();
  const uint64_t end = PeImageEnd(bytes.data(), bytes.size());
  (void)end;
  return 0;
}
