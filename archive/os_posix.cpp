// Host side of the archive code's operating-system layer: POSIX calls over names
// converted from the archive code page to UTF-8.
#include "archive/os.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace gca {
namespace os {
namespace {

std::atomic<int> g_code_page{1252};
// Whether the code page maps bytes 0x01..0x7F to the same ASCII characters, so that
// ASCII text needs no conversion.
std::atomic<bool> g_ascii_compatible{true};

// Difference between 1601-01-01 and 1970-01-01 in 100 ns units.
constexpr int64_t kEpochDifference = 116444736000000000LL;

std::string CodePageName(int code_page) { return "CP" + std::to_string(code_page); }

// One conversion direction, opened once per thread and code page (opening a converter
// costs far more than converting a name).
class Converter {
 public:
  ~Converter() { Reset(); }
  bool Run(const char* to, const char* from, int code_page, const std::string& in, std::string* out) {
    if (cd_ == reinterpret_cast<iconv_t>(-1) || code_page_ != code_page) {
      Reset();
      cd_ = iconv_open(to, from);
      if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
      code_page_ = code_page;
    }
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // initial shift state
    buffer_.resize(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char* dst = buffer_.data();
    size_t dst_left = buffer_.size();
    bool ok = iconv(cd_, &src, &src_left, &dst, &dst_left) != size_t(-1) && src_left == 0;
    if (ok) ok = iconv(cd_, nullptr, nullptr, &dst, &dst_left) != size_t(-1);
    if (!ok) return false;
    out->assign(buffer_.data(), buffer_.size() - dst_left);
    return true;
  }

 private:
  void Reset() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
    cd_ = reinterpret_cast<iconv_t>(-1);
  }
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
  int code_page_ = 0;
  std::vector<char> buffer_;
};

// Converts without any replacement: false for text the target cannot represent.
bool ToUtf8(const std::string& in, std::string* out) {
  static thread_local Converter c;
  const int cp = g_code_page;
  return c.Run("UTF-8", CodePageName(cp).c_str(), cp, in, out);
}

bool FromUtf8(const std::string& in, std::string* out) {
  static thread_local Converter c;
  const int cp = g_code_page;
  return c.Run(CodePageName(cp).c_str(), "UTF-8", cp, in, out);
}

// Plain ASCII needs no converter in code pages that keep it.
bool IsAscii(const std::string& s) {
  if (!g_ascii_compatible) return false;
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// Archive path -> file-system path. Backslashes become '/'.
bool ToHost(const std::string& path, std::string* host) {
  if (path.empty()) {
    host->clear();
    return true;
  }
  if (IsAscii(path)) {
    *host = path;
  } else if (!ToUtf8(path, host)) {
    return false;
  }
  for (char& c : *host) {
    if (c == '\\') c = '/';
  }
  return true;
}

// File-system name -> archive name. A host name holding a backslash would read as two
// components, so it cannot be represented either.
bool FromHost(const std::string& name, std::string* out) {
  if (name.find('\\') != std::string::npos) return false;
  if (IsAscii(name)) {
    *out = name;
    return true;
  }
  return FromUtf8(name, out);
}

uint64_t ToFileTime(const struct timespec& t) {
  // Times before 1601 read as 0, times past the 64-bit count as its largest value.
  const int64_t floor_sec = -(kEpochDifference / 10000000);
  if (int64_t(t.tv_sec) < floor_sec) return 0;
  const uint64_t sec = uint64_t(int64_t(t.tv_sec) - floor_sec);
  if (sec > (UINT64_MAX - 9999999) / 10000000) return UINT64_MAX;
  return sec * 10000000 + uint64_t(t.tv_nsec / 100);
}

struct timespec FromFileTime(uint64_t ft) {
  // 100 ns units since 1970. A time from the archive may be any 64-bit value: the ones
  // past what a signed count holds are clamped, not overflowed.
  const uint64_t epoch = uint64_t(kEpochDifference);
  const uint64_t past = ft >= epoch ? ft - epoch : 0;
  const int64_t v = ft >= epoch ? int64_t(past > uint64_t(INT64_MAX) ? uint64_t(INT64_MAX) : past)
                                : -int64_t(epoch - ft);
  int64_t sec = v / 10000000;
  int64_t rem = v % 10000000;
  if (rem < 0) {
    rem += 10000000;
    sec -= 1;
  }
  struct timespec t;
  t.tv_sec = time_t(sec);
  t.tv_nsec = long(rem * 100);
  return t;
}

uint32_t AttributesOf(const struct stat& st) {
  uint32_t a = S_ISDIR(st.st_mode) ? 0x10u : 0x20u;
  if ((st.st_mode & S_IWUSR) == 0) a |= 0x01;
  return a;
}

// Fills a FindData from stat; false when the entry is gone. Entries that are neither
// files nor directories come back marked special.
bool Describe(const std::string& host_path, const std::string& host_name, bool follow_directory_link,
              FindData* data) {
  struct stat st;
  if (lstat(host_path.c_str(), &st) != 0) return false;
  data->special = false;
  if (S_ISLNK(st.st_mode)) {
    // A link to a file is archived as the file; links to directories are followed only
    // when named by the caller, and dangling links are reported.
    if (stat(host_path.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || (S_ISDIR(st.st_mode) && follow_directory_link))) {
      data->special = true;
    }
  } else if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
    data->special = true;
  }
  if (data->special) {
    data->name = host_name;
    data->name_ok = true;
    data->attributes = 0;
    data->size = 0;
    data->write_time = 0;
    return true;
  }
  data->name_ok = FromHost(host_name, &data->name);
  if (!data->name_ok) data->name = host_name;
  data->attributes = AttributesOf(st);
  data->size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
  data->write_time = ToFileTime(st.st_mtim);
  return true;
}

struct Search {
  std::string dir;  // host directory, with trailing '/'
  DIR* handle = nullptr;
  bool single = false;
  ~Search() {
    if (handle) closedir(handle);
  }
};

bool NextInDirectory(Search* s, FindData* data) {
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(s->handle);
    if (!e) return false;
    const std::string name = e->d_name;
    if (name == "." || name == "..") {
      data->name = name;
      data->name_ok = true;
      data->special = false;
      data->attributes = 0x10;
      data->size = 0;
      data->write_time = 0;
      return true;
    }
    if (Describe(s->dir + name, name, false, data)) return true;
  }
}

}  // namespace

bool SetNameCodePage(int code_page) {
  if (code_page <= 0) return false;
  iconv_t cd = iconv_open("UTF-8", CodePageName(code_page).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  g_ascii_compatible = false;
  g_code_page = code_page;
  std::string ascii, utf8;
  for (int c = 1; c < 0x80; ++c) ascii.push_back(char(c));
  g_ascii_compatible = ToUtf8(ascii, &utf8) && utf8 == ascii;
  return true;
}

int NameCodePage() { return g_code_page; }

bool NameRepresentable(const std::string& path) {
  std::string host;
  return ToHost(path, &host);
}

bool HostToArchiveText(const std::string& host, std::string* text) { return FromUtf8(host, text); }

bool ArchiveToHostText(const std::string& text, std::string* host) { return ToUtf8(text, host); }

std::string FullHostPath(const std::string& host) {
  char* full = realpath(host.c_str(), nullptr);
  if (!full) return std::string();
  std::string out = full;
  free(full);
  return out;
}

Handle OpenFile(const std::string& path, int mode) {
  std::string host;
  if (!ToHost(path, &host) || host.empty()) return kInvalidHandle;
  int flags = 0;
  switch (mode) {
    case 0: flags = O_RDONLY; break;
    case 1: flags = O_WRONLY; break;
    case 2: flags = O_RDWR; break;
    case 3: flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 4: flags = O_RDWR | O_CREAT | O_TRUNC; break;
    default: return kInvalidHandle;
  }
  // Non-blocking, so that a FIFO or a device never holds the open; only regular files
  // are kept.
  const int fd = open(host.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return kInvalidHandle;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return kInvalidHandle;
  }
  return Handle(fd);
}

void CloseFile(Handle h) {
  if (h != kInvalidHandle) close(int(h));
}

int64_t ReadFile(Handle h, void* buffer, uint32_t n) {
  if (h == kInvalidHandle) return -1;
  uint32_t done = 0;
  while (done < n) {
    const ssize_t r = read(int(h), static_cast<char*>(buffer) + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return done ? int64_t(done) : -1;
    if (r == 0) break;
    done += uint32_t(r);
  }
  return done;
}

int64_t WriteFile(Handle h, const void* buffer, uint32_t n) {
  if (h == kInvalidHandle) return -1;
  uint32_t done = 0;
  while (done < n) {
    const ssize_t r = write(int(h), static_cast<const char*>(buffer) + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return done ? int64_t(done) : -1;
    done += uint32_t(r);
  }
  return done;
}

bool SeekFile(Handle h, uint64_t position) {
  if (h == kInvalidHandle || position > uint64_t(INT64_MAX)) return false;
  return lseek(int(h), off_t(position), SEEK_SET) != off_t(-1);
}

uint64_t TellFile(Handle h) {
  if (h == kInvalidHandle) return ~uint64_t(0);
  const off_t p = lseek(int(h), 0, SEEK_CUR);
  return p < 0 ? ~uint64_t(0) : uint64_t(p);
}

bool FileSize(Handle h, uint64_t* size) {
  struct stat st;
  if (h == kInvalidHandle || fstat(int(h), &st) != 0) return false;
  *size = uint64_t(st.st_size);
  return true;
}

bool FileIdentity(Handle h, uint64_t* volume, uint64_t* index) {
  struct stat st;
  if (h == kInvalidHandle || fstat(int(h), &st) != 0) return false;
  *volume = uint64_t(st.st_dev);
  *index = uint64_t(st.st_ino);
  return true;
}

Handle DuplicateFile(Handle h) {
  if (h == kInvalidHandle) return kInvalidHandle;
  const int fd = fcntl(int(h), F_DUPFD_CLOEXEC, 0);
  return fd < 0 ? kInvalidHandle : Handle(fd);
}

bool FlushAhead(Handle h) { return h != kInvalidHandle && fdatasync(int(h)) == 0; }

bool SetFileWriteTime(Handle h, uint64_t write_time) {
  if (h == kInvalidHandle) return false;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = FromFileTime(write_time);
  return futimens(int(h), times) == 0;
}

uint32_t GetAttributes(const std::string& path) {
  std::string host;
  struct stat st;
  if (!ToHost(path, &host) || host.empty() || stat(host.c_str(), &st) != 0) return kInvalidAttributes;
  return AttributesOf(st);
}

bool SetAttributes(const std::string& path, uint32_t attributes) {
  std::string host;
  struct stat st;
  if (!ToHost(path, &host) || host.empty() || lstat(host.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  mode_t mode = st.st_mode & 07777;
  // A read-only directory would stop the files inside it from being extracted, and
  // Windows does not enforce the bit on directories either: it is kept for files only.
  if ((attributes & 0x01) && !S_ISDIR(st.st_mode)) {
    mode &= mode_t(~(S_IWUSR | S_IWGRP | S_IWOTH));
  } else {
    mode |= S_IWUSR;
  }
  return mode == (st.st_mode & 07777) || chmod(host.c_str(), mode) == 0;
}

bool MakeDirectory(const std::string& path) {
  std::string host;
  if (!ToHost(path, &host) || host.empty()) return false;
  return mkdir(host.c_str(), 0777) == 0;
}

bool RemoveFile(const std::string& path) {
  std::string host;
  if (!ToHost(path, &host) || host.empty()) return false;
  return unlink(host.c_str()) == 0;
}

PathKind Probe(const std::string& path) {
  std::string host;
  struct stat st;
  if (!ToHost(path, &host) || host.empty()) return PathKind::kOther;
  if (lstat(host.c_str(), &st) != 0) return errno == ENOENT ? PathKind::kMissing : PathKind::kOther;
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  if (S_ISREG(st.st_mode)) return PathKind::kFile;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  return PathKind::kOther;
}

Handle CreateNewFile(const std::string& path) {
  std::string host;
  if (!ToHost(path, &host) || host.empty()) return kInvalidHandle;
  const int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  return fd < 0 ? kInvalidHandle : Handle(fd);
}

bool RenameOver(const std::string& from, const std::string& to) {
  std::string a, b;
  if (!ToHost(from, &a) || !ToHost(to, &b) || a.empty() || b.empty()) return false;
  return rename(a.c_str(), b.c_str()) == 0;
}

bool HostPath(const std::string& path, std::string* host) { return ToHost(path, host); }

Handle FindFirst(const std::string& pattern, FindData* data) {
  std::string host;
  if (!ToHost(pattern, &host) || host.empty()) return kInvalidHandle;
  auto search = std::make_unique<Search>();
  const std::string all = "/*.*";
  if (host == "*.*" || (host.size() >= all.size() && host.compare(host.size() - all.size(), all.size(), all) == 0)) {
    search->dir = host.size() == 3 ? std::string("./") : host.substr(0, host.size() - 3);
    search->handle = opendir(search->dir.c_str());
    if (!search->handle || !NextInDirectory(search.get(), data)) return kInvalidHandle;
  } else {
    while (host.size() > 1 && host.back() == '/') host.pop_back();
    const size_t slash = host.rfind('/');
    const std::string name = slash == std::string::npos ? host : host.substr(slash + 1);
    if (!Describe(host, name, true, data)) return kInvalidHandle;
    search->single = true;
  }
  return reinterpret_cast<Handle>(search.release());
}

bool FindNext(Handle h, FindData* data) {
  if (h == kInvalidHandle) return false;
  Search* s = reinterpret_cast<Search*>(h);
  if (s->single) return false;
  return NextInDirectory(s, data);
}

void FindClose(Handle h) {
  if (h != kInvalidHandle) delete reinterpret_cast<Search*>(h);
}

}  // namespace os
}  // namespace gca
