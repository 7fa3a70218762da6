#include "tools/host_files.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "archive/os.h"
#include "codec/sha512.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/text.h"
#else
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace builder {

// Relative names inside the program: UTF-8, backslash-separated.
std::string RelativeName(const fs::path& relative) {
  std::string name = relative.u8string();
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

fs::path FromUtf8(const std::string& utf8) {
  std::string text = utf8;
#ifndef _WIN32
  std::replace(text.begin(), text.end(), '\\', '/');
#endif
  return fs::u8path(text);
}

#ifdef _WIN32
namespace {
std::wstring WidePath(const fs::path& path) { return path.wstring(); }
}  // namespace

bool GetTime(const fs::path& path, uint64_t& time) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME write;
  const bool ok = GetFileTime(file, nullptr, nullptr, &write) != 0;
  CloseHandle(file);
  time = (static_cast<uint64_t>(write.dwHighDateTime) << 32) | write.dwLowDateTime;
  return ok;
}

bool SetTime(const fs::path& path, uint64_t time) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME write;
  write.dwLowDateTime = static_cast<DWORD>(time);
  write.dwHighDateTime = static_cast<DWORD>(time >> 32);
  const bool ok = SetFileTime(file, nullptr, nullptr, &write) != 0;
  CloseHandle(file);
  return ok;
}

uint32_t GetAttributes(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes;
}

bool SetAttributes(const fs::path& path, uint32_t attributes) {
  return SetFileAttributesW(WidePath(path).c_str(), attributes) != 0;
}

// Archive paths and names are in the system code page.
std::string ArchiveText(const std::string& utf8) { return Utf8ToAnsi(utf8); }
std::string ArchivePath(const fs::path& path) {
  std::string text = path.u8string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return Utf8ToAnsi(text);
}
fs::path PathOfArchiveName(const fs::path& directory, const std::string& name) {
  return directory / fs::u8path(AnsiToUtf8(name));
}
std::string Utf8OfArchiveName(const std::string& name) { return AnsiToUtf8(name); }

bool CheckCodePage(int code_page, std::string& error) {
  if (code_page != 0 && !gca::os::SetNameCodePage(code_page)) {
    error = "entry names are written in the system code page (" + std::to_string(GetACP()) +
            "); run the builder on a system with code page " + std::to_string(code_page);
    return false;
  }
  return true;
}

unsigned long ProcessId() { return GetCurrentProcessId(); }
#else
namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

int g_code_page = 1252;

bool Iconv(const std::string& to, const std::string& from, const std::string& in, std::string& out) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(in.size() * 4 + 16, '\0');
  char* in_ptr = const_cast<char*>(in.data());
  size_t in_left = in.size();
  char* out_ptr = &out[0];
  size_t out_left = out.size();
  const bool ok = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1) && in_left == 0;
  iconv_close(cd);
  out.resize(ok ? out.size() - out_left : 0);
  return ok;
}

std::string CodePageName() { return "CP" + std::to_string(g_code_page); }

}  // namespace

bool GetTime(const fs::path& path, uint64_t& time) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  time = static_cast<uint64_t>(info.st_mtim.tv_sec) * 10000000ull + static_cast<uint64_t>(info.st_mtim.tv_nsec) / 100 +
         kUnixEpochAsFileTime;
  return true;
}

bool SetTime(const fs::path& path, uint64_t time) {
  if (time < kUnixEpochAsFileTime) time = kUnixEpochAsFileTime;
  const uint64_t since = time - kUnixEpochAsFileTime;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(since / 10000000ull);
  times[1].tv_nsec = static_cast<long>((since % 10000000ull) * 100);
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// The read-only bit stands for a file without write permission.
uint32_t GetAttributes(const fs::path& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return 0;
  if (S_ISDIR(info.st_mode)) return 0x10;
  return (info.st_mode & S_IWUSR) ? 0x20 : 0x21;
}

bool SetAttributes(const fs::path& path, uint32_t attributes) {
  std::error_code ec;
  const fs::perms write = fs::perms::owner_write;
  fs::permissions(path, write, (attributes & 1) ? fs::perm_options::remove : fs::perm_options::add, ec);
  return !ec;
}

// UTF-8 to the players' code page, in which the archive code takes names; empty when a
// character has no form there.
std::string ArchiveText(const std::string& utf8) {
  std::string out;
  return Iconv(CodePageName(), "UTF-8", utf8, out) ? out : std::string();
}

std::string Utf8OfArchiveName(const std::string& name) {
  std::string out;
  return Iconv("UTF-8", CodePageName(), name, out) ? out : std::string();
}

// The archive code takes backslash-separated paths in its code page.
std::string ArchivePath(const fs::path& path) {
  std::string text = path.u8string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return ArchiveText(text);
}

fs::path PathOfArchiveName(const fs::path& directory, const std::string& name) {
  return directory / FromUtf8(Utf8OfArchiveName(name));
}

bool CheckCodePage(int code_page, std::string& error) {
  if (code_page != 0 && !gca::os::SetNameCodePage(code_page)) {
    error = "code page " + std::to_string(code_page) + " is not known to this system";
    return false;
  }
  g_code_page = gca::os::NameCodePage();
  return true;
}

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
#endif

bool ReadWhole(const fs::path& path, std::vector<char>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool SameBytes(const fs::path& a, const fs::path& b, bool& same) {
  std::error_code ec;
  const auto size_a = fs::file_size(a, ec);
  if (ec) return false;
  const auto size_b = fs::file_size(b, ec);
  if (ec) return false;
  if (size_a != size_b) {
    same = false;
    return true;
  }
  std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
  if (!in_a || !in_b) return false;
  std::vector<char> buf_a(1 << 16), buf_b(1 << 16);
  same = true;
  while (in_a && in_b) {
    in_a.read(buf_a.data(), static_cast<std::streamsize>(buf_a.size()));
    in_b.read(buf_b.data(), static_cast<std::streamsize>(buf_b.size()));
    if (in_a.gcount() != in_b.gcount() ||
        std::memcmp(buf_a.data(), buf_b.data(), static_cast<size_t>(in_a.gcount())) != 0) {
      same = false;
      return true;
    }
  }
  return true;
}

std::string FileDigest(const fs::path& path) { return FileSha512Hex(path.u8string()); }

// Whether two files hold the same bytes in [from, to).
bool SameRange(const fs::path& a, const fs::path& b, uint64_t from, uint64_t to) {
  std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
  if (!in_a || !in_b) return false;
  in_a.seekg(static_cast<std::streamoff>(from));
  in_b.seekg(static_cast<std::streamoff>(from));
  std::vector<char> buf_a(1 << 16), buf_b(1 << 16);
  for (uint64_t at = from; at < to;) {
    const std::streamsize n = static_cast<std::streamsize>(std::min<uint64_t>(buf_a.size(), to - at));
    in_a.read(buf_a.data(), n);
    in_b.read(buf_b.data(), n);
    if (in_a.gcount() != n || in_b.gcount() != n || std::memcmp(buf_a.data(), buf_b.data(), static_cast<size_t>(n)) != 0) {
      return false;
    }
    at += static_cast<uint64_t>(n);
  }
  return true;
}

// Moves a finished file over the output, replacing an earlier one.
bool ReplaceOutput(const fs::path& from, const fs::path& to, std::string& error) {
#ifdef _WIN32
  const bool ok = MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
#else
  std::error_code ec;
  fs::rename(from, to, ec);
  const bool ok = !ec;
#endif
  if (!ok) error = "cannot write \"" + to.u8string() + "\"";
  return ok;
}

bool HostPayloadFile::Open() {
  in_.close();
  in_.clear();
  in_.open(path_, std::ios::binary);
  if (!in_) return false;
  in_.seekg(0, std::ios::end);
  size_ = static_cast<uint64_t>(in_.tellg());
  in_.seekg(0);
  return static_cast<bool>(in_);
}

bool HostPayloadFile::Seek(uint64_t position) {
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(position));
  return static_cast<bool>(in_);
}

uint32_t HostPayloadFile::Read(void* buffer, uint32_t n) {
  in_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(n));
  return static_cast<uint32_t>(in_.gcount());
}

}  // namespace builder
