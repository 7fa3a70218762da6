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

namespace {

// The archive order of names: a stable sort, so equal keys keep the given order.
template <typename NameOf>
std::vector<size_t> ArchiveOrder(size_t n, const NameOf& name_of) {
  std::vector<SortKey> keys;
  keys.reserve(n);
  for (size_t i = 0; i < n; ++i) keys.push_back(MakeKey(name_of(i)));
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return CompareKeys(keys[a], keys[b]) < 0; });
  return order;
}

}  // namespace

// Orders one source's items: a stable sort, so equal keys keep the scan order.
void SortScanItems(std::vector<ScanItem>& items, size_t first, size_t last) {
  const std::vector<size_t> order =
      ArchiveOrder(last - first, [&](size_t i) -> const std::string& { return items[first + i].Name; });
  std::vector<ScanItem> sorted;
  sorted.reserve(order.size());
  for (size_t i : order) sorted.push_back(std::move(items[first + i]));
  std::move(sorted.begin(), sorted.end(), items.begin() + std::ptrdiff_t(first));
}

namespace {

// Where one item of a list takes its contents from: a file, or an entry of another
// archive whose directory has been read.
struct ListSource {
  std::string path;
  GcaArchive::State* from = nullptr;
  int32_t index = -1;
};

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
  // The items of a list, in archive order, instead of scanned sources. False when an
  // item names no readable entry of another archive.
  bool TakeList(std::vector<ListItem>& list, const GcaArchive::State* self_state);
  bool Prepare();
  void Begin();
  bool WriteSource(size_t s);
  void FinishStreams();
  bool WriteDirectoryOfKept();
  // What the check of the written data needs, one per entry kept, in archive order.
  std::vector<BuiltEntry> TakeBuilt() { return std::move(built_); }

 private:
  bool WriteItem(const std::string& prefix);
  bool WriteFromArchive(GcaArchive::State& from, int32_t index);
  bool CopyStored(GcaArchive::State& from, int32_t index);
  bool StoredAlike(const GcaArchive::State& from, int32_t index) const;
  void Feed(const uint8_t* data, uint32_t n);
  void FlushBlock();
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
  // A list's sources, by item, and what was copied as it is (empty for scanned sources).
  std::vector<ListSource> list_;
  std::vector<BuiltEntry> built_;
  // Bytes fed to the entry being written (Feed): in the raw block of an entry that is
  // not solid, in all, and the packed bytes written without a pool.
  uint32_t fill_ = 0;
  uint64_t fed_ = 0;
  uint64_t packed_ = 0;

  friend class FeedStream;
};

// The output side of another archive's entry decoding: every byte decoded goes into
// the writer's blocks. A failure of the writer's own (a short write, a block that did
// not code) is told apart from damage of the entry read.
class FeedStream : public ByteStream {
 public:
  explicit FeedStream(ArchiveWrite& write) : write_(write) {}
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void* buffer, uint32_t n) override {
    try {
      write_.Feed(static_cast<const uint8_t*>(buffer), n);
    } catch (...) {
      failed_ = true;
      throw;
    }
    return n;
  }
  bool Seek(uint64_t) override { return false; }
  uint64_t Tell() override { return kInvalidPosition; }
  bool Failed() const { return failed_; }

 private:
  ArchiveWrite& write_;
  bool failed_ = false;
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

bool ArchiveWrite::TakeList(std::vector<ListItem>& list, const GcaArchive::State* self_state) {
  const std::vector<size_t> order =
      ArchiveOrder(list.size(), [&](size_t i) -> const std::string& { return list[i].Name; });
  items_.reserve(list.size());
  list_.reserve(list.size());
  for (size_t i : order) {
    ListItem& item = list[i];
    ListSource source;
    ScanItem scan;
    scan.Attributes = item.Attributes;
    scan.WriteTime = item.WriteTime;
    if (item.From) {
      GcaArchive::State* from = GcaArchive::State::Of(*item.From);
      if (from == self_state || !from->directory_read || !from->file || item.Index < 0 ||
          item.Index >= from->count) {
        return false;
      }
      source.from = from;
      source.index = item.Index;
      scan.Size = from->records[size_t(item.Index)].UnpackedSize;
    } else if (!(item.Attributes & kAttrDirectory)) {
      // Only for the progress total; the size stored is the opened file's.
      os::FindData data;
      const os::Handle h = os::FindFirst(item.Path, &data);
      if (h != os::kInvalidHandle) {
        scan.Size = data.size;
        os::FindClose(h);
      }
      source.path = std::move(item.Path);
    }
    scan.Name = std::move(item.Name);
    items_.push_back(std::move(scan));
    list_.push_back(std::move(source));
  }
  per_source_.push_back(items_.size());
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
  built_.assign(items_.size(), BuiltEntry());
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
  const std::string source = list_.empty() ? s_.sources[s] : std::string();
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
  if (!list_.empty() && list_[at_].from) {
    GcaArchive::State& from = *list_[at_].from;
    const int32_t index = list_[at_].index;
    s_.self->Notify(kNoticeAddFile, item.Name);
    return StoredAlike(from, index) ? CopyStored(from, index) : WriteFromArchive(from, index);
  }
  const std::string path = list_.empty() ? prefix + item.Name : list_[at_].path;
  if (!s_.excluded_leaf.empty() && path.substr(size_t(LastIndexOf(path, '\\') + 1)) == s_.excluded_leaf) {
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

// True when the entry's stored bytes are what this write would store for its contents:
// neither archive solid, the same coding, scrambling and key (and, when scrambled, the
// same name), and the entry's record consistent with its coding.
bool ArchiveWrite::StoredAlike(const GcaArchive::State& from, int32_t index) const {
  const GcaArchive& other = *from.self;
  const EntryRecord& r = from.records[size_t(index)];
  if (solid_ || other.Solid || !other.EntryCrc) return false;
  if (other.CompressData != s_.self->CompressData || other.ScrambleData != s_.self->ScrambleData) return false;
  if (s_.self->ScrambleData && from.PassPhrase() != s_.PassPhrase()) return false;
  // Only scrambled bytes depend on the name, through the key.
  if (s_.self->ScrambleData && from.names[size_t(index)] != items_[at_].Name) return false;
  if ((r.UnpackedSize == 0) != (r.PackedSize == 0)) return false;
  return other.CompressData || r.PackedSize == r.UnpackedSize;
}

// Copies an entry's stored bytes as they are, with its record's CRC and sizes, after the
// frames still on the pool (which come before it). A short read of the other archive is
// damage of that entry, noticed on that archive.
bool ArchiveWrite::CopyStored(GcaArchive::State& from, int32_t index) {
  const EntryRecord r = from.records[size_t(index)];
  if (pool_) {
    while (!pool_->Empty()) WriteOldest();
  }
  from.DropReadAhead();
  from.loaded_block = -1;
  from.scrambler_active = false;
  const uint64_t base = uint64_t(int64_t(from.start_offset)) + from.data_start;
  if (r.PackedSize != 0 && !from.file->Seek(base + from.offsets[size_t(index)])) {
    from.self->Notify(kNoticeEntryCrc, from.names[size_t(index)]);
    return false;
  }
  const uint64_t done = s_.progress_done;
  uint32_t crc = 0;
  for (uint64_t left = r.PackedSize; left != 0;) {
    const uint32_t piece = left < kBlockSize ? uint32_t(left) : kBlockSize;
    if (from.file->Read(raw_, piece) != piece) {
      from.self->Notify(kNoticeEntryCrc, from.names[size_t(index)]);
      return false;
    }
    crc = s_.crc.Update(raw_, piece, crc);
    if (out_.Write(raw_, piece) != piece) throw GflException(kGflShortWrite);
    left -= piece;
    // Progress in unpacked bytes, in proportion to the stored bytes copied.
    const uint64_t copied = r.PackedSize - left;
    s_.progress_done = done + (r.UnpackedSize / r.PackedSize) * copied +
                       (r.UnpackedSize % r.PackedSize) * copied / r.PackedSize;
    s_.ReportProgress();
  }
  EntryRecord& record = table_[at_];
  record.Crc = r.Crc;
  record.UnpackedSize = r.UnpackedSize;
  record.PackedSize = r.PackedSize;
  if (!pooled_packed_.empty()) pooled_packed_[at_] = r.PackedSize;
  built_[at_].Copied = true;
  built_[at_].StoredCrc = crc;
  return true;
}

// Decodes an entry of another archive into this write's blocks, cut and coded as a file
// of the same contents would be. Damage of the entry (a frame that does not decode, a
// CRC that does not match) posts the entry-CRC notice on the archive that holds it (as
// its own decoding does) and ends the write.
bool ArchiveWrite::WriteFromArchive(GcaArchive::State& from, int32_t index) {
  const std::string& name = items_[at_].Name;
  s_.running_crc = 0;
  fill_ = 0;
  fed_ = 0;
  packed_ = 0;
  if (!solid_ && s_.scrambler_active && !pool_) s_.cipher.SetKey(s_.PassPhrase() + name);
  FeedStream feed(*this);
  bool decoded = false;
  bool damaged = false;
  try {
    decoded = from.DecodeEntryData(feed, index);
  } catch (const GflException&) {
    if (feed.Failed()) throw;
    damaged = true;
  }
  from.scrambler_active = false;
  if (!decoded) from.loaded_block = -1;
  const EntryRecord& r = from.records[size_t(index)];
  if (!damaged && !decoded) {
    // Not readable here at all (a solid archive whose index was declined).
    s_.self->Notify(kNoticeBuildReadError, name);
    return false;
  }
  if (damaged || fed_ != r.UnpackedSize || (from.self->EntryCrc && from.running_crc != r.Crc)) {
    from.self->Notify(kNoticeEntryCrc, from.names[size_t(index)]);
    return false;
  }
  if (!solid_ && fill_ != 0) FlushBlock();
  EntryRecord& record = table_[at_];
  record.Crc = s_.running_crc;
  record.UnpackedSize = fed_;
  record.PackedSize = solid_ ? 0 : packed_;
  return true;
}

// Appends decoded bytes to the raw block (the entry's own, or the solid stream's), and
// codes or stores every block that fills.
void ArchiveWrite::Feed(const uint8_t* data, uint32_t n) {
  while (n != 0) {
    uint32_t& fill = solid_ ? s_.solid_fill : fill_;
    uint8_t* block = RawBlock();
    const uint32_t take = std::min(n, kBlockSize - fill);
    std::memcpy(block + fill, data, take);
    if (s_.self->EntryCrc) s_.running_crc = s_.crc.Update(data, take, s_.running_crc);
    fill += take;
    fed_ += take;
    data += take;
    n -= take;
    if (fill == kBlockSize) FlushBlock();
  }
}

// Codes (or stores) the raw block as it is filled, and starts the next.
void ArchiveWrite::FlushBlock() {
  uint32_t& fill = solid_ ? s_.solid_fill : fill_;
  const uint32_t n = fill;
  if (compress_) {
    packed_ += EmitFrame(n);
  } else {
    s_.WriteArchiveBytes(out_, raw_, n);
    packed_ += n;
  }
  fill = 0;
  Progress(n);
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
      built_[kept] = built_[i];
    }
    ++kept;
  }
  table_.resize(kept);
  items_.resize(kept);
  built_.resize(kept);
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

bool GcaArchive::State::WriteList(ByteStream& out, std::vector<ListItem>& list, std::vector<BuiltEntry>* built) {
  ArchiveWrite write(*this, out);
  if (!write.TakeList(list, this) || !write.Prepare()) return false;
  write.Begin();
  if (!write.WriteSource(0)) return false;
  write.FinishStreams();
  if (!write.WriteDirectoryOfKept()) return false;
  if (built) *built = write.TakeBuilt();
  return true;
}

}  // namespace gca
