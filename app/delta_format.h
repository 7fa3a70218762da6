// The delta stream of a patch entry: how a changed file is made from its old content.
// Shared by the patch builder (which writes it and checks it by applying it in memory)
// and the updater (which applies it from the old file to the new one in bounded memory).
//
// A delta entry is named kDeltaPrefix followed by the name of the file it makes: a loose
// file ("___delta\game.exe") or a data-archive member ("___delta\___\data\maps\m2.txt").
// The updater refuses every other name that begins with three underscores, and the
// stream begins with a magic, so it can never pass for a plain file.
//
// The bytes are taken from a source: the old content followed by the new content made so
// far, so a record copies from the old file or repeats what the new file already holds.
//
// Layout, little-endian:
//   header: 8-byte magic "GCADLT03", u64 old size, u64 new size, u32 CRC-32 of the new
//           content, u32 flags, 128 hexadecimal characters of the old content's
//           SHA-512, 128 of the new content's; with flag bit 0 (kDeltaFromBase), a u32
//           length (1 to kDeltaMaxBaseName) and the name of the file the old content is,
//           in the entry names' code page with backslashes (a file of another name: a
//           renamed file made from its old self); without it the old content is the file
//           of the name the delta makes. No other flag bit is set;
//   then chunks until the new size is reached, each making at most kDeltaChunkOutput
//   bytes of the new content: seven u32 sizes, then the sections, each whole, in that
//   order: P bytes of add lengths, Q of literal lengths, S of seeks (P + Q + S at most
//   kDeltaChunkControl), D (no bytes of its own: the count of added bytes), R bytes of
//   zero runs (at most D + 1), V values (at most D), N literal bytes (D + N from 1 to
//   kDeltaChunkOutput). The D added bytes are the zero runs and values taken in turn: a
//   run (a variable-length number) of zero bytes, then one value (never zero), until D
//   bytes are made; the last run has no value. The numbers of the records are
//   variable-length (7 bits a byte, low first, high bit: more); record i is the i-th
//   number of each of the three streams: add length A, literal length L, seek T
//   (zig-zag: 2T for T >= 0, -2T-1 below), and the three streams end together. A
//   record's A added bytes are added (mod 256) to the source from the source position
//   on, then its L literal bytes are taken as they stand, and the source position then
//   moves by A + T. The records of a chunk use exactly its D added and N literal bytes.
// Keeping each field of the records, the mostly-zero added bytes (as runs and values) and
// the literals apart lets the block codec see each kind together; the chunks bound what
// the updater holds at once (at most P + Q + S + 2D + 1 + N bytes, under 10 MiB).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/crc32.h"
#include "codec/sha512.h"

extern const char kDeltaPrefix[];  // "___delta\"
constexpr size_t kDeltaPrefixSize = 9;
// The fixed part of the header; a delta from a file of another name has its name behind it.
constexpr size_t kDeltaHeaderSize = 8 + 8 + 8 + 4 + 4 + 128 + 128;
constexpr uint32_t kDeltaFromBase = 1;
constexpr size_t kDeltaMaxBaseName = 1024;
constexpr size_t kDeltaMaxHeaderSize = kDeltaHeaderSize + 4 + kDeltaMaxBaseName;
constexpr size_t kDeltaChunkHeaderSize = 28;
constexpr uint32_t kDeltaChunkOutput = 4u << 20;
constexpr uint32_t kDeltaChunkControl = 1u << 20;

bool IsDeltaName(const std::string& name);

struct DeltaHeader {
  uint64_t OldSize = 0;
  uint64_t NewSize = 0;
  uint32_t NewCrc = 0;
  std::string OldDigest;  // 128 lowercase hexadecimal characters
  std::string NewDigest;
  // The name of the file the old content is, in the entry names' code page; empty: the
  // file of the name the delta makes.
  std::string Base;
};

struct DeltaRecord {
  uint32_t Add = 0;
  uint32_t Literal = 0;
  int64_t Seek = 0;
};

void PutDeltaHeader(const DeltaHeader& header, std::vector<uint8_t>& out);
// How many bytes the whole header takes, as far as the first `size` bytes tell: at least
// the fixed part; with a base name, its length and then the name. 0 when the bytes are no
// delta header (magic, flags, a base name's length).
size_t DeltaHeaderBytes(const uint8_t* bytes, size_t size);
// False when the bytes are no whole delta header (magic, flags, digest text, base name).
bool ParseDeltaHeader(const uint8_t* bytes, size_t size, DeltaHeader& header);

// Lays the records out in chunks behind the header: `added` holds the added bytes of all
// records in order, `literals` their literal bytes.
void PutDeltaChunks(const std::vector<DeltaRecord>& records, const std::vector<uint8_t>& added,
                    const std::vector<uint8_t>& literals, std::vector<uint8_t>& out);

// Where a delta's old content comes from and its new content goes.
class DeltaSink {
 public:
  virtual ~DeltaSink() = default;
  // The header is through: called once, before any byte is read or written.
  virtual void Begin(const DeltaHeader&) {}
  // Exactly n source bytes from the position: the old content below its size, the new
  // content already written above it; false when they cannot be read.
  virtual bool ReadSource(uint64_t position, uint8_t* buffer, uint32_t n) = 0;
  virtual bool WriteNew(const uint8_t* buffer, uint32_t n) = 0;
};

// Applies a delta stream pushed in pieces of any size: the header first, then each
// chunk, held whole (under 10 MiB) and then
// written through the sink in order. It keeps the SHA-512 and CRC-32 of what it wrote.
class DeltaApplier {
 public:
  explicit DeltaApplier(DeltaSink& sink);
  DeltaApplier(const DeltaApplier&) = delete;
  DeltaApplier& operator=(const DeltaApplier&) = delete;

  // False once the stream is malformed (a source position outside what the source holds,
  // more bytes than the new size, a chunk whose records do not use its sections exactly,
  // a bad header) or the sink failed; it then stays false.
  bool Push(const uint8_t* data, size_t n);
  bool HeaderRead() const { return state_ != State::kHeader; }
  const DeltaHeader& Header() const { return header_; }
  // The whole new content was written, its digest and CRC match the header's, and no
  // byte followed it.
  bool Complete();
  bool Failed() const { return failed_; }

 private:
  enum class State { kHeader, kChunkHeader, kChunk, kDone };
  bool Fail() {
    failed_ = true;
    return false;
  }
  bool Emit(const uint8_t* data, uint32_t n);
  bool StartChunk();
  bool ApplyChunk();
  // The added bytes of the chunk, unpacked from its runs and values as the records use them.
  struct AddedBytes {
    const uint8_t* Runs = nullptr;
    const uint8_t* RunsEnd = nullptr;
    const uint8_t* Values = nullptr;
    const uint8_t* ValuesEnd = nullptr;
    uint64_t Zeros = 0;
    bool InRun = false;  // Zeros counts the rest of a run that has begun
    bool Next(uint8_t* out, uint32_t n);
  };
  bool Add(AddedBytes& added, uint32_t n);

  DeltaSink& sink_;
  State state_ = State::kHeader;
  bool failed_ = false;
  DeltaHeader header_;
  std::vector<uint8_t> pending_;  // header, chunk header or chunk bytes so far
  size_t want_ = 0;               // bytes of pending_ that make it whole
  // The chunk's sections.
  uint32_t adds_ = 0, literal_lengths_ = 0, seeks_ = 0, added_ = 0, runs_ = 0, values_ = 0, literal_ = 0;
  std::vector<uint8_t> source_;   // one piece of source bytes
  std::vector<uint8_t> out_;      // one piece of new bytes
  uint64_t position_ = 0;         // in the source: old content, then the new
  uint64_t written_ = 0;
  gca::Sha512Digest digest_;
  gca::Crc32 crc_;
  uint32_t crc_value_ = 0;
};
