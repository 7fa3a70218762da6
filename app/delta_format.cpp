#include "app/delta_format.h"

#include <algorithm>
#include <cstring>

const char kDeltaPrefix[] = "___delta\\";

namespace {

const char kDeltaMagic[8] = {'G', 'C', 'A', 'D', 'L', 'T', '0', '1'};
constexpr uint32_t kChunk = 64 * 1024;

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU64(std::vector<uint8_t>& out, uint64_t v) {
  PutU32(out, static_cast<uint32_t>(v));
  PutU32(out, static_cast<uint32_t>(v >> 32));
}
uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t GetU64(const uint8_t* p) { return static_cast<uint64_t>(GetU32(p)) | static_cast<uint64_t>(GetU32(p + 4)) << 32; }

bool IsHexDigest(const std::string& text) {
  if (text.size() != 128) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool IsDeltaName(const std::string& name) { return name.compare(0, kDeltaPrefixSize, kDeltaPrefix) == 0; }

void PutDeltaHeader(const DeltaHeader& header, std::vector<uint8_t>& out) {
  out.insert(out.end(), kDeltaMagic, kDeltaMagic + sizeof(kDeltaMagic));
  PutU64(out, header.OldSize);
  PutU64(out, header.NewSize);
  PutU32(out, header.NewCrc);
  PutU32(out, 0);
  out.insert(out.end(), header.OldDigest.begin(), header.OldDigest.end());
  out.insert(out.end(), header.NewDigest.begin(), header.NewDigest.end());
}

bool ParseDeltaHeader(const uint8_t* bytes, size_t size, DeltaHeader& header) {
  if (size < kDeltaHeaderSize || std::memcmp(bytes, kDeltaMagic, sizeof(kDeltaMagic)) != 0) return false;
  header.OldSize = GetU64(bytes + 8);
  header.NewSize = GetU64(bytes + 16);
  header.NewCrc = GetU32(bytes + 24);
  if (GetU32(bytes + 28) != 0) return false;
  header.OldDigest.assign(reinterpret_cast<const char*>(bytes + 32), 128);
  header.NewDigest.assign(reinterpret_cast<const char*>(bytes + 160), 128);
  return IsHexDigest(header.OldDigest) && IsHexDigest(header.NewDigest);
}

void PutDeltaRecord(uint32_t add, uint32_t literal, int64_t seek, std::vector<uint8_t>& out) {
  PutU32(out, add);
  PutU32(out, literal);
  PutU64(out, static_cast<uint64_t>(seek));
}

DeltaApplier::DeltaApplier(DeltaSink& sink) : sink_(sink) {}

bool DeltaApplier::Emit(const uint8_t* data, uint32_t n) {
  if (!sink_.WriteNew(data, n)) return Fail();
  digest_.Update(data, n);
  crc_value_ = crc_.Update(data, n, crc_value_);
  written_ += n;
  return true;
}

bool DeltaApplier::StartRecord() {
  const uint64_t add = GetU32(pending_.data());
  const uint64_t literal = GetU32(pending_.data() + 4);
  seek_ = static_cast<int64_t>(GetU64(pending_.data() + 8));
  pending_.clear();
  if (add + literal > header_.NewSize - written_) return Fail();
  if (add > header_.OldSize - old_position_) return Fail();
  add_left_ = add;
  literal_left_ = literal;
  if (add + literal == 0) return FinishRecord();  // only moves the old position
  state_ = add_left_ > 0 ? State::kAdd : State::kLiteral;
  return true;
}

// A record's bytes are through: the seek moves the old position for the next one.
bool DeltaApplier::FinishRecord() {
  const int64_t moved = static_cast<int64_t>(old_position_) + seek_;
  if (seek_ < -static_cast<int64_t>(old_position_) || moved < 0 || static_cast<uint64_t>(moved) > header_.OldSize) {
    return Fail();
  }
  old_position_ = static_cast<uint64_t>(moved);
  state_ = written_ == header_.NewSize ? State::kDone : State::kRecord;
  return true;
}

bool DeltaApplier::Push(const uint8_t* data, size_t n) {
  if (failed_) return false;
  while (n > 0) {
    switch (state_) {
      case State::kHeader: {
        const size_t take = std::min(n, kDeltaHeaderSize - pending_.size());
        pending_.insert(pending_.end(), data, data + take);
        data += take;
        n -= take;
        if (pending_.size() < kDeltaHeaderSize) break;
        if (!ParseDeltaHeader(pending_.data(), pending_.size(), header_)) return Fail();
        pending_.clear();
        old_.resize(kChunk);
        out_.resize(kChunk);
        state_ = header_.NewSize == 0 ? State::kDone : State::kRecord;
        break;
      }
      case State::kRecord: {
        const size_t take = std::min(n, kDeltaRecordHeaderSize - pending_.size());
        pending_.insert(pending_.end(), data, data + take);
        data += take;
        n -= take;
        if (pending_.size() == kDeltaRecordHeaderSize && !StartRecord()) return false;
        break;
      }
      case State::kAdd: {
        const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>({n, add_left_, kChunk}));
        if (!sink_.ReadOld(old_position_, old_.data(), take)) return Fail();
        for (uint32_t i = 0; i < take; ++i) out_[i] = static_cast<uint8_t>(old_[i] + data[i]);
        if (!Emit(out_.data(), take)) return false;
        old_position_ += take;
        add_left_ -= take;
        data += take;
        n -= take;
        if (add_left_ == 0) {
          if (literal_left_ > 0) {
            state_ = State::kLiteral;
          } else if (!FinishRecord()) {
            return false;
          }
        }
        break;
      }
      case State::kLiteral: {
        const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>({n, literal_left_, kChunk}));
        if (!Emit(data, take)) return false;
        literal_left_ -= take;
        data += take;
        n -= take;
        if (literal_left_ == 0 && !FinishRecord()) return false;
        break;
      }
      case State::kDone:
        return Fail();  // bytes behind the end
    }
  }
  return true;
}

bool DeltaApplier::Complete() {
  if (failed_ || state_ != State::kDone || written_ != header_.NewSize) return false;
  digest_.Finish();
  return crc_value_ == header_.NewCrc && digest_.HexText() == header_.NewDigest;
}
