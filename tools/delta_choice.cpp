#include "tools/delta_choice.h"

#include <algorithm>
#include <cstring>

#include "app/delta_format.h"
#include "codec/block_pool.h"
#include "codec/sha512.h"
#include "tools/patch_delta.h"

namespace builder {

namespace {

// Applies a delta in memory, as the updater applies it from files.
class MemorySink : public DeltaSink {
 public:
  MemorySink(const std::vector<uint8_t>& old_bytes, std::vector<uint8_t>& new_bytes)
      : old_(old_bytes), new_(new_bytes) {}
  bool ReadSource(uint64_t position, uint8_t* buffer, uint32_t n) override {
    const std::vector<uint8_t>& from = position < old_.size() ? old_ : new_;
    if (position >= old_.size()) position -= old_.size();
    if (position > from.size() || n > from.size() - position) return false;
    std::memcpy(buffer, from.data() + position, n);
    return true;
  }
  bool WriteNew(const uint8_t* buffer, uint32_t n) override {
    new_.insert(new_.end(), buffer, buffer + n);
    return true;
  }

 private:
  const std::vector<uint8_t>& old_;
  std::vector<uint8_t>& new_;
};

}  // namespace

std::string DigestOf(const std::vector<uint8_t>& bytes) {
  gca::Sha512Digest digest;
  for (size_t at = 0; at < bytes.size(); at += 1u << 30) {
    digest.Update(bytes.data() + at, static_cast<uint32_t>(std::min<size_t>(1u << 30, bytes.size() - at)));
  }
  digest.Finish();
  return digest.HexText();
}

// The delta stream from the old content to the new, when it is smaller than the new
// content once both are coded by the block codec; checked by applying it. False: ship
// the new content whole.
bool ChooseDelta(const std::vector<uint8_t>& old_bytes, const std::vector<uint8_t>& new_bytes,
                 const std::string& old_digest, std::vector<uint8_t>& delta, const std::string& base,
                 uint64_t* coded_size) {
  delta.clear();
  if (old_bytes.size() + uint64_t{new_bytes.size()} > kDeltaLimit) return false;
  DeltaHeader header;
  header.OldSize = old_bytes.size();
  header.NewSize = new_bytes.size();
  const gca::Crc32 crc;
  for (size_t at = 0; at < new_bytes.size(); at += 1u << 30) {
    header.NewCrc = crc.Update(new_bytes.data() + at,
                               static_cast<uint32_t>(std::min<size_t>(1u << 30, new_bytes.size() - at)), header.NewCrc);
  }
  header.OldDigest = old_digest;
  header.NewDigest = DigestOf(new_bytes);
  header.Base = base;
  PutDeltaHeader(header, delta);
  const uint64_t coded = MakeDelta(old_bytes.data(), old_bytes.size(), new_bytes.data(), new_bytes.size(), delta);
  if (CodedSize(new_bytes.data(), new_bytes.size(), coded) <= coded) return false;
  std::vector<uint8_t> made;
  MemorySink sink(old_bytes, made);
  DeltaApplier applier(sink);
  if (!applier.Push(delta.data(), delta.size()) || !applier.Complete() || made != new_bytes) {
    delta.clear();
    return false;
  }
  if (coded_size != nullptr) *coded_size = coded;
  return true;
}

}  // namespace builder
