// Writing side of GcaArchive: scanning the sources, ordering their items and writing
// the "GCAX" + "GCA3" archive.
#include <algorithm>
#include <cstring>

#include "archive/gca_archive_state.h"
#include "codec/gfl_exception.h"

namespace gca {
namespace {

// Sort key of one item: extension, file part and directory length, found once.
struct SortKey {
  const char* name;
  int32_t dir;          // position of the last backslash, -1 when none
  const char* file;     // text behind it
  const char* ext;      // text behind the last dot of the file part, or null
};

SortKey MakeKey(const std::string& name) {
  SortKey k;
  k.name = name.c_str();
  k.dir = LastIndexOf(name, '\\');
  k.file = k.name + (k.dir + 1);
  const int32_t dot = LastIndexOf(k.file, '.');
  k.ext = dot < 0 ? nullptr : k.file + dot + 1;
  return k;
}

int CompareBytes(const char* a, const char* b) {
  return std::strcmp(a, b);  // compares as unsigned bytes
}

// Negative when a comes first: no extension before any extension, then by extension,
// file part and directory text, a shorter directory first when one is a prefix.
int CompareKeys(const SortKey& a, const SortKey& b) {
  if (!a.ext && b.ext) return -1;
  if (a.ext && !b.ext) return 1;
  if (a.ext && b.ext) {
    const int c = CompareBytes(a.ext, b.ext);
    if (c != 0) return c;
  }
  const int c = CompareBytes(a.file, b.file);
  if (c != 0) return c;
  const int32_t n = std::min(a.dir, b.dir);
  if (n > 0) {
    const int d = std::memcmp(a.name, b.name, size_t(n));
    if (d != 0) return d;
  }
  return a.dir - b.dir;
}

}  // namespace

// Orders one source's items: a stable sort, so equal keys keep the scan order.
void SortScanItems(std::vector<ScanItem>& items, size_t first, size_t last) {
  std::vector<SortKey> keys;
  keys.reserve(last - first);
  for (size_t i = first; i < last; ++i) keys.push_back(MakeKey(items[i].Name));
  std::vector<size_t> order(last - first);
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return CompareKeys(keys[a], keys[b]) < 0; });
  std::vector<ScanItem> sorted;
  sorted.reserve(order.size());
  for (size_t i : order) sorted.push_back(std::move(items[first + i]));
  std::move(sorted.begin(), sorted.end(), items.begin() + std::ptrdiff_t(first));
}

bool GcaArchive::State::WriteArchive(ByteStream& out) {
  std::vector<ScanItem> items;
  std::vector<size_t> per_source;
  for (const std::string& source : sources) {
    const size_t first = items.size();
    std::string unrepresentable;
    std::vector<std::string> skipped;
    ScanSource(source, items, &unrepresentable, &skipped);
    for (const std::string& path : skipped) self->Notify(kNoticeSkippedSource, path);
    if (!unrepresentable.empty()) {
      // A name the code page cannot hold would be stored wrongly: never archived.
      self->Notify(kNoticeUnrepresentableSource, unrepresentable);
      return false;
    }
    SortScanItems(items, first, items.size());
    per_source.push_back(items.size() - first);
  }
  if (items.empty() || items.size() > size_t(INT32_MAX / 64)) return false;
  if (!EnsureBuffers()) return false;
  loaded_block = -1;
  DropReadAhead();

  std::vector<EntryRecord> table(items.size());
  std::vector<bool> keep(items.size(), true);
  progress_total = 0;
  for (const ScanItem& item : items) progress_total += item.Size;
  progress_done = 0;
  const uint64_t p0 = out.Tell();
  if (p0 == kInvalidPosition) throw GflException(kGflShortWrite);
  uint8_t front[16] = {'G', 'C', 'A', 'X'};
  if (out.Write(front, sizeof(front)) != sizeof(front)) throw GflException(kGflShortWrite);

  const bool solid = self->Solid;
  const bool compress = self->CompressData || solid;
  solid_fill = 0;
  scrambler_active = self->ScrambleData;
  if (scrambler_active) cipher.SetKey(PassPhrase());
  uint8_t* raw = RawBuffer();
  uint8_t* frame = BlockBuffer();

  // With workers, blocks are filled here in order, coded on the pool, and their frames
  // written back here in order: the keystream and the packed sizes advance as they do
  // without workers, and progress counts the blocks as their frames are written.
  BlockPool* pool = compress ? Pool() : nullptr;
  std::vector<uint64_t> pooled_packed(pool && !solid ? items.size() : 0, 0);
  size_t keyed = items.size();  // the entry whose key the cipher holds
  struct DrainOnExit {
    BlockPool* pool;
    ~DrainOnExit() {
      if (pool) pool->Drain();
    }
  } drain_on_exit{pool};
  auto write_oldest = [&]() {
    BlockPool::Slot& slot = pool->Oldest();
    if (slot.failed) throw GflException(slot.code, slot.message);
    const size_t item = size_t(slot.tag);
    if (!solid && scrambler_active && item != keyed) {
      cipher.SetKey(PassPhrase() + items[item].Name);
      keyed = item;
    }
    WriteArchiveBytes(out, slot.output, slot.output_length);
    if (!solid) pooled_packed[item] += slot.output_length;
    progress_done += slot.input_length;
    ReportProgress();
    pool->Pop();
  };
  // Where the next raw block is filled.
  auto raw_block = [&]() -> uint8_t* {
    if (!pool) return raw;
    while (pool->Full()) write_oldest();
    return pool->Next().input;
  };

  size_t at = 0;
  auto emit_frame = [&](uint32_t n) -> uint32_t {
    if (pool) {
      BlockPool::Slot& slot = pool->Next();
      slot.input_length = n;
      slot.tag = at;
      pool->Submit(BlockPool::Work::kEncode);
      return 0;  // counted when written
    }
    codec->SetProgressBase(progress_done);
    const uint32_t length = codec->CompressBlock(raw, n, frame);
    WriteArchiveBytes(out, frame, length);
    return length;
  };

  for (size_t s = 0; s < sources.size(); ++s) {
    const std::string& source = sources[s];
    const int32_t k = LastIndexOf(source, '\\');
    const int32_t c = LastIndexOf(source, ':');
    std::string prefix;
    if (c < k) {
      prefix = source.substr(0, size_t(k)) + "\\";
    } else if (c != -1) {
      prefix = source.substr(0, size_t(c)) + ":";
    }
    for (size_t j = 0; j < per_source[s]; ++j, ++at) {
      const ScanItem& item = items[at];
      EntryRecord& record = table[at];
      record.Attributes = item.Attributes;
      record.WriteTime = item.WriteTime;
      if (item.Attributes & kAttrDirectory) continue;
      const std::string path = prefix + item.Name;
      if (!excluded_leaf.empty() && item.Name.substr(size_t(LastIndexOf(item.Name, '\\') + 1)) == excluded_leaf) {
        self->Notify(kNoticeSkippedArchive, archive_path);
        keep[at] = false;
        continue;
      }
      self->Notify(kNoticeAddFile, path);
      running_crc = 0;
      GcaFile in;
      if (!in.Open(path, 0) && self->Notify(kNoticeCannotOpenSource, path) != 0) return false;
      std::pair<uint64_t, uint64_t> id;
      if (in.IsOpen() && !excluded.empty() && os::FileIdentity(in.NativeHandle(), &id.first, &id.second) &&
          std::find(excluded.begin(), excluded.end(), id) != excluded.end()) {
        // The archive being written (or the one it replaces) is never put into itself.
        self->Notify(kNoticeSkippedArchive, archive_path);
        keep[at] = false;
        continue;
      }
      const uint64_t u = in.IsOpen() ? in.Size() : 0;
      uint64_t packed = 0;
      if (!solid) {
        if (scrambler_active && !pool) cipher.SetKey(PassPhrase() + item.Name);
        for (uint64_t left = u; left != 0;) {
          const uint32_t piece = left < kBlockSize ? uint32_t(left) : kBlockSize;
          ReadSource(in, raw_block(), piece);
          if (compress) {
            packed += emit_frame(piece);
          } else {
            WriteArchiveBytes(out, raw, piece);
            packed += piece;
          }
          left -= piece;
          if (!pool) {
            progress_done += piece;
            ReportProgress();
          }
        }
      } else {
        for (uint64_t left = u; left != 0;) {
          const uint32_t room = kBlockSize - solid_fill;
          const uint32_t piece = left < room ? uint32_t(left) : room;
          ReadSource(in, raw_block() + solid_fill, piece);
          solid_fill += piece;
          left -= piece;
          if (solid_fill == kBlockSize) {
            emit_frame(kBlockSize);
            solid_fill = 0;
            if (!pool) {
              progress_done += kBlockSize;
              ReportProgress();
            }
          }
        }
      }
      record.Crc = running_crc;
      record.UnpackedSize = u;
      record.PackedSize = packed;
    }
  }
  if (solid && solid_fill != 0) {
    const uint32_t last = solid_fill;
    emit_frame(last);
    solid_fill = 0;
    if (!pool) {
      progress_done += last;
      ReportProgress();
    }
  }
  if (pool) {
    while (!pool->Empty()) write_oldest();
    for (size_t i = 0; i < pooled_packed.size(); ++i) table[i].PackedSize = pooled_packed[i];
  }
  scrambler_active = false;

  // The directory is written from the record table and the relative names; the
  // archive's own directory state stays as it was.
  std::vector<EntryRecord> saved_records;
  std::vector<std::string> saved_names;
  saved_records.swap(records);
  saved_names.swap(names);
  size_t kept = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (!keep[i]) continue;
    if (kept != i) {
      table[kept] = table[i];
      items[kept] = std::move(items[i]);
    }
    ++kept;
  }
  table.resize(kept);
  items.resize(kept);
  records.swap(table);
  names.reserve(items.size());
  for (ScanItem& item : items) names.push_back(std::move(item.Name));
  bool ok = false;
  try {
    ok = WriteDirectory(out, p0);
  } catch (...) {
    records.swap(saved_records);
    names.swap(saved_names);
    throw;
  }
  records.swap(saved_records);
  names.swap(saved_names);
  return ok;
}

}  // namespace gca
