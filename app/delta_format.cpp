#include "app/delta_format.h"

#include <algorithm>
#include <cstring>

const char kDeltaPrefix[] = "___delta\\";

namespace {

const char kDeltaMagic[8] = {'G', 'C', 'A', 'D', 'L', 'T', '0', '3'};
constexpr uint32_t kPiece = 64 * 1024;

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

void PutVarint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

// False when the number runs past the end or past 64 bits.
bool GetVarint(const uint8_t*& p, const uint8_t* end, uint64_t& v) {
  v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (p == end) return false;
    const uint8_t byte = *p++;
    v |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) return shift < 63 || byte <= 1;
  }
  return false;
}

bool IsHexDigest(const std::string& text) {
  if (text.size() != 128) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The records of one chunk, each field in a stream of its own: lengths lie with lengths
// and seeks with seeks, which the block codec packs better than the fields interleaved.
struct RecordStreams {
  std::vector<uint8_t> Adds, Literals, Seeks;
  size_t Size() const { return Adds.size() + Literals.size() + Seeks.size(); }
  void Put(const DeltaRecord& r) {
    PutVarint(Adds, r.Add);
    PutVarint(Literals, r.Literal);
    PutVarint(Seeks, r.Seek >= 0 ? static_cast<uint64_t>(r.Seek) << 1 : (static_cast<uint64_t>(-(r.Seek + 1)) << 1) | 1);
  }
  void Clear() {
    Adds.clear();
    Literals.clear();
    Seeks.clear();
  }
};

}  // namespace

bool IsDeltaName(const std::string& name) { return name.compare(0, kDeltaPrefixSize, kDeltaPrefix) == 0; }

void PutDeltaHeader(const DeltaHeader& header, std::vector<uint8_t>& out) {
  out.insert(out.end(), kDeltaMagic, kDeltaMagic + sizeof(kDeltaMagic));
  PutU64(out, header.OldSize);
  PutU64(out, header.NewSize);
  PutU32(out, header.NewCrc);
  PutU32(out, header.Base.empty() ? 0 : kDeltaFromBase);
  out.insert(out.end(), header.OldDigest.begin(), header.OldDigest.end());
  out.insert(out.end(), header.NewDigest.begin(), header.NewDigest.end());
  if (!header.Base.empty()) {
    PutU32(out, static_cast<uint32_t>(header.Base.size()));
    out.insert(out.end(), header.Base.begin(), header.Base.end());
  }
}

size_t DeltaHeaderBytes(const uint8_t* bytes, size_t size) {
  if (size < sizeof(kDeltaMagic)) return kDeltaHeaderSize;
  if (std::memcmp(bytes, kDeltaMagic, sizeof(kDeltaMagic)) != 0) return 0;
  if (size < kDeltaHeaderSize) return kDeltaHeaderSize;
  const uint32_t flags = GetU32(bytes + 28);
  if (flags == 0) return kDeltaHeaderSize;
  if (flags != kDeltaFromBase) return 0;
  if (size < kDeltaHeaderSize + 4) return kDeltaHeaderSize + 4;
  const uint32_t length = GetU32(bytes + kDeltaHeaderSize);
  if (length == 0 || length > kDeltaMaxBaseName) return 0;
  return kDeltaHeaderSize + 4 + length;
}

bool ParseDeltaHeader(const uint8_t* bytes, size_t size, DeltaHeader& header) {
  const size_t whole = DeltaHeaderBytes(bytes, size);
  if (whole == 0 || size < whole) return false;
  header.OldSize = GetU64(bytes + 8);
  header.NewSize = GetU64(bytes + 16);
  header.NewCrc = GetU32(bytes + 24);
  header.OldDigest.assign(reinterpret_cast<const char*>(bytes + 32), 128);
  header.NewDigest.assign(reinterpret_cast<const char*>(bytes + 160), 128);
  header.Base.clear();
  if (whole > kDeltaHeaderSize) {
    header.Base.assign(reinterpret_cast<const char*>(bytes + kDeltaHeaderSize + 4), whole - kDeltaHeaderSize - 4);
  }
  return IsHexDigest(header.OldDigest) && IsHexDigest(header.NewDigest);
}

void PutDeltaChunks(const std::vector<DeltaRecord>& records, const std::vector<uint8_t>& added,
                    const std::vector<uint8_t>& literals, std::vector<uint8_t>& out) {
  // A record that makes no byte only moves the source: its move joins the one before it.
  std::vector<DeltaRecord> merged;
  merged.reserve(records.size());
  for (const DeltaRecord& r : records) {
    if (r.Add + uint64_t{r.Literal} == 0 && !merged.empty()) {
      merged.back().Seek += r.Seek;
    } else {
      merged.push_back(r);
    }
  }
  RecordStreams control;
  std::vector<uint8_t> runs, values;
  size_t added_at = 0, literal_at = 0;
  uint32_t chunk_added = 0, chunk_literal = 0;
  const auto flush = [&] {
    if (chunk_added + chunk_literal == 0) return;
    runs.clear();
    values.clear();
    uint64_t zeros = 0;
    for (size_t i = added_at; i < added_at + chunk_added; ++i) {
      if (added[i] == 0) {
        ++zeros;
        continue;
      }
      PutVarint(runs, zeros);
      values.push_back(added[i]);
      zeros = 0;
    }
    PutVarint(runs, zeros);
    PutU32(out, static_cast<uint32_t>(control.Adds.size()));
    PutU32(out, static_cast<uint32_t>(control.Literals.size()));
    PutU32(out, static_cast<uint32_t>(control.Seeks.size()));
    PutU32(out, chunk_added);
    PutU32(out, static_cast<uint32_t>(runs.size()));
    PutU32(out, static_cast<uint32_t>(values.size()));
    PutU32(out, chunk_literal);
    for (const std::vector<uint8_t>* stream : {&control.Adds, &control.Literals, &control.Seeks}) {
      out.insert(out.end(), stream->begin(), stream->end());
    }
    out.insert(out.end(), runs.begin(), runs.end());
    out.insert(out.end(), values.begin(), values.end());
    out.insert(out.end(), literals.begin() + literal_at, literals.begin() + literal_at + chunk_literal);
    added_at += chunk_added;
    literal_at += chunk_literal;
    control.Clear();
    chunk_added = chunk_literal = 0;
  };
  constexpr size_t kLongestRecord = 5 + 5 + 10;
  for (DeltaRecord r : merged) {
    for (;;) {
      const uint32_t room = kDeltaChunkOutput - (chunk_added + chunk_literal);
      if (room == 0 || control.Size() + kLongestRecord > kDeltaChunkControl) {
        flush();
        continue;
      }
      if (r.Add + uint64_t{r.Literal} <= room) {
        control.Put(r);
        chunk_added += r.Add;
        chunk_literal += r.Literal;
        break;
      }
      // The record goes on in the next chunk: the source moves by what this part added.
      if (r.Add >= room) {
        control.Put({room, 0, 0});
        chunk_added += room;
        r.Add -= room;
      } else {
        const uint32_t part = room - r.Add;
        control.Put({r.Add, part, 0});
        chunk_added += r.Add;
        chunk_literal += part;
        r.Add = 0;
        r.Literal -= part;
      }
      flush();
    }
  }
  flush();
}

DeltaApplier::DeltaApplier(DeltaSink& sink) : sink_(sink) { want_ = kDeltaHeaderSize; }

bool DeltaApplier::Emit(const uint8_t* data, uint32_t n) {
  if (n > header_.NewSize - written_) return Fail();
  if (!sink_.WriteNew(data, n)) return Fail();
  digest_.Update(data, n);
  crc_value_ = crc_.Update(data, n, crc_value_);
  written_ += n;
  return true;
}

// The next n added bytes: the rest of the current zero run, then a value, and so on.
bool DeltaApplier::AddedBytes::Next(uint8_t* out, uint32_t n) {
  while (n > 0) {
    if (!InRun) {
      if (!GetVarint(Runs, RunsEnd, Zeros)) return false;
      InRun = true;
    }
    const uint32_t zeros = static_cast<uint32_t>(std::min<uint64_t>(Zeros, n));
    std::memset(out, 0, zeros);
    out += zeros;
    n -= zeros;
    Zeros -= zeros;
    if (n == 0) break;
    if (Values == ValuesEnd || *Values == 0) return false;
    *out++ = *Values++;
    --n;
    InRun = false;
  }
  return true;
}

// Adds n bytes to the source from the current position and writes them. A piece of the
// new content that repeats itself at a short distance is read as far as it is written.
bool DeltaApplier::Add(AddedBytes& added, uint32_t n) {
  while (n > 0) {
    uint64_t piece = std::min(n, kPiece);
    if (position_ < header_.OldSize) {
      piece = std::min(piece, header_.OldSize - position_);
    } else {
      const uint64_t made = header_.OldSize + written_;
      if (position_ >= made) return Fail();
      piece = std::min(piece, made - position_);
    }
    const uint32_t take = static_cast<uint32_t>(piece);
    if (!sink_.ReadSource(position_, source_.data(), take) || !added.Next(out_.data(), take)) return Fail();
    for (uint32_t i = 0; i < take; ++i) out_[i] = static_cast<uint8_t>(out_[i] + source_[i]);
    if (!Emit(out_.data(), take)) return false;
    position_ += take;
    n -= take;
  }
  return true;
}

bool DeltaApplier::StartChunk() {
  adds_ = GetU32(pending_.data());
  literal_lengths_ = GetU32(pending_.data() + 4);
  seeks_ = GetU32(pending_.data() + 8);
  added_ = GetU32(pending_.data() + 12);
  runs_ = GetU32(pending_.data() + 16);
  values_ = GetU32(pending_.data() + 20);
  literal_ = GetU32(pending_.data() + 24);
  const uint64_t made = uint64_t{added_} + literal_;
  const uint64_t control = uint64_t{adds_} + literal_lengths_ + seeks_;
  if (control > kDeltaChunkControl || made == 0 || made > kDeltaChunkOutput || made > header_.NewSize - written_ ||
      runs_ > uint64_t{added_} + 1 || values_ > added_) {
    return Fail();
  }
  pending_.clear();
  want_ = static_cast<size_t>(control) + runs_ + values_ + literal_;
  pending_.reserve(want_);
  state_ = State::kChunk;
  return true;
}

bool DeltaApplier::ApplyChunk() {
  // The three record streams: add lengths, literal lengths, seeks; the i-th record is
  // the i-th number of each, and the three end together.
  const uint8_t* adds = pending_.data();
  const uint8_t* const adds_end = adds + adds_;
  const uint8_t* lengths = adds_end;
  const uint8_t* const lengths_end = lengths + literal_lengths_;
  const uint8_t* seeks = lengths_end;
  const uint8_t* const control_end = seeks + seeks_;
  AddedBytes added;
  added.Runs = control_end;
  added.RunsEnd = added.Values = control_end + runs_;
  added.ValuesEnd = added.Values + values_;
  const uint8_t* literal = added.ValuesEnd;
  uint32_t added_left = added_, literal_left = literal_;
  const uint64_t limit = header_.OldSize + header_.NewSize;
  while (adds < adds_end) {
    uint64_t add = 0, lit = 0, seek = 0;
    if (!GetVarint(adds, adds_end, add) || !GetVarint(lengths, lengths_end, lit) ||
        !GetVarint(seeks, control_end, seek) || add > added_left || lit > literal_left) {
      return Fail();
    }
    if (!Add(added, static_cast<uint32_t>(add))) return false;
    if (lit > 0 && !Emit(literal, static_cast<uint32_t>(lit))) return false;
    literal += lit;
    added_left -= static_cast<uint32_t>(add);
    literal_left -= static_cast<uint32_t>(lit);
    // The source position moves within the old and the whole new content.
    const uint64_t magnitude = seek >> 1;
    if (seek & 1) {
      if (magnitude >= position_) return Fail();
      position_ -= magnitude + 1;
    } else {
      if (magnitude > limit - position_) return Fail();
      position_ += magnitude;
    }
  }
  // Every run and value used: the last run ends the added bytes exactly.
  if (lengths != lengths_end || seeks != control_end || added_left != 0 || literal_left != 0 ||
      added.Values != added.ValuesEnd) {
    return Fail();
  }
  if (!added.InRun) {
    uint64_t zeros = 0;
    if (!GetVarint(added.Runs, added.RunsEnd, zeros) || zeros != 0) return Fail();
  } else if (added.Zeros != 0) {
    return Fail();
  }
  if (added.Runs != added.RunsEnd) return Fail();
  pending_.clear();
  want_ = kDeltaChunkHeaderSize;
  state_ = written_ == header_.NewSize ? State::kDone : State::kChunkHeader;
  return true;
}

bool DeltaApplier::Push(const uint8_t* data, size_t n) {
  if (failed_) return false;
  while (n > 0) {
    if (state_ == State::kDone) return Fail();  // bytes behind the end
    const size_t take = std::min(n, want_ - pending_.size());
    pending_.insert(pending_.end(), data, data + take);
    data += take;
    n -= take;
    if (pending_.size() < want_) break;
    switch (state_) {
      case State::kHeader: {
        // The fixed part first, then a base name's length, then the name.
        const size_t whole = DeltaHeaderBytes(pending_.data(), pending_.size());
        if (whole == 0) return Fail();
        if (whole > pending_.size()) {
          want_ = whole;
          break;
        }
        if (!ParseDeltaHeader(pending_.data(), pending_.size(), header_)) return Fail();
        sink_.Begin(header_);
        pending_.clear();
        source_.resize(kPiece);
        out_.resize(kPiece);
        want_ = kDeltaChunkHeaderSize;
        state_ = header_.NewSize == 0 ? State::kDone : State::kChunkHeader;
        break;
      }
      case State::kChunkHeader:
        if (!StartChunk()) return false;
        break;
      case State::kChunk:
        if (!ApplyChunk()) return false;
        break;
      case State::kDone:
        return Fail();
    }
  }
  return true;
}

bool DeltaApplier::Complete() {
  if (failed_ || state_ != State::kDone || written_ != header_.NewSize) return false;
  digest_.Finish();
  return crc_value_ == header_.NewCrc && digest_.HexText() == header_.NewDigest;
}
