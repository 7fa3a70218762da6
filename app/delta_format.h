// The delta stream of a patch entry: how a changed file is made from its old content.
// Shared by the patch builder (which writes it and checks it by applying it in memory)
// and the updater (which applies it from the old file to the new one in bounded memory).
//
// A delta entry is named kDeltaPrefix followed by the name of the file it makes: a loose
// file ("___delta\game.exe") or a data-archive member ("___delta\___\data\maps\m2.txt").
// The updater refuses every other name that begins with three underscores, and the
// stream begins with a magic, so it can never pass for a plain file.
//
// Layout, little-endian:
//   header: 8-byte magic "GCADLT01", u64 old size, u64 new size, u32 CRC-32 of the new
//           content, u32 flags (0), 128 hexadecimal characters of the old content's
//           SHA-512, 128 of the new content's;
//   then records until the new size is reached: u32 add length A, u32 literal length L,
//           i64 seek S; A bytes added (mod 256) to the old content from the old position
//           on, then L bytes taken as they stand; the old position then moves by A + S.
// The new content is written in order; the old content is read forward from wherever the
// old position stands, which must stay inside it. A record may only move the old position.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/crc32.h"
#include "codec/sha512.h"

extern const char kDeltaPrefix[];  // "___delta\"
constexpr size_t kDeltaPrefixSize = 9;
constexpr size_t kDeltaHeaderSize = 8 + 8 + 8 + 4 + 4 + 128 + 128;
constexpr size_t kDeltaRecordHeaderSize = 16;

bool IsDeltaName(const std::string& name);

struct DeltaHeader {
  uint64_t OldSize = 0;
  uint64_t NewSize = 0;
  uint32_t NewCrc = 0;
  std::string OldDigest;  // 128 lowercase hexadecimal characters
  std::string NewDigest;
};

void PutDeltaHeader(const DeltaHeader& header, std::vector<uint8_t>& out);
// False when the bytes are no delta header (magic, flags, digest text).
bool ParseDeltaHeader(const uint8_t* bytes, size_t size, DeltaHeader& header);
void PutDeltaRecord(uint32_t add, uint32_t literal, int64_t seek, std::vector<uint8_t>& out);

// Where a delta's old content comes from and its new content goes.
class DeltaSink {
 public:
  virtual ~DeltaSink() = default;
  // Exactly n old bytes from the position; false when they cannot be read.
  virtual bool ReadOld(uint64_t position, uint8_t* buffer, uint32_t n) = 0;
  virtual bool WriteNew(const uint8_t* buffer, uint32_t n) = 0;
};

// Applies a delta stream pushed in pieces of any size: the header first, then each
// record, writing the new content in order through the sink. It holds one record header
// and one chunk of old bytes (64 KiB) whatever the sizes, and keeps the SHA-512 and
// CRC-32 of what it wrote.
class DeltaApplier {
 public:
  explicit DeltaApplier(DeltaSink& sink);
  DeltaApplier(const DeltaApplier&) = delete;
  DeltaApplier& operator=(const DeltaApplier&) = delete;

  // False once the stream is malformed (an old position outside the old content, more
  // bytes than the new size, a bad header) or the sink failed; it then stays false.
  bool Push(const uint8_t* data, size_t n);
  bool HeaderRead() const { return state_ != State::kHeader; }
  const DeltaHeader& Header() const { return header_; }
  // The whole new content was written, its digest and CRC match the header's, and no
  // byte followed it.
  bool Complete();
  bool Failed() const { return failed_; }

 private:
  enum class State { kHeader, kRecord, kAdd, kLiteral, kDone };
  bool Fail() {
    failed_ = true;
    return false;
  }
  bool Emit(const uint8_t* data, uint32_t n);
  bool StartRecord();
  bool FinishRecord();

  DeltaSink& sink_;
  State state_ = State::kHeader;
  bool failed_ = false;
  DeltaHeader header_;
  std::vector<uint8_t> pending_;  // header or record header bytes so far
  std::vector<uint8_t> old_;      // one chunk of old bytes
  std::vector<uint8_t> out_;      // one chunk of new bytes
  uint64_t old_position_ = 0;
  uint64_t written_ = 0;
  uint64_t add_left_ = 0, literal_left_ = 0;
  int64_t seek_ = 0;
  gca::Sha512Digest digest_;
  gca::Crc32 crc_;
  uint32_t crc_value_ = 0;
};
