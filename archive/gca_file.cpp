#include "archive/gca_file.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "codec/threads.h"

namespace gca {

GcaFile::~GcaFile() { Release(); }

uint32_t GcaFile::Read(void* buffer, uint32_t n) {
  if (in_memory_) {
    const uint64_t left = memory_position_ < memory_.size() ? memory_.size() - memory_position_ : 0;
    const uint32_t k = left < n ? uint32_t(left) : n;
    if (k != 0) std::memcpy(buffer, memory_.data() + memory_position_, k);
    memory_position_ += k;
    if (k == 0) end_reached_ = 1;
    return k;
  }
  const int64_t got = os::ReadFile(handle_, buffer, n);
  if (got == 0) end_reached_ = 1;
  return got < 0 ? 0 : uint32_t(got);
}

uint32_t GcaFile::Write(const void* buffer, uint32_t n) {
  if (in_memory_) return 0;
  const int64_t put = os::WriteFile(handle_, buffer, n);
  return put < 0 ? 0 : uint32_t(put);
}

bool GcaFile::Seek(uint64_t position) {
  if (in_memory_) {
    memory_position_ = position;
    return position <= uint64_t(INT64_MAX);
  }
  return os::SeekFile(handle_, position);
}

uint64_t GcaFile::Tell() { return in_memory_ ? memory_position_ : os::TellFile(handle_); }

bool GcaFile::OpenMemory(std::string bytes) {
  Close();
  memory_ = std::move(bytes);
  in_memory_ = true;
  memory_position_ = 0;
  size_ = memory_.size();
  mode_ = 0;
  end_reached_ = size_ == 0;
  return true;
}

bool GcaFile::Reopen() {
  if (path_.empty()) return false;
  return Open(path_, 0);
}

bool GcaFile::Open(const std::string& path, int mode) {
  if (mode < 0 || mode > 4) return false;
  Close();
  path_ = path;
  mode_ = mode;
  handle_ = os::OpenFile(MakeAbsolutePath(path), mode);
  if (handle_ == os::kInvalidHandle) return false;
  size_ = 0;
  // A created or truncated file is empty; no need to ask.
  if (mode != 3 && mode != 4 && !os::FileSize(handle_, &size_)) size_ = 0;
  if (size_ != 0) end_reached_ = 0;
  return true;
}

bool GcaFile::CreateNew(const std::string& path) {
  Close();
  path_ = path;
  mode_ = 3;
  size_ = 0;
  handle_ = os::CreateNewFile(MakeAbsolutePath(path));
  return handle_ != os::kInvalidHandle;
}

bool CreateTempBeside(const std::string& target, GcaFile* file, std::string* temp) {
  static std::atomic<uint32_t> serial{0};
  const int32_t k = LastIndexOf(target, '\\');
  const std::string directory = k < 0 ? std::string() : target.substr(0, size_t(k) + 1);
  const uint32_t seed = uint32_t(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char leaf[32];
    std::snprintf(leaf, sizeof(leaf), "~gca%08x.tmp", unsigned(seed * 2654435761u + serial++));
    *temp = directory + leaf;
    if (file->CreateNew(*temp)) return true;
    // Something is there already, or the directory cannot take a file at all.
    if (os::Probe(MakeAbsolutePath(*temp)) == os::PathKind::kMissing) return false;
  }
  return false;
}

bool IsTempBesideName(const std::string& leaf) {
  if (leaf.size() != 16 || leaf.compare(0, 4, "~gca") != 0 || leaf.compare(12, 4, ".tmp") != 0) return false;
  for (size_t i = 4; i < 12; ++i) {
    const char c = leaf[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

struct FlushBehindFile::Flusher {
  os::Handle handle = os::kInvalidHandle;
  Thread thread;
  Mutex mutex;
  ConditionVariable wake;
  bool pending = false;  // a flush was asked for since the last one began
  bool stop = false;

  void Run() {
    mutex.Lock();
    for (;;) {
      wake.Wait(mutex, [&] { return pending || stop; });
      if (stop) break;
      pending = false;
      mutex.Unlock();
      os::FlushAhead(handle);
      mutex.Lock();
    }
    mutex.Unlock();
  }
};

FlushBehindFile::FlushBehindFile() = default;

FlushBehindFile::~FlushBehindFile() { StopFlushing(); }

bool FlushBehindFile::StartFlushing() {
  if (flusher_ || !IsOpen()) return false;
  auto flusher = std::make_unique<Flusher>();
  flusher->handle = os::DuplicateFile(NativeHandle());
  if (flusher->handle == os::kInvalidHandle) return false;
  Flusher* f = flusher.get();
  if (!flusher->thread.Start([f] { f->Run(); })) {
    os::CloseFile(flusher->handle);
    return false;
  }
  flusher_ = std::move(flusher);
  requested_ = written_;
  return true;
}

void FlushBehindFile::StopFlushing() {
  if (!flusher_) return;
  flusher_->mutex.Lock();
  flusher_->stop = true;
  flusher_->wake.NotifyAll();
  flusher_->mutex.Unlock();
  flusher_->thread.Join();
  os::CloseFile(flusher_->handle);
  flusher_.reset();
}

uint32_t FlushBehindFile::Write(const void* buffer, uint32_t n) {
  const uint32_t put = GcaFile::Write(buffer, n);
  written_ += put;
  if (flusher_ && written_ - requested_ >= kFlushStep) {
    requested_ = written_;
    MutexLock lock(flusher_->mutex);
    flusher_->pending = true;
    flusher_->wake.NotifyOne();
  }
  return put;
}

bool FlushBehindFile::Close() {
  StopFlushing();
  return GcaFile::Close();
}

bool GcaFile::Close() {
  in_memory_ = false;
  memory_.clear();
  if (handle_ != os::kInvalidHandle) os::CloseFile(handle_);
  handle_ = os::kInvalidHandle;
  return true;
}

uint64_t GcaFile::Size() {
  if (mode_ != 0) {
    if (!os::FileSize(handle_, &size_)) size_ = 0;
  }
  return size_;
}

void GcaFile::Release() {
  Close();
  size_ = 0;
}

int32_t LastIndexOf(const char* text, uint8_t c) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
  int32_t last = -1;
  for (int32_t i = 0;;) {
    const uint8_t b = s[i];
    if (b == c) last = i;
    if (b == 0) return last;
    const uint8_t x = uint8_t(b ^ 0x20);
    const uint8_t t = s[i + 1];
    const bool trail = (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC);
    i += (x >= 0xA1 && x <= 0xDC && trail) ? 2 : 1;
  }
}

namespace {
// A critical section on Windows, made on first use and deleted at exit.
Mutex& BaseLock() {
  static Mutex lock;
  return lock;
}
std::string& BaseText() {
  static std::string base;
  return base;
}

// True when the last separator-relevant byte of the text is a backslash or colon that
// is not the trail byte of a double-byte character.
bool EndsWithSeparator(const std::string& text) {
  if (text.empty()) return false;
  const int32_t last = int32_t(text.size()) - 1;
  return LastIndexOf(text, '\\') == last || LastIndexOf(text, ':') == last;
}
}  // namespace

void SetBaseDirectory(const std::string& path) {
  MutexLock guard(BaseLock());
  BaseText() = path;
}

std::string GetBaseDirectory() {
  MutexLock guard(BaseLock());
  return BaseText();
}

std::string MakeAbsolutePath(const std::string& path) {
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return path;
  if (path.find(':') != std::string::npos) return path;
  const std::string base = GetBaseDirectory();
  if (!path.empty() && path[0] == '\\') {
    const int32_t colon = LastIndexOf(base, ':');
    return base.substr(0, size_t(colon + 1)) + path;
  }
  if (base.empty()) return path;
  return JoinPath(base, path);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (EndsWithSeparator(directory)) return directory + name;
  return directory + "\\" + name;
}

bool PathExists(const std::string& path) {
  std::string p = MakeAbsolutePath(path);
  if (p.empty() || EndsWithSeparator(p)) p = JoinPath(p, "*.*");
  os::FindData data;
  const os::Handle h = os::FindFirst(p, &data);
  os::FindClose(h);
  return h != os::kInvalidHandle;
}

bool CreateDirectoryTree(const std::string& path) {
  const std::string full = MakeAbsolutePath(path);
  const uint32_t a = os::GetAttributes(full);
  if (a != os::kInvalidAttributes) return (a & 0x10) != 0;
  if (os::MakeDirectory(full)) return true;
  const int32_t k = LastIndexOf(path, '\\');
  if (k < 0) return false;
  CreateDirectoryTree(path.substr(0, size_t(k)));
  return os::MakeDirectory(full);
}

}  // namespace gca
