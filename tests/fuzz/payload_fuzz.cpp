// The payload parser, the shared payload readers and the image-end reader over arbitrary
// bytes: every tag search, field read and time-stamp walk stays inside the given bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/payload_format.h"

namespace {

// The bytes as a patch file, read as the updater reads its own program file.
class BytesFile : public PayloadFile {
 public:
  explicit BytesFile(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool Open() override {
    position_ = 0;
    return true;
  }
  uint64_t Size() override { return bytes_.size(); }
  bool Seek(uint64_t position) override {
    if (position > bytes_.size()) return false;
    position_ = static_cast<size_t>(position);
    return true;
  }
  uint32_t Read(void* buffer, uint32_t n) override {
    const size_t count = std::min<size_t>(n, bytes_.size() - position_);
    if (count != 0) std::memcpy(buffer, bytes_.data() + position_, count);
    position_ += count;
    return static_cast<uint32_t>(count);
  }
  void Close() override {}

 private:
  const std::vector<uint8_t>& bytes_;
  size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the end is caught.
  std::vector<uint8_t> bytes(data, data + size);
  const PayloadView view = ParsePayload(bytes.data(), bytes.size());
  for (const TimeStamp& stamp : view.Records.Times) {
    if (stamp.Name.size() > size) __builtin_trap();
  }
  if (view.Records.Title.size() > 31 || view.Records.OldCheckHash.size() > 128) __builtin_trap();
  BytesFile file(bytes);
  std::string value;
  if (ReadTextRecordIn(file, TitleName, value) && value.size() > 31) __builtin_trap();
  if (ReadDigestRecordIn(file, CheckNewHashName, value) && value.size() > 128) __builtin_trap();
  std::vector<TimeStamp> stamps;
  bool complete = false;
  if (ReadTimeStampsIn(file, stamps, complete)) {
    for (const TimeStamp& stamp : stamps) {
      if (stamp.Name.size() > size) __builtin_trap();
    }
  }
  const uint64_t end = PeImageEnd(bytes.data(), bytes.size());
  (void)end;
  return 0;
}
