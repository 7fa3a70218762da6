// Reading side of GcaArchive: decoding an entry, the index of solid archives, and
// extracting entries below the output directory.
#include <algorithm>
#include <optional>

#include "archive/gca_archive_state.h"
#include "codec/gfl_exception.h"

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

}  // namespace

// True when an entry name stays below the output directory whichever way the system
// reads its bytes.
bool IsSafeEntryName(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') return false;
  if (name.find(':') != std::string::npos || name.find('/') != std::string::npos) return false;
  if (name.find('\0') != std::string::npos) return false;
  for (const std::string& part : Components(name, true)) {
    if (part.empty() || IsDotsOnly(part)) return false;
  }
  // Read with single-byte characters only, the same bytes must not climb out either.
  for (const std::string& part : Components(name, false)) {
    if (IsDotsOnly(part)) return false;
  }
  return true;
}

bool GcaArchive::State::DecodeEntry(ByteStream& out, int32_t index, const std::string& text) {
  if (!directory_read || !file || index < 0 || index >= count) return false;
  const EntryRecord& e = records[size_t(index)];
  progress_total = e.UnpackedSize;
  progress_done = 0;
  running_crc = 0;
  if (e.UnpackedSize == 0) return true;
  if (!EnsureBuffers()) return false;
  uint8_t* block = BlockBuffer();
  const uint64_t base = uint64_t(int64_t(start_offset)) + data_start;
  ArchiveFrameSource source(*this, *file);

  BlockPool* pool = !self->Solid && self->CompressData ? Pool() : nullptr;
  if (pool) {
    // With workers, frames are cut in archive order, this entry's and those of the
    // entries behind it, and decoded ahead; an entry extracted next finds its first
    // frames decoded. Any other entry starts the read-ahead again at its own frames.
    loaded_block = -1;
    if (!(ahead_valid && !pool->Empty() && pool->Peek().tag == uint64_t(index))) {
      DropReadAhead();
      ahead_valid = true;
      ahead_entry = index - 1;
    }
    try {
      uint64_t left = e.UnpackedSize;
      while (left != 0) {
        FillAhead(source);
        if (pool->Empty()) throw GflException(kGflDataError);
        BlockPool::Slot& slot = pool->Oldest();
        if (slot.tag != uint64_t(index)) throw GflException(kGflDataError);
        // A failure of this entry's frame, in its turn: as ReadFrame raises it.
        if (slot.failed) throw GflException(slot.code, slot.message);
        const uint32_t n = slot.output_length;
        // No bytes (unknown frame) or more than the entry holds: damaged data.
        if (n == 0 || n > slot.capacity) throw GflException(kGflDataError);
        WriteOut(out, slot.output, n);
        pool->Pop();
        left -= n;
        progress_done += n;
        ReportProgress();
      }
      FillAhead(source);
    } catch (...) {
      DropReadAhead();
      throw;
    }
  } else if (!self->Solid) {
    loaded_block = -1;
    DropReadAhead();
    if (!file->Seek(base + offsets[size_t(index)])) throw GflException(kGflDataError);
    scrambler_active = self->ScrambleData;
    if (scrambler_active) cipher.SetKey(PassPhrase() + names[size_t(index)]);
    uint64_t left = e.UnpackedSize;
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
  } else {
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
      if (self->ScrambleData) cipher = snapshots[size_t(number)];
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
  }
  scrambler_active = false;
  if (self->EntryCrc && running_crc != e.Crc) self->Notify(kNoticeEntryCrc, text);
  return true;
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
  loaded_block = -1;
  solid_fill = 0;
  solid_position = 0;
  int32_t blocks = 0;
  if (self->ScrambleData) cipher.SetKey(PassPhrase());
  snapshots.clear();
  block_position.assign(size_t(count), 0);
  snapshot_number.assign(size_t(count), -1);
  block_offset.assign(size_t(count), 0);
  ArchiveFrameSource source(*this, *file);
  uint64_t position = base;
  auto open_block = [&]() {
    if (uint32_t(blocks) >= kMaxSolidBlocks) throw GflException(kGflDataError);
    if (self->ScrambleData) snapshots.push_back(cipher);
    position = file->Tell();
    if (position == kInvalidPosition) throw GflException(kGflDataError);
    const uint32_t n = codec->SkipFrame(source);
    // Every block but the last holds exactly 1 MiB; a block of nothing is damage.
    if (n == 0 || n > kBlockSize) throw GflException(kGflDataError);
    solid_fill = n;
    solid_position = 0;
    blocks += 1;
  };
  scrambler_active = self->ScrambleData;
  bool short_block = false;
  for (int32_t i = 0; i < count; ++i) {
    uint64_t r = records[size_t(i)].UnpackedSize;
    if (r > 0 && solid_fill == 0) {
      if (short_block) throw GflException(kGflDataError);
      open_block();
      short_block = solid_fill < kBlockSize;
    }
    block_position[size_t(i)] = position;
    snapshot_number[size_t(i)] = blocks - 1;
    block_offset[size_t(i)] = solid_position;
    while (r > 0) {
      if (solid_fill == 0) {
        if (short_block) throw GflException(kGflDataError);
        open_block();
        short_block = solid_fill < kBlockSize;
      }
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
  const int32_t k = LastIndexOf(target, '\\');
  if (k >= 0) {
    // Each directory tree is made once.
    std::string parent = target.substr(0, size_t(k));
    if (made_parents.count(parent) == 0 && CreateDirectoryTree(parent)) made_parents.insert(std::move(parent));
  }

  if (e.Attributes & kAttrDirectory) {
    self->Notify(kNoticeExtractStart, target);
    if (CreateDirectoryTree(target)) {
      os::SetAttributes(MakeAbsolutePath(target), e.Attributes);
      self->Notify(kNoticeExtractDone, target);
      return true;
    }
    self->Notify(kNoticeCannotCreateDirectory, target);
    return false;
  }

  if (PathExists(target)) {
    const int32_t answer = self->Notify(kNoticeTargetExists, target);
    if (answer == 1 || answer == 3) return false;
    if (answer == 0) os::SetAttributes(MakeAbsolutePath(target), kAttrNormal);
  }
  self->Notify(kNoticeExtractStart, target);
  GcaFile out;
  if (!out.Open(target, 3)) return false;
  bool ok = false;
  try {
    ok = self->DecodeEntry(out, index, target);
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    out.Close();
    os::RemoveFile(MakeAbsolutePath(target));
    return false;
  }
  out.SetWriteTime(e.WriteTime);
  out.Close();
  os::SetAttributes(MakeAbsolutePath(target), e.Attributes);
  self->Notify(kNoticeExtractDone, target);
  return true;
}

}  // namespace gca
