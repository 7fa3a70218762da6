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

namespace {

// One archive write, in its steps: the scanned items with their records, and what the
// data streams share. With workers, blocks are filled here in order, coded on the pool,
// and their frames written back here in order: the keystream and the packed sizes
// advance as they do without workers, and progress counts the blocks as their frames
// are written. The pool is drained however the write ends.
class ArchiveWrite {
 public:
  ArchiveWrite(GcaArchive::State& state, ByteStream& out) : s_(state), out_(out) {}
  ArchiveWrite(const ArchiveWrite&) = delete;
  ArchiveWrite& operator=(const ArchiveWrite&) = delete;
  ~ArchiveWrite() {
    if (pool_) pool_->Drain();
  }

  bool ScanSources();
  bool Prepare();
  void Begin();
  bool WriteSource(size_t s);
  void FinishStreams();
  bool WriteDirectoryOfKept();

 private:
  bool WriteItem(const std::string& prefix);
  uint64_t WritePlainData(GcaFile& in, uint64_t size, const std::string& name);
  void WriteSolidData(GcaFile& in, uint64_t size);
  void WriteOldest();
  uint8_t* RawBlock();
  uint32_t EmitFrame(uint32_t n);
  void Progress(uint32_t n);

  GcaArchive::State& s_;
  ByteStream& out_;
  std::vector<ScanItem> items_;
  std::vector<size_t> per_source_;
  std::vector<EntryRecord> table_;
  std::vector<bool> keep_;
  uint64_t p0_ = 0;
  bool solid_ = false;
  bool compress_ = false;
  uint8_t* raw_ = nullptr;
  uint8_t* frame_ = nullptr;
  BlockPool* pool_ = nullptr;
  std::vector<uint64_t> pooled_packed_;
  size_t keyed_ = 0;  // the entry whose key the cipher holds
  size_t at_ = 0;     // the item being written
};

// Every source's items, each source's in archive order. False when a name cannot be
// stored.
bool ArchiveWrite::ScanSources() {
  for (const std::string& source : s_.sources) {
    const size_t first = items_.size();
    std::string unrepresentable;
    std::vector<std::string> skipped;
    ScanSource(source, items_, &unrepresentable, &skipped);
    for (const std::string& path : skipped) s_.self->Notify(kNoticeSkippedSource, path);
    if (!unrepresentable.empty()) {
      // A name the code page cannot hold would be stored wrongly: never archived.
      s_.self->Notify(kNoticeUnrepresentableSource, unrepresentable);
      return false;
    }
    SortScanItems(items_, first, items_.size());
    per_source_.push_back(items_.size() - first);
  }
  return true;
}

bool ArchiveWrite::Prepare() {
  if (items_.empty() || items_.size() > size_t(INT32_MAX / 64)) return false;
  if (!s_.EnsureBuffers()) return false;
  s_.loaded_block = -1;
  s_.DropReadAhead();
  return true;
}

// The record table, the progress total, the front record, and the cipher and pool the
// data streams use.
void ArchiveWrite::Begin() {
  table_.resize(items_.size());
  keep_.assign(items_.size(), true);
  s_.progress_total = 0;
  for (const ScanItem& item : items_) s_.progress_total += item.Size;
  s_.progress_done = 0;
  p0_ = out_.Tell();
  if (p0_ == kInvalidPosition) throw GflException(kGflShortWrite);
  uint8_t front[16] = {'G', 'C', 'A', 'X'};
  if (out_.Write(front, sizeof(front)) != sizeof(front)) throw GflException(kGflShortWrite);

  solid_ = s_.self->Solid;
  compress_ = s_.self->CompressData || solid_;
  s_.solid_fill = 0;
  s_.scrambler_active = s_.self->ScrambleData;
  if (s_.scrambler_active) s_.cipher.SetKey(s_.PassPhrase());
  raw_ = s_.RawBuffer();
  frame_ = s_.BlockBuffer();
  pool_ = compress_ ? s_.Pool() : nullptr;
  pooled_packed_.assign(pool_ && !solid_ ? items_.size() : 0, 0);
  keyed_ = items_.size();
}

// Writes the frame of the oldest block on the pool, keyed by its entry's name.
void ArchiveWrite::WriteOldest() {
  BlockPool::Slot& slot = pool_->Oldest();
  if (slot.failed) throw GflException(slot.code, slot.message);
  const size_t item = size_t(slot.tag);
  if (!solid_ && s_.scrambler_active && item != keyed_) {
    s_.cipher.SetKey(s_.PassPhrase() + items_[item].Name);
    keyed_ = item;
  }
  s_.WriteArchiveBytes(out_, slot.output, slot.output_length);
  if (!solid_) pooled_packed_[item] += slot.output_length;
  s_.progress_done += slot.input_length;
  s_.ReportProgress();
  pool_->Pop();
}

// Where the next raw block is filled.
uint8_t* ArchiveWrite::RawBlock() {
  if (!pool_) return raw_;
  while (pool_->Full()) WriteOldest();
  return pool_->Next().input;
}

// Codes the raw block of n bytes: on the pool, or here with its frame written at once.
// Returns the frame's length, or 0 when it is counted as it is written.
uint32_t ArchiveWrite::EmitFrame(uint32_t n) {
  if (pool_) {
    BlockPool::Slot& slot = pool_->Next();
    slot.input_length = n;
    slot.tag = at_;
    pool_->Submit(BlockPool::Work::kEncode);
    return 0;
  }
  s_.codec->SetProgressBase(s_.progress_done);
  const uint32_t length = s_.codec->CompressBlock(raw_, n, frame_);
  s_.WriteArchiveBytes(out_, frame_, length);
  return length;
}

// Counts n bytes done when no pool counts them.
void ArchiveWrite::Progress(uint32_t n) {
  if (pool_) return;
  s_.progress_done += n;
  s_.ReportProgress();
}

// The items of one source, named relative to the folder that holds it. False when a
// source file that cannot be opened ends the write.
bool ArchiveWrite::WriteSource(size_t s) {
  const std::string& source = s_.sources[s];
  const int32_t k = LastIndexOf(source, '\\');
  const int32_t c = LastIndexOf(source, ':');
  std::string prefix;
  if (c < k) {
    prefix = source.substr(0, size_t(k)) + "\\";
  } else if (c != -1) {
    prefix = source.substr(0, size_t(c)) + ":";
  }
  for (size_t j = 0; j < per_source_[s]; ++j, ++at_) {
    if (!WriteItem(prefix)) return false;
  }
  return true;
}

// One item's record, and a file's data unless the file is the archive itself.
bool ArchiveWrite::WriteItem(const std::string& prefix) {
  const ScanItem& item = items_[at_];
  EntryRecord& record = table_[at_];
  record.Attributes = item.Attributes;
  record.WriteTime = item.WriteTime;
  if (item.Attributes & kAttrDirectory) return true;
  const std::string path = prefix + item.Name;
  if (!s_.excluded_leaf.empty() &&
      item.Name.substr(size_t(LastIndexOf(item.Name, '\\') + 1)) == s_.excluded_leaf) {
    s_.self->Notify(kNoticeSkippedArchive, s_.archive_path);
    keep_[at_] = false;
    return true;
  }
  s_.self->Notify(kNoticeAddFile, path);
  s_.running_crc = 0;
  GcaFile in;
  if (!in.Open(path, 0) && s_.self->Notify(kNoticeCannotOpenSource, path) != 0) return false;
  std::pair<uint64_t, uint64_t> id;
  if (in.IsOpen() && !s_.excluded.empty() && os::FileIdentity(in.NativeHandle(), &id.first, &id.second) &&
      std::find(s_.excluded.begin(), s_.excluded.end(), id) != s_.excluded.end()) {
    // The archive being written (or the one it replaces) is never put into itself.
    s_.self->Notify(kNoticeSkippedArchive, s_.archive_path);
    keep_[at_] = false;
    return true;
  }
  const uint64_t u = in.IsOpen() ? in.Size() : 0;
  uint64_t packed = 0;
  if (!solid_) {
    packed = WritePlainData(in, u, item.Name);
  } else {
    WriteSolidData(in, u);
  }
  record.Crc = s_.running_crc;
  record.UnpackedSize = u;
  record.PackedSize = packed;
  return true;
}

// A file's own stream: its blocks coded (or stored) one by one, keyed by its name.
// Returns the packed size, 0 with a pool (counted as its frames are written).
uint64_t ArchiveWrite::WritePlainData(GcaFile& in, uint64_t size, const std::string& name) {
  if (s_.scrambler_active && !pool_) s_.cipher.SetKey(s_.PassPhrase() + name);
  uint64_t packed = 0;
  for (uint64_t left = size; left != 0;) {
    const uint32_t piece = left < kBlockSize ? uint32_t(left) : kBlockSize;
    s_.ReadSource(in, RawBlock(), piece);
    if (compress_) {
      packed += EmitFrame(piece);
    } else {
      s_.WriteArchiveBytes(out_, raw_, piece);
      packed += piece;
    }
    left -= piece;
    Progress(piece);
  }
  return packed;
}

// A file's bytes appended to the one solid stream, a frame for every full block.
void ArchiveWrite::WriteSolidData(GcaFile& in, uint64_t size) {
  for (uint64_t left = size; left != 0;) {
    const uint32_t room = kBlockSize - s_.solid_fill;
    const uint32_t piece = left < room ? uint32_t(left) : room;
    s_.ReadSource(in, RawBlock() + s_.solid_fill, piece);
    s_.solid_fill += piece;
    left -= piece;
    if (s_.solid_fill == kBlockSize) {
      EmitFrame(kBlockSize);
      s_.solid_fill = 0;
      Progress(kBlockSize);
    }
  }
}

// The last, partial solid block, then every frame still on the pool.
void ArchiveWrite::FinishStreams() {
  if (solid_ && s_.solid_fill != 0) {
    const uint32_t last = s_.solid_fill;
    EmitFrame(last);
    s_.solid_fill = 0;
    Progress(last);
  }
  if (pool_) {
    while (!pool_->Empty()) WriteOldest();
    for (size_t i = 0; i < pooled_packed_.size(); ++i) table_[i].PackedSize = pooled_packed_[i];
  }
  s_.scrambler_active = false;
}

// The directory is written from the record table and the relative names of the items
// kept; the archive's own directory state stays as it was.
bool ArchiveWrite::WriteDirectoryOfKept() {
  std::vector<EntryRecord> saved_records;
  std::vector<std::string> saved_names;
  saved_records.swap(s_.records);
  saved_names.swap(s_.names);
  size_t kept = 0;
  for (size_t i = 0; i < items_.size(); ++i) {
    if (!keep_[i]) continue;
    if (kept != i) {
      table_[kept] = table_[i];
      items_[kept] = std::move(items_[i]);
    }
    ++kept;
  }
  table_.resize(kept);
  items_.resize(kept);
  s_.records.swap(table_);
  s_.names.reserve(items_.size());
  for (ScanItem& item : items_) s_.names.push_back(std::move(item.Name));
  bool ok = false;
  try {
    ok = s_.WriteDirectory(out_, p0_);
  } catch (...) {
    s_.records.swap(saved_records);
    s_.names.swap(saved_names);
    throw;
  }
  s_.records.swap(saved_records);
  s_.names.swap(saved_names);
  return ok;
}

}  // namespace

bool GcaArchive::State::WriteArchive(ByteStream& out) {
  ArchiveWrite write(*this, out);
  if (!write.ScanSources() || !write.Prepare()) return false;
  write.Begin();
  for (size_t s = 0; s < sources.size(); ++s) {
    if (!write.WriteSource(s)) return false;
  }
  write.FinishStreams();
  return write.WriteDirectoryOfKept();
}

}  // namespace gca
