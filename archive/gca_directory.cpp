// Reading and writing archive directories: the "GCAX" front record, the "GCA3"
// directory and the older "GCA0"/"GCA1" directories.
#include <algorithm>
#include <cstring>

#include "archive/gca_archive_state.h"
#include "codec/gfl_exception.h"

namespace gca {
namespace {

constexpr uint32_t kFrontRecordSize = 16;
constexpr uint32_t kOldHeadSize = 16;
constexpr uint32_t kGca3HeadSize = 32;
// A decoded directory larger than this is taken as damage, not as a directory.
constexpr uint64_t kMaxDirectoryBytes = 512ull << 20;
// A compressed directory may decode to at most this much more than the whole archive
// file holds: what a reader allocates stays bounded by the file's own size, however
// well a damaged or hostile directory claims to compress.
constexpr uint64_t kDirectorySlack = 8ull << 20;
// Smallest frame: its 8-byte head.
constexpr uint64_t kMinFrameBytes = 8;
// Bytes every entry needs in a "GCA3" directory (record and 16-bit name length) and in
// a "GCA0"/"GCA1" directory (record and a one-byte length).
constexpr uint64_t kMinGca3Entry = 34;
constexpr uint64_t kMinOldEntry = 33;

bool HasGcaMagic(const uint8_t* p) { return p[0] == 'G' && p[1] == 'C' && p[2] == 'A'; }

std::string DirectoryKey(const GcaArchive::State& s) { return s.PassPhrase() + kDirectoryKeySuffix; }

// Decodes frames from src (coded_length bytes) until exactly `total` bytes have come
// out. The total is checked against what the frames and the file can hold before
// anything is allocated.
bool DecodeFrames(GcaArchive::State& s, FrameSource& src, uint64_t coded_length, uint64_t total,
                  uint64_t file_size, std::vector<uint8_t>* out) {
  out->clear();
  if (total > kMaxDirectoryBytes || total > kDirectorySlack + file_size) return false;
  if (total > (coded_length / kMinFrameBytes) * kBlockSize) return false;
  if (total != 0 && !s.EnsureBuffers()) return false;
  out->reserve(size_t(total));
  while (out->size() < total) {
    const uint64_t left = total - out->size();
    const uint32_t capacity = left < kBlockSize ? uint32_t(left) : kBlockSize;
    const uint32_t n = s.codec->ReadFrame(src, s.BlockBuffer(), capacity);
    if (n == 0 || n > capacity) return false;
    out->insert(out->end(), s.BlockBuffer(), s.BlockBuffer() + n);
  }
  return true;
}

void MapOldRecord(const uint8_t* r, EntryRecord* e, uint32_t* flags) {
  *flags |= Load32(r);
  e->Crc = Load32(r + 4);
  e->PackedSize = Load32(r + 12);
  e->UnpackedSize = Load32(r + 16);
  e->Attributes = Load32(r + 20);
  e->WriteTime = Load64(r + 24);
}

void MapRecord(const uint8_t* r, EntryRecord* e) {
  e->Crc = Load32(r);
  e->Attributes = Load32(r + 4);
  e->WriteTime = Load64(r + 8);
  e->UnpackedSize = Load64(r + 16);
  e->PackedSize = Load64(r + 24);
}

void StoreRecord(uint8_t* r, const EntryRecord& e) {
  Store32(r, e.Crc);
  Store32(r + 4, e.Attributes);
  Store64(r + 8, e.WriteTime);
  Store64(r + 16, e.UnpackedSize);
  Store64(r + 24, e.PackedSize);
}

bool ReadAt(GcaFile& f, uint64_t position, void* buffer, uint32_t n) {
  return f.Seek(position) && f.Read(buffer, n) == n;
}

// Reads len bytes into a vector in pieces, so that the allocation follows the bytes
// actually present.
bool ReadBytes(GcaFile& f, uint64_t len, std::vector<uint8_t>* out) {
  out->clear();
  if (len > f.Size()) return false;
  out->reserve(size_t(len));
  uint8_t piece[65536];
  while (out->size() < len) {
    const uint64_t left = len - out->size();
    const uint32_t want = left < sizeof(piece) ? uint32_t(left) : uint32_t(sizeof(piece));
    if (f.Read(piece, want) != want) return false;
    out->insert(out->end(), piece, piece + want);
  }
  return true;
}

// "Answer 0 continues": true when the check may be passed over.
bool Passes(GcaArchive::State& s, uint32_t code) { return s.self->Notify(code, std::string()) == 0; }

}  // namespace

bool GcaArchive::State::ReadDirectory() {
  ClearDirectory();
  file.reset();
  if (!OpenArchiveFile()) return false;
  const uint64_t file_size = file->Size();
  const uint64_t start = uint64_t(int64_t(start_offset));
  uint8_t front[kFrontRecordSize];
  if (!ReadAt(*file, start, front, sizeof(front)) || !HasGcaMagic(front)) return false;
  const bool front_record = front[3] == 'X';
  uint64_t head_position = start;
  if (front_record) {
    if (Load32(front + 4) != 0) {
      self->Notify(kNoticeBadHeader, std::string());
      return false;
    }
    const uint64_t offset = Load64(front + 8);
    if (offset > kInvalidPosition - start) return false;
    head_position = start + offset;
  }
  uint8_t head[kOldHeadSize];
  if (!ReadAt(*file, head_position, head, sizeof(head)) || !HasGcaMagic(head)) return false;
  bool ok = false;
  if (head[3] == '3') {
    ok = ReadGca3Directory(head_position, file_size);
  } else {
    if (head[3] == '0') {
      self->Solid = false;
    } else if (head[3] == '1') {
      self->Solid = true;
    } else if (!Passes(*this, kNoticeBadHeader)) {
      return false;
    }
    ok = ReadOldDirectory(head, head_position, front_record, file_size);
  }
  if (!ok || !ComputeOffsets()) {
    ClearDirectory();
    return false;
  }
  directory_read = true;
  return true;
}

bool GcaArchive::State::ReadOldDirectory(const uint8_t* head, uint64_t head_position, bool front_record,
                                         uint64_t file_size) {
  const uint32_t flags = Load32(head + 4);
  const int32_t n = int32_t(Load32(head + 8));
  const uint32_t r = Load32(head + 12);
  if (r < kOldHeadSize || file_size < r || head_position > file_size - r) return false;
  // The body ends with the check word and the CRC.
  const uint32_t body_length = r - kOldHeadSize;
  if (n < 0 || body_length < 8) return false;
  std::vector<uint8_t> body;
  if (!ReadBytes(*file, body_length, &body)) return false;

  directory_compressed = (flags & 0x1) != 0;
  directory_scrambled = (flags & 0x4) != 0;
  if (flags & 0x4) {
    if (!self->ScrambleDirectory && !Passes(*this, kNoticeScrambledDirectory)) return false;
    cipher.SetKey(DirectoryKey(*this));
    cipher.Decrypt(body.data(), int32_t(body.size()));
    if (Load32(&body[body_length - 8]) != 0 && !Passes(*this, kNoticeBadCheckWord)) return false;
  }
  if (self->VerifyDirectoryCrc && (flags & 0x2)) {
    uint32_t c = crc.Update(head, kOldHeadSize, 0);
    c = crc.Update(body.data(), body_length - 4, c);
    if (c != Load32(&body[body_length - 4]) && !Passes(*this, kNoticeDirectoryCrc)) return false;
  }

  const uint64_t x = uint64_t(n) * 32;
  std::vector<uint8_t> decoded;
  const uint8_t* table = nullptr;
  size_t table_length = 0;
  const uint8_t* recs = nullptr;
  if (flags & 0x1) {
    if (body_length < 12) return false;
    const uint32_t p = Load32(body.data());
    if (p < x || uint64_t(n) * kMinOldEntry > p) return false;
    MemoryFrameSource src(body.data() + 4, body_length - 12);
    if (!DecodeFrames(*this, src, body_length - 12, p, file_size, &decoded)) return false;
    recs = decoded.data();
    table = decoded.data() + x;
    table_length = size_t(p - x);
  } else {
    if (uint64_t(n) * kMinOldEntry > body_length) return false;
    recs = body.data();
    table = body.data() + x;
    table_length = size_t(body_length - x);
  }

  names.reserve(size_t(n));
  records.resize(size_t(n));
  uint32_t entry_flags = 0;
  size_t p = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (p >= table_length) return false;
    size_t length;
    size_t name_start;
    if (p + 1 < table_length && table[p + 1] < 0x20) {
      length = size_t(table[p]) + 256 * size_t(table[p + 1]);
      name_start = p + 2;
    } else {
      length = table[p];
      name_start = p + 1;
    }
    if (length > table_length - name_start) return false;
    names.emplace_back(reinterpret_cast<const char*>(table + name_start), length);
    p = name_start + length;
    MapOldRecord(recs + size_t(i) * 32, &records[size_t(i)], &entry_flags);
  }
  self->CompressData = (entry_flags & 0x1) != 0;
  self->EntryCrc = (entry_flags & 0x2) != 0;
  self->ScrambleData = (entry_flags & 0x4) != 0;
  count = n;
  data_start = front_record ? kFrontRecordSize : r;
  return true;
}

bool GcaArchive::State::ReadGca3Directory(uint64_t head_position, uint64_t file_size) {
  uint8_t head[kGca3HeadSize];
  if (!ReadAt(*file, head_position, head, sizeof(head))) return false;
  const uint32_t flags = Load32(head + 4);
  const uint64_t d = Load64(head + 8);
  self->CompressData = (flags & 0x10) != 0;
  self->ScrambleData = (flags & 0x20) != 0;
  self->Solid = (flags & 0x100) != 0;
  self->EntryCrc = true;
  directory_compressed = (flags & 0x1) != 0;
  directory_scrambled = (flags & 0x2) != 0;
  data_start = kFrontRecordSize;
  if (d < kGca3HeadSize || d > file_size || head_position > file_size - d) return false;
  if (d - kGca3HeadSize > kMaxDirectoryBytes) return false;
  std::vector<uint8_t> dir;
  // Head and body in one allocation of exactly D bytes.
  if (!file->Seek(head_position) || !ReadBytes(*file, d, &dir)) return false;

  if (flags & 0x2) {
    if (!self->ScrambleDirectory && !Passes(*this, kNoticeScrambledDirectory)) return false;
    cipher.SetKey(DirectoryKey(*this));
    cipher.Decrypt(dir.data() + 16, int32_t(dir.size() - 16));
    if (Load32(dir.data() + 16) != 0 && !Passes(*this, kNoticeBadCheckWord)) return false;
  }
  const uint32_t stored_crc = Load32(dir.data() + 20);
  Store32(dir.data() + 20, 0);
  if (crc.Update(dir.data(), uint32_t(dir.size()), 0) != stored_crc && !Passes(*this, kNoticeDirectoryCrc)) {
    return false;
  }
  const int32_t n = int32_t(Load32(dir.data() + 24));
  if (n < 0) return false;
  const uint64_t x = uint64_t(n) * 32;
  const uint8_t* body = dir.data() + kGca3HeadSize;
  const size_t body_length = dir.size() - kGca3HeadSize;
  std::vector<uint8_t> decoded;
  const uint8_t* recs = body;
  size_t total = body_length;
  if (flags & 0x1) {
    if (body_length < 8) return false;
    const uint64_t u = Load32(body);
    if (uint64_t(n) * kMinGca3Entry > u) return false;
    MemoryFrameSource src(body + 8, body_length - 8);
    if (!DecodeFrames(*this, src, body_length - 8, u, file_size, &decoded)) return false;
    // The coded form is not needed any more.
    std::vector<uint8_t>().swap(dir);
    recs = decoded.data();
    total = decoded.size();
  }
  if (uint64_t(n) * kMinGca3Entry > total) return false;
  const uint8_t* table = recs + x;
  const size_t table_length = total - size_t(x);

  names.reserve(size_t(n));
  records.resize(size_t(n));
  size_t p = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (table_length - p < 2) return false;
    const size_t length = size_t(table[p]) | (size_t(table[p + 1]) << 8);
    p += 2;
    if (length > table_length - p) return false;
    names.emplace_back(reinterpret_cast<const char*>(table + p), length);
    p += length;
    MapRecord(recs + size_t(i) * 32, &records[size_t(i)]);
  }
  count = n;
  return true;
}

bool GcaArchive::State::ComputeOffsets() {
  offsets.assign(size_t(count) + 1, 0);
  for (int32_t i = 0; i < count; ++i) {
    const uint64_t packed = records[size_t(i)].PackedSize;
    if (packed > kInvalidPosition - offsets[size_t(i)]) return false;
    offsets[size_t(i) + 1] = offsets[size_t(i)] + packed;
  }
  return true;
}

bool GcaArchive::State::WriteDirectory(ByteStream& out, uint64_t p0) {
  const uint64_t p1 = out.Tell();
  if (p1 == kInvalidPosition || p1 < p0) throw GflException(kGflShortWrite);
  uint8_t front[kFrontRecordSize] = {'G', 'C', 'A', 'X'};
  Store64(front + 8, p1 - p0);
  if (!out.Seek(p0) || out.Write(front, sizeof(front)) != sizeof(front) || !out.Seek(p1)) {
    throw GflException(kGflShortWrite);
  }

  const size_t n = records.size();
  std::vector<uint8_t> plain(n * 32);
  for (size_t i = 0; i < n; ++i) StoreRecord(&plain[i * 32], records[i]);
  for (const std::string& name : names) {
    if (name.size() > 0xFFFF) return false;
    plain.push_back(uint8_t(name.size()));
    plain.push_back(uint8_t(name.size() >> 8));
    plain.insert(plain.end(), name.begin(), name.end());
  }
  if (plain.size() + kGca3HeadSize > kMaxDirectoryBytes) return false;

  std::vector<uint8_t> body;
  bool compressed = false;
  if (self->CompressDirectory) {
    if (!EnsureBuffers()) return false;
    scrambler_active = false;
    std::vector<uint8_t> coded(8);
    Store64(coded.data(), plain.size());
    std::vector<uint8_t> frame(kFrameBufferSize);
    // Records and names are two frame sequences of their own.
    const size_t parts[2][2] = {{0, n * 32}, {n * 32, plain.size()}};
    for (const auto& part : parts) {
      for (size_t at = part[0]; at < part[1];) {
        const uint32_t piece = uint32_t(std::min<size_t>(part[1] - at, kBlockSize));
        const uint32_t length = codec->CompressBlock(plain.data() + at, piece, frame.data());
        coded.insert(coded.end(), frame.begin(), frame.begin() + length);
        at += piece;
      }
    }
    if (coded.size() < plain.size()) {
      body.swap(coded);
      compressed = true;
    } else {
      // Not shorter: the option is cleared and the plain body written.
      self->CompressDirectory = false;
    }
  }
  if (!compressed) body.swap(plain);

  uint8_t head[kGca3HeadSize] = {'G', 'C', 'A', '3'};
  uint32_t flags = 0;
  if (compressed) flags |= 0x1;
  if (self->ScrambleDirectory) flags |= 0x2;
  if (self->CompressData) flags |= 0x10;
  if (self->ScrambleData) flags |= 0x20;
  if (self->Solid) flags |= 0x100;
  Store32(head + 4, flags);
  Store64(head + 8, kGca3HeadSize + body.size());
  Store64(head + 24, uint64_t(int64_t(int32_t(n))));
  uint32_t c = crc.Update(head, kGca3HeadSize, 0);
  c = crc.Update(body.data(), uint32_t(body.size()), c);
  Store32(head + 20, c);
  if (self->ScrambleDirectory) {
    cipher.SetKey(DirectoryKey(*this));
    cipher.Encrypt(head + 16, 16);
    cipher.Encrypt(body.data(), int32_t(body.size()));
  }
  if (out.Write(head, kGca3HeadSize) != kGca3HeadSize) throw GflException(kGflShortWrite);
  for (size_t at = 0; at < body.size();) {
    const uint32_t piece = uint32_t(std::min<size_t>(body.size() - at, kBlockSize));
    if (out.Write(body.data() + at, piece) != piece) throw GflException(kGflShortWrite);
    at += piece;
  }
  return true;
}

}  // namespace gca
