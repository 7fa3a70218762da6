// GcaArchive: the object, its buffers, callbacks and byte-level building blocks, and
// the ArchiveHandle owner. Directory, reader and writer live in their own files.
#include "archive/gca_archive.h"

#include <cstring>
#include <new>

#include "archive/gca_archive_state.h"
#include "codec/gfl_exception.h"

namespace gca {
namespace {

void CodecProgress(uint64_t value, void* context) {
  auto* state = static_cast<GcaArchive::State*>(context);
  if (state->progress) state->progress(value, state->progress_total, state->self);
}

// Runs one archive write: a GflException ends it with the notice of a failed write
// (short write) or of a failed read (anything else), out of memory ends it quietly.
template <typename Write>
bool GuardedWrite(GcaArchive::State& s, const Write& write) {
  s.loaded_block = -1;
  bool ok = false;
  try {
    ok = write();
  } catch (const GflException& e) {
    if (e.Code == kGflShortWrite) {
      s.self->Notify(kNoticeBuildWriteError, std::string());
    } else {
      s.self->Notify(kNoticeBuildReadError, std::string());
    }
    ok = false;
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  s.scrambler_active = false;
  return ok;
}

}  // namespace

// ---- building blocks -------------------------------------------------------------

void GcaArchive::State::ReadExactly(ByteStream& s, void* buffer, uint32_t n) {
  if (n == 0) return;
  if (s.Read(buffer, n) != n) throw GflException(kGflDataError);
  if (scrambler_active) cipher.Decrypt(buffer, int32_t(n));
}

void GcaArchive::State::WriteOut(ByteStream& s, const void* buffer, uint32_t n) {
  if (n == 0) return;
  if (self->EntryCrc) running_crc = crc.Update(buffer, n, running_crc);
  if (s.Write(buffer, n) != n) throw GflException(kGflShortWrite);
}

void GcaArchive::State::ReadSource(ByteStream& s, void* buffer, uint32_t n) {
  if (n == 0) return;
  if (s.Read(buffer, n) != n) throw GflException(kGflDataError);
  if (self->EntryCrc) running_crc = crc.Update(buffer, n, running_crc);
}

void GcaArchive::State::WriteArchiveBytes(ByteStream& s, void* buffer, uint32_t n) {
  if (n == 0) return;
  if (scrambler_active) cipher.Encrypt(buffer, int32_t(n));
  if (s.Write(buffer, n) != n) throw GflException(kGflShortWrite);
}

void GcaArchive::State::SkipForward(ByteStream& s, uint64_t n) {
  const uint64_t here = s.Tell();
  if (here == kInvalidPosition || n > kInvalidPosition - here || !s.Seek(here + n)) {
    throw GflException(kGflDataError);
  }
  if (!scrambler_active) return;
  if (scratch.empty()) scratch.resize(65536);
  while (n != 0) {
    const uint32_t piece = n < scratch.size() ? uint32_t(n) : uint32_t(scratch.size());
    cipher.Decrypt(scratch.data(), int32_t(piece));
    n -= piece;
  }
}

void MemoryFrameSource::ReadExactly(void* buffer, uint32_t n) {
  if (n > size_ - position_) throw GflException(kGflDataError);
  if (n != 0) std::memcpy(buffer, data_ + position_, n);
  position_ += n;
}

void MemoryFrameSource::SkipForward(uint64_t n) {
  if (n > size_ - position_) throw GflException(kGflDataError);
  position_ += size_t(n);
}

void GcaArchive::State::ReportProgress() {
  if (progress) progress(progress_done, progress_total, self);
}

bool GcaArchive::State::EnsureBuffers() {
  if (buffers_ready && codec && codec->Ready()) return true;
  return self->PrepareBuffers() != 0;
}

BlockPool* GcaArchive::State::Pool() {
  if (threads <= 1) return nullptr;
  if (!pool) {
    auto started = std::make_unique<BlockPool>(threads);
    if (!started->Start()) {
      // Not enough memory for the workers: code on this thread instead.
      threads = 1;
      return nullptr;
    }
    pool = std::move(started);
  }
  return pool.get();
}

void GcaArchive::State::DropReadAhead() {
  if (pool) pool->Drain();
  ahead_valid = false;
  ahead_stopped = false;
  ahead_entry = -1;
  ahead_left = 0;
}

void GcaArchive::State::ClearDirectory() {
  DropReadAhead();
  directory_read = false;
  directory_compressed = false;
  directory_scrambled = false;
  count = 0;
  data_start = 0;
  names.clear();
  records.clear();
  offsets.clear();
  snapshots.clear();
  snapshot_position.clear();
  block_position.clear();
  snapshot_number.clear();
  block_offset.clear();
  solid_index_built = false;
  loaded_block = -1;
}

bool GcaArchive::State::OpenArchiveFile() {
  file.reset();
  auto f = std::make_unique<GcaFile>();
  if (from_memory) {
    f->OpenMemory(memory);
  } else if (!f->Open(archive_path, 0)) {
    return false;
  }
  file = std::move(f);
  return true;
}

// ---- GcaArchive --------------------------------------------------------------------

GcaArchive::GcaArchive() : state_(new State) {
  state_->self = this;
  state_->codec = std::make_unique<BlockCodec>();
  state_->codec->SetProgressCallback(&CodecProgress, state_.get());
}

GcaArchive::~GcaArchive() { ReleaseBuffers(); }

int GcaArchive::PrepareBuffers() {
  State& s = *state_;
  s.loaded_block = -1;
  s.buffers_ready = false;
  try {
    s.buffers_ready = s.codec->Allocate();
  } catch (const std::bad_alloc&) {
    s.buffers_ready = false;
  }
  return s.buffers_ready ? 1 : 0;
}

void GcaArchive::ReleaseBuffers() {
  Close();
  state_->DropReadAhead();
  state_->pool.reset();
  state_->codec->Release();
  state_->buffers_ready = false;
}

void GcaArchive::SetThreads(unsigned threads) {
  if (threads == 0) threads = 1;
  if (threads != state_->threads) {
    state_->DropReadAhead();
    state_->pool.reset();
  }
  state_->threads = threads;
}

unsigned GcaArchive::Threads() const { return state_->threads; }

void GcaArchive::SetArchivePath(const std::string& path) {
  state_->archive_path = path;
  state_->from_memory = false;
  state_->memory.clear();
  state_->directory_read = false;
}

void GcaArchive::SetArchiveMemory(std::string bytes) {
  state_->memory = std::move(bytes);
  state_->from_memory = true;
  state_->directory_read = false;
}

void GcaArchive::SetStartOffset(int32_t offset) { state_->start_offset = offset; }
void GcaArchive::SetOutputDirectory(const std::string& path) {
  state_->output_directory = path;
  state_->made_parents.clear();
}
void GcaArchive::SetKeyString(const std::string& key) { state_->key = key; }
void GcaArchive::SetProgressCallback(ProgressCallback callback) { state_->progress = std::move(callback); }
void GcaArchive::SetNoticeCallback(NoticeCallback callback) { state_->notice = std::move(callback); }
void GcaArchive::SetSourceList(std::vector<std::string> sources) { state_->sources = std::move(sources); }

int32_t GcaArchive::Notify(uint32_t code, const std::string& text) {
  if (!state_->notice) return -1;
  return state_->notice(code, text, this);
}

bool GcaArchive::ReadDirectory() {
  try {
    if (state_->ReadDirectory()) return true;
  } catch (const GflException&) {
  } catch (const std::bad_alloc&) {
  }
  state_->ClearDirectory();
  state_->file.reset();
  return false;
}

int32_t GcaArchive::EntryCount() {
  if (!state_->directory_read && !ReadDirectory()) return 0;
  return state_->count;
}

std::string GcaArchive::EntryName(int32_t index) {
  if (!state_->directory_read && !ReadDirectory()) return std::string();
  if (index < 0 || index >= state_->count) return std::string();
  return state_->names[size_t(index)];
}

uint32_t GcaArchive::EntryAttributes(int32_t index) {
  if (!state_->directory_read && !ReadDirectory()) return 0;
  if (index < 0 || index >= state_->count) return 0;
  return state_->records[size_t(index)].Attributes;
}

EntryRecord GcaArchive::EntryInfo(int32_t index) {
  if (!state_->directory_read && !ReadDirectory()) return EntryRecord();
  if (index < 0 || index >= state_->count) return EntryRecord();
  return state_->records[size_t(index)];
}

bool GcaArchive::DecodeEntry(ByteStream& out, int32_t index, const std::string& text) {
  State& s = *state_;
  if (!s.directory_read && !ReadDirectory()) return false;
  try {
    return s.DecodeEntry(out, index, text);
  } catch (const GflException&) {
  } catch (const std::bad_alloc&) {
  }
  s.scrambler_active = false;
  s.loaded_block = -1;
  return false;
}

bool GcaArchive::ExtractEntry(int32_t index) {
  try {
    return state_->ExtractEntry(index);
  } catch (const GflException&) {
  } catch (const std::bad_alloc&) {
  }
  return false;
}

bool GcaArchive::Close() {
  state_->file.reset();
  state_->made_parents.clear();
  state_->ClearDirectory();
  return true;
}

bool GcaArchive::WriteArchive(ByteStream& out) {
  State& s = *state_;
  return GuardedWrite(s, [&] { return s.WriteArchive(out); });
}

bool GcaArchive::Build() {
  State& s = *state_;
  return s.BuildAtPath([&](GcaFile& out) { return WriteArchive(out); });
}

bool GcaArchive::BuildFromList(std::vector<ListItem> items, std::vector<BuiltEntry>* built) {
  State& s = *state_;
  if (built) built->clear();
  return s.BuildAtPath(
      [&](GcaFile& out) { return GuardedWrite(s, [&] { return s.WriteList(out, items, built); }); });
}

bool GcaArchive::CheckEntries(const std::vector<BuiltEntry>& built, int32_t* failed) {
  State& s = *state_;
  int32_t first = -1;
  bool ok = false;
  if (s.directory_read || ReadDirectory()) {
    try {
      ok = s.CheckData(built, &first);
    } catch (const GflException&) {
    } catch (const std::bad_alloc&) {
    }
  }
  s.DropReadAhead();
  s.scrambler_active = false;
  s.loaded_block = -1;
  if (failed) *failed = ok ? -1 : first;
  return ok;
}

bool GcaArchive::DirectoryCompressed() const { return state_->directory_read && state_->directory_compressed; }
bool GcaArchive::DirectoryScrambled() const { return state_->directory_read && state_->directory_scrambled; }

template <typename Write>
bool GcaArchive::State::BuildAtPath(const Write& write) {
  State& s = *this;
  const std::string full = MakeAbsolutePath(s.archive_path);
  const os::PathKind kind = os::Probe(full);
  if (kind == os::PathKind::kDirectory || kind == os::PathKind::kOther) return false;
  // The archive is written under a new name beside the path and renamed into place
  // only when it is complete: a failed build leaves an older archive as it was.
  FlushBehindFile out;
  std::string temp;
  if (!CreateTempBeside(s.archive_path, &out, &temp)) return false;
  if (s.self->FlushWhileWriting) out.StartFlushing();
  s.excluded.clear();
  s.excluded_leaf = temp.substr(size_t(LastIndexOf(temp, '\\') + 1));
  std::pair<uint64_t, uint64_t> id;
  if (os::FileIdentity(out.NativeHandle(), &id.first, &id.second)) s.excluded.push_back(id);
  {
    GcaFile old;
    if (kind != os::PathKind::kMissing && old.Open(s.archive_path, 0) &&
        os::FileIdentity(old.NativeHandle(), &id.first, &id.second)) {
      s.excluded.push_back(id);
    }
  }
  bool ok = write(out);
  s.excluded.clear();
  s.excluded_leaf.clear();
  out.Close();
  if (ok) ok = os::RenameOver(MakeAbsolutePath(temp), full);
  if (!ok) os::RemoveFile(MakeAbsolutePath(temp));
  return ok;
}

// ---- ArchiveHandle -----------------------------------------------------------------

void ArchiveHandle::Create() {
  archive_.reset(new (std::nothrow) GcaArchive);
  reserved_[0] = reserved_[1] = reserved_[2] = 0;
}

void ArchiveHandle::Destroy() { archive_.reset(); }

int ArchiveHandle::PrepareBuffers() { return archive_ ? archive_->PrepareBuffers() : 0; }
void ArchiveHandle::ReleaseBuffers() {
  if (archive_) archive_->ReleaseBuffers();
}
void ArchiveHandle::SetArchivePath(const std::string& path) {
  if (archive_) archive_->SetArchivePath(path);
}
void ArchiveHandle::SetStartOffset(int32_t offset) {
  if (archive_) archive_->SetStartOffset(offset);
}
void ArchiveHandle::SetOutputDirectory(const std::string& path) {
  if (archive_) archive_->SetOutputDirectory(path);
}
bool ArchiveHandle::Open() { return archive_ && archive_->ReadDirectory(); }
bool ArchiveHandle::Close() { return archive_ ? archive_->Close() : true; }
int32_t ArchiveHandle::EntryCount() { return archive_ ? archive_->EntryCount() : 0; }
std::string ArchiveHandle::EntryName(int32_t index) {
  return archive_ ? archive_->EntryName(index) : std::string();
}
uint32_t ArchiveHandle::EntryAttributes(int32_t index) { return archive_ ? archive_->EntryAttributes(index) : 0; }
bool ArchiveHandle::ExtractEntry(int32_t index) { return archive_ && archive_->ExtractEntry(index); }

}  // namespace gca
