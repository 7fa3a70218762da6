// Reading side of GcaArchive: decoding an entry, the index of solid archives, and
// extracting entries below the output directory.
#include <algorithm>
#include <atomic>
#include <optional>

#include "archive/gca_archive_state.h"
#include "codec/gfl_exception.h"
#include "codec/threads.h"

namespace gca {
namespace {

// Splits a name at its separators. With double_byte, the trail byte of a double-byte
// character never separates; without it every backslash does.
std::vector<std::string> Components(const std::string& name, bool double_byte) {
  std::vector<std::string> parts;
  std::string rest = name;
  for (;;) {
    const int32_t k = double_byte ? LastIndexOf(rest, '\\') : int32_t(int64_t(rest.rfind('\\')));
    if (k < 0) {
      parts.push_back(rest);
      break;
    }
    parts.push_back(rest.substr(size_t(k) + 1));
    rest.resize(size_t(k));
  }
  return parts;
}

// "." and "..", and names of dots and spaces only, which Windows shortens to them.
bool IsDotsOnly(const std::string& part) {
  if (part.empty()) return false;
  bool dot = false;
  for (char c : part) {
    if (c == '.') {
      dot = true;
    } else if (c != ' ') {
      return false;
    }
  }
  return dot;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// Names that Windows opens as devices in any directory: CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, COM1..COM9 and LPT1..LPT9 (with superscript digits 1, 2, 3 too), whatever
// the case, with or without an extension, with trailing spaces before it.
bool IsDeviceName(const std::string& part) {
  std::string base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = Upper(c);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$") {
    return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
    const uint8_t d = uint8_t(base[3]);
    return (d >= '1' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
  }
  return false;
}

}  // namespace

// True when an entry name stays below the output directory whichever way the system
// reads its bytes, names no device, and holds no control character.
bool IsSafeEntryName(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') return false;
  if (name.find(':') != std::string::npos || name.find('/') != std::string::npos) return false;
  for (char c : name) {
    if (uint8_t(c) < 0x20 || c == 0x7F) return false;
  }
  for (const std::string& part : Components(name, true)) {
    if (part.empty() || IsDotsOnly(part) || IsDeviceName(part)) return false;
  }
  // Read with single-byte characters only, the same bytes must not climb out either.
  for (const std::string& part : Components(name, false)) {
    if (IsDotsOnly(part) || IsDeviceName(part)) return false;
  }
  return true;
}

bool GcaArchive::State::DecodeEntry(ByteStream& out, int32_t index, const std::string& text) {
  if (!DecodeEntryData(out, index)) return false;
  const EntryRecord& e = records[size_t(index)];
  if (e.UnpackedSize != 0 && self->EntryCrc && running_crc != e.Crc) self->Notify(kNoticeEntryCrc, text);
  return true;
}

bool GcaArchive::State::DecodeEntryData(ByteStream& out, int32_t index) {
  if (!directory_read || !file || index < 0 || index >= count) return false;
  const EntryRecord& e = records[size_t(index)];
  progress_total = e.UnpackedSize;
  progress_done = 0;
  running_crc = 0;
  if (e.UnpackedSize == 0) return true;
  if (!EnsureBuffers()) return false;
  ArchiveFrameSource source(*this, *file);

  BlockPool* pool = !self->Solid && self->CompressData ? Pool() : nullptr;
  if (pool) {
    DecodePooledEntry(out, index, *pool, source);
  } else if (!self->Solid) {
    DecodePlainEntry(out, index, source);
  } else if (!DecodeSolidEntry(out, index, source)) {
    return false;
  }
  scrambler_active = false;
  return true;
}

// With workers, frames are cut in archive order, this entry's and those of the entries
// behind it, and decoded ahead; an entry extracted next finds its first frames decoded.
// Any other entry starts the read-ahead again at its own frames.
void GcaArchive::State::DecodePooledEntry(ByteStream& out, int32_t index, BlockPool& pool, FrameSource& source) {
  loaded_block = -1;
  if (!(ahead_valid && !pool.Empty() && pool.Peek().tag == uint64_t(index))) {
    DropReadAhead();
    ahead_valid = true;
    ahead_entry = index - 1;
  }
  try {
    uint64_t left = records[size_t(index)].UnpackedSize;
    while (left != 0) {
      FillAhead(source);
      if (pool.Empty()) throw GflException(kGflDataError);
      BlockPool::Slot& slot = pool.Oldest();
      if (slot.tag != uint64_t(index)) throw GflException(kGflDataError);
      // A failure of this entry's frame, in its turn: as ReadFrame raises it.
      if (slot.failed) throw GflException(slot.code, slot.message);
      const uint32_t n = slot.output_length;
      // No bytes (unknown frame) or more than the entry holds: damaged data.
      if (n == 0 || n > slot.capacity) throw GflException(kGflDataError);
      WriteOut(out, slot.output, n);
      pool.Pop();
      left -= n;
      progress_done += n;
      ReportProgress();
    }
    FillAhead(source);
  } catch (...) {
    DropReadAhead();
    throw;
  }
}

// An entry of an archive that is not solid, on this thread: its frames (or its stored
// bytes) from its own offset, keyed by its name.
void GcaArchive::State::DecodePlainEntry(ByteStream& out, int32_t index, FrameSource& source) {
  uint8_t* block = BlockBuffer();
  const uint64_t base = uint64_t(int64_t(start_offset)) + data_start;
  loaded_block = -1;
  DropReadAhead();
  if (!file->Seek(base + offsets[size_t(index)])) throw GflException(kGflDataError);
  scrambler_active = self->ScrambleData;
  if (scrambler_active) cipher.SetKey(PassPhrase() + names[size_t(index)]);
  uint64_t left = records[size_t(index)].UnpackedSize;
  while (left != 0) {
    const uint32_t capacity = left < kBlockSize ? uint32_t(left) : kBlockSize;
    uint32_t n = capacity;
    if (self->CompressData) {
      codec->SetProgressBase(progress_done);
      n = codec->ReadFrame(source, block, capacity);
      // No bytes (unknown frame) or more than the entry holds: damaged data.
      if (n == 0 || n > capacity) throw GflException(kGflDataError);
    } else {
      ReadExactly(*file, block, n);
    }
    WriteOut(out, block, n);
    left -= n;
    progress_done += n;
    ReportProgress();
  }
}

// An entry of a solid archive: from the block buffer when it still holds the entry's
// first block, otherwise from that block's position with the keystream restored there.
// False when the index of the blocks is declined.
bool GcaArchive::State::DecodeSolidEntry(ByteStream& out, int32_t index, FrameSource& source) {
  uint8_t* block = BlockBuffer();
  const EntryRecord& e = records[size_t(index)];
  DropReadAhead();
  if (!solid_index_built && !BuildSolidIndex()) return false;
  const int32_t number = snapshot_number[size_t(index)];
  const uint32_t offset = block_offset[size_t(index)];
  int32_t current = number;
  uint64_t skip = 0;
  if (loaded_block >= 0 && loaded_block == number && offset <= loaded_length) {
    // The block buffer still holds this entry's first block, and the file and the
    // keystream stand right behind it.
    solid_position = offset;
    solid_fill = loaded_length - offset;
  } else {
    loaded_block = -1;
    solid_fill = 0;
    if (!file->Seek(block_position[size_t(index)])) throw GflException(kGflDataError);
    if (self->ScrambleData) RestoreCipher(block_position[size_t(index)]);
    current = number - 1;
    skip = offset;
    progress_total += offset;
  }
  scrambler_active = self->ScrambleData;
  // With workers, exactly the frames this entry still needs are cut and decoded ahead,
  // so the file and the keystream end right behind the last block, as without them.
  std::optional<PooledFrameReader> ahead;
  if (BlockPool* pool = Pool()) {
    const uint64_t wanted = skip + e.UnpackedSize;
    ahead.emplace(*pool, source, wanted - std::min<uint64_t>(solid_fill, wanted), false);
  }
  // Pass over the bytes of earlier entries in the block, then deliver this one.
  for (int pass = 0; pass < 2; ++pass) {
    uint64_t wanted = pass == 0 ? skip : e.UnpackedSize;
    while (wanted != 0) {
      if (solid_fill == 0) {
        codec->SetProgressBase(progress_done);
        loaded_block = -1;
        const uint32_t n = ahead ? ahead->ReadFrame(block) : codec->ReadFrame(source, block, kBlockSize);
        if (n == 0 || n > kBlockSize) throw GflException(kGflDataError);
        current += 1;
        loaded_block = current;
        loaded_length = n;
        solid_fill = n;
        solid_position = 0;
        progress_done += n;
        ReportProgress();
      }
      const uint32_t take = uint32_t(std::min<uint64_t>(solid_fill, wanted));
      if (pass == 1) WriteOut(out, block + solid_position, take);
      solid_position += take;
      solid_fill -= take;
      wanted -= take;
    }
  }
  return true;
}

void GcaArchive::State::RestoreCipher(uint64_t position) {
  // The last snapshot taken at or before the position, then the keystream run over the
  // stored bytes in between (less than the snapshot spacing plus one frame).
  const auto after = std::upper_bound(snapshot_position.begin(), snapshot_position.end(), position);
  if (after == snapshot_position.begin()) throw GflException(kGflDataError);
  const size_t k = size_t(after - snapshot_position.begin()) - 1;
  cipher = snapshots[k];
  uint64_t n = position - snapshot_position[k];
  if (scratch.empty()) scratch.resize(65536);
  while (n != 0) {
    const uint32_t piece = n < scratch.size() ? uint32_t(n) : uint32_t(scratch.size());
    cipher.Decrypt(scratch.data(), int32_t(piece));
    n -= piece;
  }
}

void GcaArchive::State::FillAhead(FrameSource& source) {
  const uint64_t base = uint64_t(int64_t(start_offset)) + data_start;
  scrambler_active = self->ScrambleData;
  while (!ahead_stopped && !pool->Full()) {
    BlockPool::Slot& slot = pool->Next();
    try {
      if (ahead_left == 0) {
        // The next entry with data: its frames start at its own offset, keyed by its name.
        int32_t j = ahead_entry + 1;
        while (j < count && records[size_t(j)].UnpackedSize == 0) ++j;
        if (j >= count) {
          ahead_stopped = true;
          return;
        }
        ahead_entry = j;
        ahead_left = records[size_t(j)].UnpackedSize;
        slot.tag = uint64_t(j);
        if (!file->Seek(base + offsets[size_t(j)])) throw GflException(kGflDataError);
        if (scrambler_active) cipher.SetKey(PassPhrase() + names[size_t(j)]);
      }
      slot.tag = uint64_t(ahead_entry);
      const uint32_t capacity = ahead_left < kBlockSize ? uint32_t(ahead_left) : kBlockSize;
      const uint32_t n = pool->CutFrame(source, slot, capacity);
      ahead_left -= n;
      if (n == 0) ahead_stopped = true;  // a frame of nothing is damage, reported in its turn
      pool->Submit(BlockPool::Work::kDecode);
    } catch (const GflException& e) {
      // Reported when this entry's turn comes; nothing is read behind it.
      slot.failed = true;
      slot.code = e.Code;
      slot.message = e.Message;
      ahead_stopped = true;
      pool->Submit(BlockPool::Work::kNone);
    }
  }
}

bool GcaArchive::State::BuildSolidIndex() {
  if (self->Notify(kNoticeSolidIndex, std::string()) != 0) return false;
  const uint64_t base = uint64_t(int64_t(start_offset)) + data_start;
  if (!file->Seek(base)) throw GflException(kGflDataError);
  const uint64_t file_size = file->Size();
  // Every frame takes at least its 8-byte head, so the file's length bounds the blocks.
  const uint64_t max_blocks = file_size > base ? (file_size - base) / 8 : 0;
  loaded_block = -1;
  solid_fill = 0;
  solid_position = 0;
  int32_t blocks = 0;
  if (self->ScrambleData) cipher.SetKey(PassPhrase());
  snapshots.clear();
  snapshot_position.clear();
  block_position.assign(size_t(count), 0);
  snapshot_number.assign(size_t(count), -1);
  block_offset.assign(size_t(count), 0);
  ArchiveFrameSource source(*this, *file);
  uint64_t position = base;
  auto open_block = [&]() {
    if (uint64_t(blocks) >= max_blocks || blocks == INT32_MAX) throw GflException(kGflDataError);
    position = file->Tell();
    if (position == kInvalidPosition) throw GflException(kGflDataError);
    // A keystream snapshot at most every kSnapshotSpacing stored bytes: the snapshots
    // take a small fraction of the file's size however small its frames are.
    if (self->ScrambleData &&
        (snapshot_position.empty() || position - snapshot_position.back() >= kSnapshotSpacing)) {
      snapshots.push_back(cipher);
      snapshot_position.push_back(position);
    }
    const uint32_t n = codec->SkipFrame(source);
    // Blocks may be shorter than 1 MiB anywhere in the stream; a block of nothing is
    // damage.
    if (n == 0 || n > kBlockSize) throw GflException(kGflDataError);
    solid_fill = n;
    solid_position = 0;
    blocks += 1;
  };
  scrambler_active = self->ScrambleData;
  for (int32_t i = 0; i < count; ++i) {
    uint64_t r = records[size_t(i)].UnpackedSize;
    if (r > 0 && solid_fill == 0) open_block();
    block_position[size_t(i)] = position;
    snapshot_number[size_t(i)] = blocks - 1;
    block_offset[size_t(i)] = solid_position;
    while (r > 0) {
      if (solid_fill == 0) open_block();
      const uint32_t d = uint32_t(std::min<uint64_t>(solid_fill, r));
      solid_fill -= d;
      solid_position += d;
      r -= d;
    }
  }
  scrambler_active = false;
  solid_fill = 0;
  solid_index_built = true;
  return true;
}

// Makes sure every directory between the output directory and the entry's file part
// is a real directory, creating the missing ones; a link or anything else on the way
// fails with the unsafe-target notice. The output directory itself is the caller's.
bool GcaArchive::State::PrepareParents(const std::string& name) {
  std::vector<std::string> parts = Components(name, true);
  std::string dir = output_directory;
  if (!dir.empty() && made_parents.count(dir) == 0) {
    // The output directory is made as a tree of its own when it is missing.
    if (!CreateDirectoryTree(dir)) {
      self->Notify(kNoticeCannotCreateDirectory, dir);
      return false;
    }
    made_parents.insert(dir);
  }
  for (size_t i = parts.size(); i-- > 1;) {
    dir = JoinPath(dir, parts[i]);
    if (made_parents.count(dir) != 0) continue;
    const std::string full = MakeAbsolutePath(dir);
    os::PathKind kind = os::Probe(full);
    if (kind == os::PathKind::kMissing) {
      os::MakeDirectory(full);
      kind = os::Probe(full);
    }
    if (kind != os::PathKind::kDirectory) {
      if (kind == os::PathKind::kMissing) {
        self->Notify(kNoticeCannotCreateDirectory, dir);
      } else {
        self->Notify(kNoticeUnsafeTarget, dir);
      }
      return false;
    }
    made_parents.insert(dir);
  }
  return true;
}

// A directory entry: the directory made where nothing is, or kept where one is; a link
// or anything else there fails with the unsafe-target notice.
bool GcaArchive::State::ExtractDirectory(const std::string& target, const std::string& full, os::PathKind kind,
                                         uint32_t attributes) {
  self->Notify(kNoticeExtractStart, target);
  if (kind == os::PathKind::kLink || kind == os::PathKind::kOther) {
    self->Notify(kNoticeUnsafeTarget, target);
    return false;
  }
  if (kind == os::PathKind::kDirectory || (kind == os::PathKind::kMissing && os::MakeDirectory(full) &&
                                           os::Probe(full) == os::PathKind::kDirectory)) {
    made_parents.insert(target);
    os::SetAttributes(full, attributes);
    self->Notify(kNoticeExtractDone, target);
    return true;
  }
  self->Notify(kNoticeCannotCreateDirectory, target);
  return false;
}

bool GcaArchive::State::ExtractEntry(int32_t index) {
  if (!directory_read && !self->ReadDirectory()) return false;
  if (index < 0 || index >= count) return false;
  const std::string& name = names[size_t(index)];
  const EntryRecord e = records[size_t(index)];
  if (!IsSafeEntryName(name)) {
    self->Notify(kNoticeUnsafeName, name);
    return false;
  }
  const std::string target = JoinPath(output_directory, name);
  if (!PrepareParents(name)) return false;
  const std::string full = MakeAbsolutePath(target);
  const os::PathKind kind = os::Probe(full);

  if (e.Attributes & kAttrDirectory) return ExtractDirectory(target, full, kind, e.Attributes);

  // A FIFO, device or socket is never opened; a directory is not replaced.
  if (kind == os::PathKind::kOther || kind == os::PathKind::kDirectory) {
    self->Notify(kNoticeUnsafeTarget, target);
    return false;
  }
  // A link at the target counts as an existing file: it is kept, or replaced by the
  // extracted file, never written through.
  const bool existing = kind == os::PathKind::kFile || kind == os::PathKind::kLink;
  if (existing) {
    const int32_t answer = self->Notify(kNoticeTargetExists, target);
    if (answer == 1 || answer == 3) return false;
    if (answer == 0 && kind == os::PathKind::kFile) os::SetAttributes(full, kAttrNormal);
  }
  self->Notify(kNoticeExtractStart, target);
  // Where a file is, the entry is decoded into a new file beside it and renamed over it
  // only when it decoded completely (with a matching CRC), so a damaged entry never
  // costs the old file. Where nothing is, the entry is decoded into a new file under
  // its own name, which fails when anything (a link too) has appeared there since, and
  // which is removed again when the entry fails: nothing to lose, and per file a
  // rename and a name search fewer.
  GcaFile out;
  std::string temp;
  bool in_place = false;
  if (!existing) {
    in_place = out.CreateNew(target);
    if (!in_place && os::Probe(full) == os::PathKind::kMissing) return false;
  }
  if (!in_place && !CreateTempBeside(target, &out, &temp)) return false;
  const std::string written = in_place ? full : MakeAbsolutePath(temp);
  bool ok = false;
  try {
    ok = self->DecodeEntry(out, index, target);
  } catch (...) {
    ok = false;
  }
  if (ok && existing && self->EntryCrc && e.UnpackedSize != 0 && running_crc != e.Crc) ok = false;
  if (ok) {
    out.SetWriteTime(e.WriteTime);
    out.Close();
    if (ok && !in_place) ok = os::RenameOver(written, full);
  }
  if (!ok) {
    out.Close();
    os::RemoveFile(written);
    return false;
  }
  // A file just created has the attributes a new file gets; only others are set.
  if (!in_place || e.Attributes != os::kNewFileAttributes) os::SetAttributes(full, e.Attributes);
  self->Notify(kNoticeExtractDone, target);
  return true;
}

namespace {

// The first entry that failed the data check, raised out of the pass.
struct CheckFailure {
  int32_t index;
};

// One pass over the data area of an archive that is not solid. Frames are cut here in
// archive order (each entry from its own offset, keyed by its name) and decoded on the
// pool; the blocks come back in the same order and add to their entry's CRC. Copied
// entries are read as stored and their CRC compared at once; a failure there waits
// for the blocks of the entries before it, so the first failure in archive order wins.
class DataCheck {
 public:
  DataCheck(GcaArchive::State& s, const std::vector<BuiltEntry>& built)
      : s_(s), built_(built), pool_(s.self->CompressData ? s.Pool() : nullptr), source_(s, *s.file) {}
  DataCheck(const DataCheck&) = delete;
  DataCheck& operator=(const DataCheck&) = delete;
  ~DataCheck() {
    if (pool_) pool_->Drain();
  }

  void Run() {
    if (RunStoredInTwo()) return;
    const uint64_t base = uint64_t(int64_t(s_.start_offset)) + s_.data_start;
    uint64_t position = kInvalidPosition;  // where the file stands, once known
    for (int32_t i = 0; i < s_.count; ++i) {
      const EntryRecord& e = s_.records[size_t(i)];
      const bool copied = !built_.empty() && built_[size_t(i)].Copied;
      try {
        if (e.PackedSize != 0 || e.UnpackedSize != 0 || copied) {
          const uint64_t start = base + s_.offsets[size_t(i)];
          if (position != start && !s_.file->Seek(start)) throw CheckFailure{i};
          if (copied) {
            CheckStored(i);
          } else {
            CheckCoded(i);
          }
          // The entry's bytes end exactly where the next entry's begin.
          position = s_.file->Tell();
          if (position != base + s_.offsets[size_t(i) + 1]) throw CheckFailure{i};
        }
      } catch (const GflException&) {
        Finish();
        throw CheckFailure{i};
      } catch (const CheckFailure& failure) {
        if (failure.index == i) Finish();
        throw;
      }
    }
    Finish();
  }

 private:
  // Stored bytes as they are (not descrambled): their CRC against the copied one.
  void CheckStored(int32_t i) {
    s_.scrambler_active = false;
    const EntryRecord& e = s_.records[size_t(i)];
    uint8_t* block = s_.RawBuffer();
    uint32_t crc = 0;
    for (uint64_t left = e.PackedSize; left != 0;) {
      const uint32_t piece = left < kBlockSize ? uint32_t(left) : kBlockSize;
      s_.ReadExactly(*s_.file, block, piece);
      crc = s_.crc.Update(block, piece, crc);
      left -= piece;
      if (!s_.self->CompressData) Progress(piece);
    }
    if (s_.self->CompressData) Progress(e.UnpackedSize);
    if (crc != built_[size_t(i)].StoredCrc) throw CheckFailure{i};
  }

  // A stored, unscrambled archive on more than one thread: every entry is its bytes, so
  // the entries are cut into two runs of about equal size and the second is checked on
  // a thread of its own, through a handle of its own. False when this does not apply
  // (the check then runs in order here).
  bool RunStoredInTwo() {
    if (s_.threads < 2 || s_.self->CompressData || s_.self->ScrambleData || s_.count < 2) return false;
    const std::string path = s_.file->Path();
    if (path.empty()) return false;
    uint64_t total = 0;
    for (int32_t i = 0; i < s_.count; ++i) total += s_.records[size_t(i)].PackedSize;
    int32_t split = 0;
    for (uint64_t before = 0; split < s_.count && before < total / 2; ++split) {
      before += s_.records[size_t(split)].PackedSize;
    }
    GcaFile second;
    if (split >= s_.count || !second.Open(path, 0)) return false;
    std::atomic<uint64_t> second_done{0};
    int32_t second_failed = -1;
    Thread worker;
    uint8_t* second_buffer = s_.RawBuffer();
    if (!worker.Start([&] { second_failed = CheckStoredRun(second, second_buffer, split, s_.count, &second_done); })) {
      return false;
    }
    std::atomic<uint64_t> first_done{0};
    const int32_t first_failed = CheckStoredRun(*s_.file, s_.BlockBuffer(), 0, split, &first_done, &second_done);
    worker.Join();
    s_.progress_done = first_done + second_done;
    s_.ReportProgress();
    if (first_failed >= 0) throw CheckFailure{first_failed};
    if (second_failed >= 0) throw CheckFailure{second_failed};
    return true;
  }

  // Entries [first, last) of a stored, unscrambled archive read through `file` into
  // `buffer`, each against its CRC (a copied entry against the CRC of the bytes it was
  // copied from); the first that fails, or -1. Bytes checked are counted in *done; the
  // run that also reports progress (other is set) reports both runs' counts. Throws
  // nothing, so that it can run on a thread of its own.
  int32_t CheckStoredRun(GcaFile& file, uint8_t* buffer, int32_t first, int32_t last, std::atomic<uint64_t>* done,
                         const std::atomic<uint64_t>* other = nullptr) const {
    const uint64_t base = uint64_t(int64_t(s_.start_offset)) + s_.data_start;
    uint64_t position = kInvalidPosition;
    for (int32_t i = first; i < last; ++i) {
      const EntryRecord& e = s_.records[size_t(i)];
      const bool copied = !built_.empty() && built_[size_t(i)].Copied;
      if (e.PackedSize == 0 && e.UnpackedSize == 0 && !copied) continue;
      if (!copied && e.PackedSize != e.UnpackedSize) return i;
      const uint64_t start = base + s_.offsets[size_t(i)];
      if (position != start && !file.Seek(start)) return i;
      uint32_t crc = 0;
      for (uint64_t left = e.PackedSize; left != 0;) {
        const uint32_t piece = left < kBlockSize ? uint32_t(left) : kBlockSize;
        if (file.Read(buffer, piece) != piece) return i;
        crc = s_.crc.Update(buffer, piece, crc);
        left -= piece;
        *done += piece;
        if (other) {
          s_.progress_done = *done + *other;
          s_.ReportProgress();
        }
      }
      // The entry's bytes end exactly where the next entry's begin.
      position = start + e.PackedSize;
      if (position != base + s_.offsets[size_t(i) + 1]) return i;
      if (crc != (copied ? built_[size_t(i)].StoredCrc : e.Crc)) return i;
    }
    return -1;
  }

  // Frames (or stored bytes) of an entry, cut in order; with a pool they are decoded on
  // it and taken back in their turn, otherwise decoded here.
  void CheckCoded(int32_t i) {
    const EntryRecord& e = s_.records[size_t(i)];
    if (!s_.self->CompressData && e.PackedSize != e.UnpackedSize) throw CheckFailure{i};
    s_.scrambler_active = s_.self->ScrambleData;
    if (s_.scrambler_active) s_.cipher.SetKey(s_.PassPhrase() + s_.names[size_t(i)]);
    uint8_t* block = s_.BlockBuffer();
    uint32_t crc = 0;
    for (uint64_t left = e.UnpackedSize; left != 0;) {
      const uint32_t capacity = left < kBlockSize ? uint32_t(left) : kBlockSize;
      uint32_t n = capacity;
      if (pool_) {
        while (pool_->Full()) TakeOldest();
        BlockPool::Slot& slot = pool_->Next();
        n = pool_->CutFrame(source_, slot, capacity);
        if (n == 0) throw CheckFailure{i};
        slot.tag = uint64_t(i);
        pool_->Submit(BlockPool::Work::kDecode);
      } else {
        if (s_.self->CompressData) {
          n = s_.codec->ReadFrame(source_, block, capacity);
          if (n == 0 || n > capacity) throw CheckFailure{i};
        } else {
          s_.ReadExactly(*s_.file, block, n);
        }
        crc = s_.crc.Update(block, n, crc);
        Progress(n);
      }
      left -= n;
    }
    s_.scrambler_active = false;
    if (!pool_ && crc != e.Crc) throw CheckFailure{i};
  }

  // The oldest decoded block: added to its entry's CRC, which is compared once the
  // entry is complete.
  void TakeOldest() {
    BlockPool::Slot& slot = pool_->Oldest();
    const int32_t j = int32_t(slot.tag);
    if (slot.failed) throw CheckFailure{j};
    if (j != entry_) {
      entry_ = j;
      crc_ = 0;
      left_ = s_.records[size_t(j)].UnpackedSize;
    }
    const uint32_t n = slot.output_length;
    if (n == 0 || n > slot.capacity || n > left_) throw CheckFailure{j};
    crc_ = s_.crc.Update(slot.output, n, crc_);
    left_ -= n;
    pool_->Pop();
    Progress(n);
    if (left_ == 0 && crc_ != s_.records[size_t(j)].Crc) throw CheckFailure{j};
  }

  // Every block still on the pool, in order.
  void Finish() {
    if (!pool_) return;
    while (!pool_->Empty()) TakeOldest();
  }

  void Progress(uint64_t n) {
    s_.progress_done += n;
    s_.ReportProgress();
  }

  GcaArchive::State& s_;
  const std::vector<BuiltEntry>& built_;
  BlockPool* pool_;
  ArchiveFrameSource source_;
  int32_t entry_ = -1;
  uint32_t crc_ = 0;
  uint64_t left_ = 0;
};

}  // namespace

bool GcaArchive::State::CheckData(const std::vector<BuiltEntry>& built, int32_t* failed) {
  *failed = -1;
  if (!directory_read || !file) return false;
  if (!built.empty() && built.size() != size_t(count)) return false;
  if (!EnsureBuffers()) return false;
  DropReadAhead();
  loaded_block = -1;
  progress_total = 0;
  progress_done = 0;
  for (const EntryRecord& e : records) {
    progress_total += e.UnpackedSize;  // only shown: wraps harmlessly on absurd sizes
  }
  try {
    if (!self->Solid) {
      DataCheck check(*this, built);
      check.Run();
      return true;
    }
    // Solid: the one frame sequence decoded once, in order, each entry's part checked.
    for (size_t i = 0; i < built.size(); ++i) {
      if (built[i].Copied) throw CheckFailure{int32_t(i)};
    }
    const uint64_t base = uint64_t(int64_t(start_offset)) + data_start;
    if (!file->Seek(base)) return false;
    scrambler_active = self->ScrambleData;
    if (scrambler_active) cipher.SetKey(PassPhrase());
    ArchiveFrameSource source(*this, *file);
    uint64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
      const uint64_t size = records[size_t(i)].UnpackedSize;
      if (size > kInvalidPosition - total) throw CheckFailure{i};
      total += size;
    }
    std::optional<PooledFrameReader> ahead;
    if (BlockPool* p = Pool()) ahead.emplace(*p, source, total, false);
    uint8_t* block = BlockBuffer();
    uint32_t fill = 0;
    uint32_t at = 0;
    for (int32_t i = 0; i < count; ++i) {
      uint32_t entry_crc = 0;
      try {
        for (uint64_t left = records[size_t(i)].UnpackedSize; left != 0;) {
          if (fill == 0) {
            const uint32_t n = ahead ? ahead->ReadFrame(block) : codec->ReadFrame(source, block, kBlockSize);
            if (n == 0 || n > kBlockSize) throw CheckFailure{i};
            fill = n;
            at = 0;
            progress_done += n;
            ReportProgress();
          }
          const uint32_t take = uint32_t(std::min<uint64_t>(fill, left));
          entry_crc = crc.Update(block + at, take, entry_crc);
          at += take;
          fill -= take;
          left -= take;
        }
      } catch (const GflException&) {
        throw CheckFailure{i};
      }
      if (records[size_t(i)].UnpackedSize != 0 && entry_crc != records[size_t(i)].Crc) throw CheckFailure{i};
    }
    scrambler_active = false;
    return true;
  } catch (const CheckFailure& failure) {
    scrambler_active = false;
    *failed = failure.index;
    return false;
  }
}

}  // namespace gca
