#include "tools/patch_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "app/delta_format.h"
#include "app/payload_format.h"
#include "archive/gca_archive.h"
#include "codec/block_pool.h"
#include "archive/os.h"
#include "codec/sha512.h"
#include "tools/patch_delta.h"
#include "tools/patch_names.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/text.h"
#else
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

struct TreeFile {
  bool Directory = false;
  uint64_t WriteTime = 0;
  uint32_t Attributes = 0;
  uint64_t Size = 0;
};

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

bool EndsWithDat(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return tail == ".dat" && name.find('\\') == std::string::npos;
}

#ifdef _WIN32
std::wstring WidePath(const fs::path& path) { return path.wstring(); }

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
#else
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
#endif

// Every file and directory below root, by relative name.

// Every file and directory below root, by relative name.
bool ListTree(const fs::path& root, std::map<std::string, TreeFile>& files, std::string& error) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    error = "\"" + root.u8string() + "\" is not a directory";
    return false;
  }
  fs::recursive_directory_iterator it(root, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    TreeFile file;
    file.Directory = it->is_directory(ec);
    if (!file.Directory && !it->is_regular_file(ec)) continue;
    // A backslash inside a name would become a separator on Windows.
    if (it->path().filename().u8string().find('\\') != std::string::npos) {
      error = "\"" + it->path().u8string() + "\" contains a backslash, which Windows takes for a separator";
      return false;
    }
    if (!GetTime(it->path(), file.WriteTime)) {
      error = "cannot read the time of \"" + it->path().u8string() + "\"";
      return false;
    }
    file.Attributes = GetAttributes(it->path());
    if (!file.Directory) file.Size = it->file_size(ec);
    files[RelativeName(fs::relative(it->path(), root))] = file;
  }
  if (ec) {
    error = "cannot list \"" + root.u8string() + "\": " + ec.message();
    return false;
  }
  return true;
}


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

std::string FileDigest(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  gca::Sha512Digest digest;
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.gcount() > 0) digest.Update(buffer.data(), static_cast<uint32_t>(in.gcount()));
  }
  if (in.bad()) return std::string();
  digest.Finish();
  return digest.HexText();
}


// An output stream that keeps only the SHA-512 of what is written to it.
class DigestStream : public gca::ByteStream {
 public:
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void* buffer, uint32_t n) override {
    digest_.Update(buffer, n);
    position_ += n;
    return n;
  }
  bool Seek(uint64_t) override { return false; }
  uint64_t Tell() override { return position_; }
  std::string Finish() {
    digest_.Finish();
    return digest_.HexText();
  }

 private:
  gca::Sha512Digest digest_;
  uint64_t position_ = 0;
};

// An output stream that keeps what is written to it, and one that keeps the first bytes
// and the SHA-512 of the whole.
class MemoryStream : public gca::ByteStream {
 public:
  explicit MemoryStream(std::vector<uint8_t>& bytes) : bytes_(bytes) { bytes_.clear(); }
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void* buffer, uint32_t n) override {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    bytes_.insert(bytes_.end(), p, p + n);
    return n;
  }
  bool Seek(uint64_t) override { return false; }
  uint64_t Tell() override { return bytes_.size(); }

 private:
  std::vector<uint8_t>& bytes_;
};

class HeadDigestStream : public DigestStream {
 public:
  uint32_t Write(const void* buffer, uint32_t n) override {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    const size_t take = std::min<size_t>(n, kDeltaHeaderSize - std::min(head.size(), kDeltaHeaderSize));
    head.insert(head.end(), p, p + take);
    return DigestStream::Write(buffer, n);
  }
  std::vector<uint8_t> head;
};

// Applies a delta in memory, as the updater applies it from files.
class MemorySink : public DeltaSink {
 public:
  MemorySink(const std::vector<uint8_t>& old_bytes, std::vector<uint8_t>& new_bytes)
      : old_(old_bytes), new_(new_bytes) {}
  bool ReadSource(uint64_t position, uint8_t* buffer, uint32_t n) override {
    const std::vector<uint8_t>& from = position < old_.size() ? old_ : new_;
    if (position >= old_.size()) position -= old_.size();
    if (position > from.size() || n > from.size() - position) return false;
    std::memcpy(buffer, from.data() + position, n);
    return true;
  }
  bool WriteNew(const uint8_t* buffer, uint32_t n) override {
    new_.insert(new_.end(), buffer, buffer + n);
    return true;
  }

 private:
  const std::vector<uint8_t>& old_;
  std::vector<uint8_t>& new_;
};

std::string DigestOf(const std::vector<uint8_t>& bytes) {
  gca::Sha512Digest digest;
  for (size_t at = 0; at < bytes.size(); at += 1u << 30) {
    digest.Update(bytes.data() + at, static_cast<uint32_t>(std::min<size_t>(1u << 30, bytes.size() - at)));
  }
  digest.Finish();
  return digest.HexText();
}

// The delta stream from the old content to the new, when it is smaller than the new
// content once both are coded by the block codec; checked by applying it. False: ship
// the new content whole.
bool ChooseDelta(const std::vector<uint8_t>& old_bytes, const std::vector<uint8_t>& new_bytes,
                 const std::string& old_digest, std::vector<uint8_t>& delta) {
  delta.clear();
  if (old_bytes.size() + uint64_t{new_bytes.size()} > kDeltaLimit) return false;
  DeltaHeader header;
  header.OldSize = old_bytes.size();
  header.NewSize = new_bytes.size();
  const gca::Crc32 crc;
  for (size_t at = 0; at < new_bytes.size(); at += 1u << 30) {
    header.NewCrc = crc.Update(new_bytes.data() + at,
                               static_cast<uint32_t>(std::min<size_t>(1u << 30, new_bytes.size() - at)), header.NewCrc);
  }
  header.OldDigest = old_digest;
  header.NewDigest = DigestOf(new_bytes);
  PutDeltaHeader(header, delta);
  const uint64_t coded = MakeDelta(old_bytes.data(), old_bytes.size(), new_bytes.data(), new_bytes.size(), delta);
  if (CodedSize(new_bytes.data(), new_bytes.size(), coded) <= coded) return false;
  std::vector<uint8_t> made;
  MemorySink sink(old_bytes, made);
  DeltaApplier applier(sink);
  if (!applier.Push(delta.data(), delta.size()) || !applier.Complete() || made != new_bytes) {
    delta.clear();
    return false;
  }
  return true;
}

// What the notices of one archive operation said.
struct NoticeLog {
  bool Failed = false;              // a damaged entry, an unsafe name, a failed build
  bool ScrambledDirectory = false;  // the directory was scrambled
};

// Answers the notices as a tool that wants every readable archive read: solid archives
// get their index, scrambled directories are decrypted (and noted).
void InstallToolNotices(gca::GcaArchive* archive, NoticeLog* log) {
  archive->SetNoticeCallback([log](uint32_t code, const std::string&, gca::GcaArchive*) -> int32_t {
    switch (code) {
      case gca::kNoticeScrambledDirectory:
        if (log != nullptr) log->ScrambledDirectory = true;
        return 0;
      case gca::kNoticeSolidIndex:
        return 0;
      case gca::kNoticeEntryCrc:
      case gca::kNoticeUnsafeName:
      case gca::kNoticeCannotCreateDirectory:
      case gca::kNoticeCannotOpenSource:
      case gca::kNoticeBuildReadError:
      case gca::kNoticeBuildWriteError:
        if (log != nullptr) log->Failed = true;
        return -1;
      default:
        return -1;
    }
  });
}

// Answers the notices as the updater does: every question with -1 (so a solid archive or
// a scrambled directory does not read), and a damaged entry fails.
void InstallUpdaterNotices(gca::GcaArchive* archive, NoticeLog* log) {
  archive->SetNoticeCallback([log](uint32_t code, const std::string&, gca::GcaArchive*) -> int32_t {
    if (code == gca::kNoticeEntryCrc || code == gca::kNoticeUnsafeName || code == gca::kNoticeCannotCreateDirectory) {
      log->Failed = true;
    }
    return -1;
  });
}

// The data-archive members, as the archive lists them.
struct Member {
  std::string Name;  // system code page
  gca::EntryRecord Record;
  int32_t Index = 0;
};

class ArchiveReader {
 public:
  bool Open(const fs::path& path) {
    handle_.Create();
    if (!handle_.PrepareBuffers()) return false;
    handle_.SetArchivePath(ArchivePath(path));
    InstallToolNotices(handle_.Archive(), &log_);
    if (!handle_.Open()) return false;
    const int32_t count = handle_.EntryCount();
    for (int32_t i = 0; i < count; ++i) {
      Member member;
      member.Name = handle_.EntryName(i);
      member.Record = handle_.Archive()->EntryInfo(i);
      member.Index = i;
      members_.push_back(member);
    }
    return true;
  }
  bool Solid() { return handle_.Archive() != nullptr && handle_.Archive()->Solid; }
  bool ScrambledDirectory() const { return log_.ScrambledDirectory; }
  bool Extract(const fs::path& directory, int32_t index) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    handle_.SetOutputDirectory(ArchivePath(directory));
    return handle_.ExtractEntry(index) && !log_.Failed;
  }
  // An entry's bytes, decoded with its CRC checked.
  bool Bytes(int32_t index, std::vector<uint8_t>& bytes) {
    MemoryStream stream(bytes);
    return handle_.Archive()->DecodeEntry(stream, index, std::string()) && !log_.Failed;
  }
  // SHA-512 of an entry's bytes, decoded with its CRC checked; empty on failure.
  std::string Digest(int32_t index) {
    DigestStream stream;
    if (!handle_.Archive()->DecodeEntry(stream, index, std::string()) || log_.Failed) return std::string();
    return stream.Finish();
  }
  const std::vector<Member>& Members() const { return members_; }
  ~ArchiveReader() {
    handle_.Close();
    handle_.ReleaseBuffers();
    handle_.Destroy();
  }

 private:
  gca::ArchiveHandle handle_;
  std::vector<Member> members_;
  NoticeLog log_;
};

// Removes the builder's work directory whatever way the build ends. It only ever names a
// directory this build created itself.
struct WorkTree {
  fs::path Root;
  ~WorkTree() {
    std::error_code ec;
    if (!Root.empty()) {
      // Read-only files must become writable to be removed everywhere.
      for (fs::recursive_directory_iterator it(Root, ec), end; !ec && it != end; it.increment(ec)) {
        SetAttributes(it->path(), 0x20);
      }
      fs::remove_all(Root, ec);
    }
  }
};

#ifdef _WIN32
unsigned long ProcessId() { return GetCurrentProcessId(); }
#else
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
#endif

// A fresh directory next to the output, named after it, the process and a counter; an
// existing file or directory of that name is left alone and the next name tried.
bool MakeWorkDirectory(const std::string& output, fs::path& root, std::string& error) {
  const std::string base = output + ".work-" + std::to_string(ProcessId()) + "-";
  for (int n = 0; n < 1000; ++n) {
    const fs::path candidate = fs::u8path(base + std::to_string(n));
    std::error_code ec;
    if (fs::exists(fs::symlink_status(candidate, ec))) continue;
    if (fs::create_directory(candidate, ec) && !ec) {
      root = candidate;
      return true;
    }
  }
  error = "cannot create a work directory next to \"" + output + "\"";
  return false;
}

bool CopyWithTimes(const fs::path& from, const fs::path& to, const TreeFile& file, std::string& error) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec)) {
    error = "cannot copy \"" + from.u8string() + "\": " + ec.message();
    return false;
  }
  SetAttributes(to, 0x20);
  if (!SetTime(to, file.WriteTime) || !SetAttributes(to, file.Attributes & ~0x10u)) {
    error = "cannot set the time or attributes of \"" + to.u8string() + "\"";
    return false;
  }
  return true;
}

// One member of a data archive as the comparison and the read-back see it.
struct MemberState {
  std::string Name;  // UTF-8, as the archive spells it
  bool Directory = false;
  uint32_t Attributes = 0;
  std::string Digest;  // SHA-512 of the bytes; empty for directories
};

// A data archive the patch merges members into: the old and the new members by their
// folded names, for the read-back's application of the patch.
struct MergedArchive {
  std::string Base;  // UTF-8 base name n of n.dat
  std::map<std::string, MemberState> Old, New;
  // The new version's directory members, by their names inside the patch ("___\n\...").
  std::map<std::string, uint64_t> DirectoryTimes;
  // Members of the old version that the update leaves out, named as in the patch.
  std::vector<Deletion> Deleted;
};

// The old content's digest each delta entry must name, by the name of the file it makes
// ("game.exe", "___\\data\\maps\\m2.txt").
using DeltaDigests = std::map<std::string, std::string>;

// Writes a staged file with the time and attributes its entry must carry.
bool WriteStaged(const fs::path& path, const std::vector<uint8_t>& bytes, uint64_t time, uint32_t attributes,
                 std::string& error) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      error = "cannot write \"" + path.u8string() + "\"";
      return false;
    }
  }
  if (!SetTime(path, time) || !SetAttributes(path, attributes & ~0x10u)) {
    error = "cannot set the time or attributes of \"" + path.u8string() + "\"";
    return false;
  }
  return true;
}

// A loose file the patch must carry, with what it must hold.
struct LooseExpectation {
  std::string Name;
  fs::path NewPath;
  bool ReadOnly = false;
};

enum class Staged { Failed, Members, Whole };

using Tick = std::function<void(uint64_t done, uint64_t total)>;

// A name that leaves the installation directory too little of the updater's path
// limits is refused, named with its length.
bool LeavesRoom(const std::string& archive_name, bool member, const std::string& shown, std::string& error) {
  const int room = InstallDirectoryRoom(archive_name, member);
  if (room >= kLeastInstallDirectoryRoom) return true;
  error = (member ? shown : "\"" + shown + "\"") + " is " + std::to_string(archive_name.size()) +
          " characters long and leaves " + std::to_string(room < 0 ? 0 : room) +
          " for the players' game folder path (at least " + std::to_string(kLeastInstallDirectoryRoom) +
          " are needed); rename it, or allow it with --allow-long-names";
  return false;
}

// Compares one data archive of both trees and stages the members the patch carries below
// stage/___. Failed (with a message) when the patch cannot express the change; Whole
// (with the reason in the summary) when the updater could not merge into it.
Staged StageDataArchive(const std::string& name, const fs::path& old_path, const fs::path& new_path,
                        const fs::path& staging, bool with_times, bool allow_long_names, bool keep_deleted,
                        bool deltas, DeltaDigests& delta_digests, const Tick& tick,
                        ArchiveSummary& summary, MergedArchive& merged, std::string& error) {
  const std::string base_utf8 = name.substr(0, name.size() - 4);
  const std::string base = ArchiveText(base_utf8);
  if (base.empty()) {
    error = "the name of \"" + name + "\" has no form in the code page";
    return Staged::Failed;
  }
  merged.Base = base_utf8;
  ArchiveReader old_archive, new_archive;
  const bool old_open = old_archive.Open(old_path);
  const bool new_open = new_archive.Open(new_path);
  if (!old_open || !new_open) {
    summary.WholeReason = !old_open && !new_open ? "not an archive"
                          : !old_open            ? "not an archive in the old version"
                                                 : "not an archive in the new version";
    return Staged::Whole;
  }
  // The updater unpacks the installed archive with every question answered "no" and packs
  // a plain one: a solid archive or a scrambled directory cannot be merged into, and the
  // new version's own form could not be produced.
  std::vector<std::string> reasons;
  if (old_archive.Solid() || new_archive.Solid()) reasons.push_back("solid");
  if (old_archive.ScrambledDirectory() || new_archive.ScrambledDirectory()) reasons.push_back("scrambled directory");
  if (!reasons.empty()) {
    summary.WholeReason = reasons[0] + (reasons.size() > 1 ? ", " + reasons[1] : std::string());
    return Staged::Whole;
  }

  std::map<std::string, const Member*> old_members;
  for (const Member& member : old_archive.Members()) old_members[member.Name] = &member;
  std::set<std::string> new_names;
  std::vector<std::string> utf8_names;
  uint64_t total = 0;
  for (const Member& member : new_archive.Members()) {
    const std::string utf8 = Utf8OfArchiveName(member.Name);
    const std::string shown = "member \"" + utf8 + "\" of \"" + name + "\"";
    // The updater packs the directory named after the archive: every member must be in it.
    if (member.Name != base && member.Name.compare(0, base.size() + 1, base + "\\") != 0) {
      error = shown + " is not below \"" + base_utf8 + "\\\"; the updater rebuilds the archive from that directory";
      return Staged::Failed;
    }
    // The specific reason first; the updater's own rule then catches the rest.
    const std::string problem = utf8.empty() ? std::string() : WindowsNameProblem(utf8);
    if (!problem.empty()) {
      error = shown + " cannot be unpacked on Windows: " + problem;
      return Staged::Failed;
    }
    if (utf8.empty() || !IsSafeRelativeName(utf8)) {
      error = shown + " is not a safe relative name";
      return Staged::Failed;
    }
    if (!allow_long_names && !LeavesRoom(member.Name, true, shown, error)) return Staged::Failed;
    new_names.insert(member.Name);
    utf8_names.push_back(utf8);
    total += member.Record.UnpackedSize;
  }
  std::string first, second;
  if (FindCaseClash(utf8_names, first, second)) {
    error = "members \"" + first + "\" and \"" + second + "\" of \"" + name +
            "\" differ only in letter case: Windows takes them for one file";
    return Staged::Failed;
  }
  // Members the new version no longer has: left out of the rebuilt archive, or with
  // --keep-deleted left in it (then the new archive is expected to keep them).
  for (const Member& member : old_archive.Members()) {
    if (new_names.count(member.Name) != 0) continue;
    MemberState gone;
    gone.Name = Utf8OfArchiveName(member.Name);
    gone.Directory = (member.Record.Attributes & 0x10) != 0;
    gone.Attributes = member.Record.Attributes;
    if (gone.Name.empty() || !IsSafeRelativeName(gone.Name)) {
      error = "deleted member \"" + gone.Name + "\" of \"" + name + "\" is not a safe relative name";
      return Staged::Failed;
    }
    if (!gone.Directory) {
      gone.Digest = old_archive.Digest(member.Index);
      if (gone.Digest.empty()) {
        error = "cannot decode \"" + gone.Name + "\" of \"" + name + "\" (damaged data or CRC)";
        return Staged::Failed;
      }
    }
    merged.Old[FoldNameCase(gone.Name)] = gone;
    if (!gone.Directory) {
      ++(keep_deleted ? summary.Kept : summary.Deleted);
      (keep_deleted ? summary.KeptBytes : summary.DeletedBytes) += member.Record.UnpackedSize;
    }
    if (keep_deleted) {
      merged.New[FoldNameCase(gone.Name)] = gone;
    } else {
      merged.Deleted.push_back({"___\\" + gone.Name, gone.Directory});
    }
  }

  uint64_t done = 0;
  for (const Member& member : new_archive.Members()) {
    const std::string utf8 = Utf8OfArchiveName(member.Name);
    const bool directory = (member.Record.Attributes & 0x10) != 0;
    auto found = old_members.find(member.Name);
    MemberState now;
    now.Name = utf8;
    now.Directory = directory;
    now.Attributes = member.Record.Attributes;
    bool ship = false;
    if (found == old_members.end()) {
      ++summary.Added;
      ship = true;
    } else {
      const gca::EntryRecord& a = found->second->Record;
      const gca::EntryRecord& b = member.Record;
      MemberState before;
      before.Name = Utf8OfArchiveName(found->second->Name);
      before.Directory = (a.Attributes & 0x10) != 0;
      before.Attributes = a.Attributes;
      if (directory || before.Directory) {
        // A directory has no bytes; a directory that is there already is kept.
        ship = directory != before.Directory;
        if (ship) ++summary.Replaced;
      } else {
        bool same = a.Crc == b.Crc && a.UnpackedSize == b.UnpackedSize && a.Attributes == b.Attributes;
        if (same) {
          // Equal records: the bytes decide.
          before.Digest = old_archive.Digest(found->second->Index);
          now.Digest = new_archive.Digest(member.Index);
          if (before.Digest.empty() || now.Digest.empty()) {
            error = "cannot decode \"" + utf8 + "\" of \"" + name + "\" (damaged data or CRC)";
            return Staged::Failed;
          }
          same = before.Digest == now.Digest;
        }
        if (!same) {
          ++summary.Replaced;
          ship = true;
        } else if (a.WriteTime != b.WriteTime) {
          ++summary.TimeOnly;
          ship = with_times;
        } else {
          ++summary.Unchanged;
        }
      }
      merged.Old[FoldNameCase(before.Name)] = before;
    }
    if (ship && deltas && !directory && found != old_members.end() && !(found->second->Record.Attributes & 0x10)) {
      // A changed member may go as a delta from its old content.
      std::vector<uint8_t> old_bytes, new_bytes, delta;
      if (!old_archive.Bytes(found->second->Index, old_bytes) || !new_archive.Bytes(member.Index, new_bytes)) {
        error = "cannot decode \"" + utf8 + "\" of \"" + name + "\" (damaged data or CRC)";
        return Staged::Failed;
      }
      const std::string old_digest = DigestOf(old_bytes);
      if (ChooseDelta(old_bytes, new_bytes, old_digest, delta)) {
        if (!WriteStaged(PathOfArchiveName(staging.parent_path() / "___delta" / "___", member.Name), delta,
                         member.Record.WriteTime, member.Record.Attributes, error)) {
          return Staged::Failed;
        }
        now.Digest = DigestOf(new_bytes);
        delta_digests["___\\" + utf8] = old_digest;
        ++summary.Deltas;
        summary.DeltaBytes += delta.size();
        ++summary.Shipped;
        ship = false;
      }
    }
    if (ship) {
      if (!new_archive.Extract(staging, member.Index)) {
        error = "cannot extract \"" + utf8 + "\" of \"" + name + "\"";
        return Staged::Failed;
      }
      if (!directory) {
        now.Digest = FileDigest(PathOfArchiveName(staging, member.Name));
        if (now.Digest.empty()) {
          error = "cannot read the extracted \"" + utf8 + "\" of \"" + name + "\"";
          return Staged::Failed;
        }
        summary.Bytes += member.Record.UnpackedSize;
      }
      ++summary.Shipped;
    }
    merged.New[FoldNameCase(utf8)] = now;
    if (directory) merged.DirectoryTimes["___\\" + utf8] = member.Record.WriteTime;
    done += member.Record.UnpackedSize;
    if (tick) tick(done, total);
  }
  return Staged::Members;
}

// ---- reading the written patch back -------------------------------------------------

// The patch file for the shared payload readers.
class HostPayloadFile : public PayloadFile {
 public:
  explicit HostPayloadFile(fs::path path) : path_(std::move(path)) {}
  bool Open() override {
    in_.close();
    in_.clear();
    in_.open(path_, std::ios::binary);
    if (!in_) return false;
    in_.seekg(0, std::ios::end);
    size_ = static_cast<uint64_t>(in_.tellg());
    in_.seekg(0);
    return static_cast<bool>(in_);
  }
  uint64_t Size() override { return size_; }
  bool Seek(uint64_t position) override {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(position));
    return static_cast<bool>(in_);
  }
  uint32_t Read(void* buffer, uint32_t n) override {
    in_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(n));
    return static_cast<uint32_t>(in_.gcount());
  }
  void Close() override { in_.close(); }

 private:
  fs::path path_;
  std::ifstream in_;
  uint64_t size_ = 0;
};

bool SameText(const char* what, const std::string& read, const std::string& written, std::string& error) {
  if (read == written) return true;
  error = "the patch does not read back: " + std::string(what) + " reads as \"" + read + "\" instead of \"" +
          written + "\"";
  return false;
}

// Reads the written patch back with the updater's own payload readers and the archive
// reader, and applies it in memory to the old tree: every record must read back as
// written, the archive must open at the record's offset and decode with matching CRCs,
// each merged data archive must come out with the new version's members (names, bytes,
// attributes), and every loose file the patch carries must equal the new version's.
bool VerifyPatch(const fs::path& patch, const PayloadRecords& records, uint64_t archive_tag_position,
                 const std::map<std::string, LooseExpectation>& loose, const std::vector<MergedArchive>& merged,
                 const DeltaDigests& delta_digests, const PatchOptions& options, std::string& error) {
  HostPayloadFile file(patch);
  struct Text {
    const char* short_name;
    const std::string* written;
    const char* what;
    bool digest;
  };
  const Text texts[] = {{TitleName, &records.Title, "the title", false},
                        {VersionOldName, &records.OldVersion, "the old version text", false},
                        {VersionNewName, &records.NewVersion, "the new version text", false},
                        {CheckFileOldName, &records.OldCheckFile, "the old check file name", false},
                        {CheckOldHashName, &records.OldCheckHash, "the old check digest", true},
                        {CheckFileNewName, &records.NewCheckFile, "the new check file name", false},
                        {CheckNewHashName, &records.NewCheckHash, "the new check digest", true}};
  for (const Text& text : texts) {
    std::string value;
    const bool read = text.digest ? ReadDigestRecordIn(file, text.short_name, value)
                                  : ReadTextRecordIn(file, text.short_name, value);
    if (!read) {
      error = "the patch does not read back: " + std::string(text.what) + " is not found";
      return false;
    }
    if (!SameText(text.what, value, *text.written, error)) return false;
  }
  std::vector<TimeStamp> stamps;
  bool complete = false;
  if (!ReadTimeStampsIn(file, stamps, complete) || !complete || stamps.size() != records.Times.size()) {
    error = "the patch does not read back: the time-stamp list holds " + std::to_string(stamps.size()) +
            (complete ? "" : " readable") + " entries instead of " + std::to_string(records.Times.size());
    return false;
  }
  for (size_t i = 0; i < stamps.size(); ++i) {
    if (stamps[i].Name != records.Times[i].Name || stamps[i].WriteTime != records.Times[i].WriteTime) {
      error = "the patch does not read back: time-stamp entry " + std::to_string(i + 1) + " reads as \"" +
              stamps[i].Name + "\" instead of \"" + records.Times[i].Name + "\"";
      return false;
    }
  }
  {
    std::vector<Deletion> deletions;
    bool whole = false;
    const bool listed = ReadDeletionsIn(file, deletions, whole);
    bool same = listed == !records.Deletions.empty() && (!listed || whole) &&
                deletions.size() == records.Deletions.size();
    for (size_t i = 0; same && i < deletions.size(); ++i) {
      same = deletions[i].Name == records.Deletions[i].Name && deletions[i].Directory == records.Deletions[i].Directory;
    }
    if (!same) {
      error = "the patch does not read back: the deletion list holds " + std::to_string(deletions.size()) +
              " entries instead of " + std::to_string(records.Deletions.size());
      return false;
    }
  }
  const int32_t tag = FindRecordIn(file, ArchiveTag());
  if (tag < 0 || static_cast<uint64_t>(tag) != archive_tag_position) {
    error = "the patch does not read back: the archive record is found at " + std::to_string(tag) +
            " instead of " + std::to_string(archive_tag_position);
    return false;
  }

  gca::ArchiveHandle handle;
  handle.Create();
  if (!handle.PrepareBuffers()) {
    error = "cannot allocate the archive buffers";
    return false;
  }
  NoticeLog log;
  handle.SetArchivePath(ArchivePath(patch));
  handle.SetStartOffset(tag + static_cast<int32_t>(kTagSize));
  InstallUpdaterNotices(handle.Archive(), &log);
  if (!handle.Open() || log.Failed) {
    error = "the patch does not read back: its archive does not open at the record's offset";
    return false;
  }
  std::map<std::string, MergedArchive> applied;  // by folded base name: old members with the patch's laid over
  for (const MergedArchive& archive : merged) {
    MergedArchive& a = applied[FoldNameCase(archive.Base)];
    a.Base = archive.Base;
    a.Old = archive.Old;
  }
  std::set<std::string> carried;
  const int32_t count = handle.EntryCount();
  uint64_t total = 0, done = 0;
  for (int32_t i = 0; i < count; ++i) total += handle.Archive()->EntryInfo(i).UnpackedSize;
  for (int32_t i = 0; i < count; ++i) {
    const gca::EntryRecord record = handle.Archive()->EntryInfo(i);
    std::string name = Utf8OfArchiveName(handle.EntryName(i));
    if (name.empty() || !IsSafeRelativeName(name)) {
      error = "the patch does not read back: entry " + std::to_string(i) + " has an unsafe name";
      return false;
    }
    MemberState state;
    state.Name = name;
    state.Directory = (record.Attributes & 0x10) != 0;
    state.Attributes = record.Attributes;
    if (!state.Directory) {
      HeadDigestStream stream;
      if (!handle.Archive()->DecodeEntry(stream, i, std::string()) || log.Failed) {
        error = "the patch does not read back: \"" + name + "\" does not decode with a matching CRC";
        return false;
      }
      state.Digest = stream.Finish();
      if (IsDeltaName(name)) {
        // A delta stands for the file it makes: its header must name the old content the
        // build diffed against and the new content (the stream itself was checked by
        // applying it when it was made).
        DeltaHeader header;
        name = name.substr(kDeltaPrefixSize);
        const auto old = delta_digests.find(name);
        if (!ParseDeltaHeader(stream.head.data(), stream.head.size(), header) || old == delta_digests.end() ||
            header.OldDigest != old->second) {
          error = "the patch does not read back: the delta of \"" + name + "\" does not name its old content";
          return false;
        }
        state.Name = name;
        state.Digest = header.NewDigest;
      }
    } else if (IsDeltaName(name)) {
      continue;  // the directories that hold the delta entries
    }
    done += record.UnpackedSize;
    if (options.Progress) options.Progress("checking", done, total);
    if (name.compare(0, 4, "___\\") == 0) {
      const std::string rest = name.substr(4);
      const size_t slash = rest.find('\\');
      if (slash == std::string::npos) continue;  // the staging directory itself
      auto it = applied.find(FoldNameCase(rest.substr(0, slash)));
      if (it == applied.end()) {
        error = "the patch does not read back: \"" + name + "\" belongs to no data archive the patch merges";
        return false;
      }
      state.Name = rest;
      // Extracted over the unpacked content: replaces a member of the same name.
      it->second.Old[FoldNameCase(rest)] = state;
      continue;
    }
    if (state.Directory) continue;
    const std::string folded = FoldNameCase(name);
    auto want = loose.find(folded);
    if (want == loose.end()) {
      error = "the patch does not read back: it carries \"" + name + "\", which the new version does not need";
      return false;
    }
    carried.insert(folded);
    if (state.Digest != FileDigest(want->second.NewPath) || ((state.Attributes & 1) != 0) != want->second.ReadOnly) {
      error = "the patch does not read back: \"" + name + "\" differs from the new version's";
      return false;
    }
  }
  handle.Close();
  handle.ReleaseBuffers();
  // The members the deletion list names are left out of the rebuilt archives.
  for (const Deletion& deletion : records.Deletions) {
    if (deletion.Name.compare(0, 4, "___\\") != 0) continue;
    const std::string rest = deletion.Name.substr(4);
    auto it = applied.find(FoldNameCase(rest.substr(0, rest.find('\\'))));
    if (it != applied.end()) it->second.Old.erase(FoldNameCase(rest));
  }
  for (const auto& [folded, want] : loose) {
    if (carried.count(folded) == 0) {
      error = "the patch does not read back: \"" + want.Name + "\" is missing from it";
      return false;
    }
  }
  for (const MergedArchive& archive : merged) {
    const MergedArchive& result = applied[FoldNameCase(archive.Base)];
    const std::string shown = "\"" + archive.Base + ".dat\"";
    if (result.Old.size() != archive.New.size()) {
      error = "the patch does not read back: " + shown + " would have " + std::to_string(result.Old.size()) +
              " members instead of " + std::to_string(archive.New.size());
      return false;
    }
    for (const auto& [folded, want] : archive.New) {
      auto got = result.Old.find(folded);
      if (got == result.Old.end() || got->second.Directory != want.Directory ||
          (!want.Directory && (got->second.Digest != want.Digest || got->second.Attributes != want.Attributes))) {
        error = "the patch does not read back: member \"" + want.Name + "\" of " + shown +
                " would not be the new version's";
        return false;
      }
    }
  }
  return true;
}

std::string FormatBytes(uint64_t bytes) {
  char text[32];
  if (bytes >= 10000000ull) {
    std::snprintf(text, sizeof text, "%llu MB", static_cast<unsigned long long>((bytes + 500000) / 1000000));
  } else if (bytes >= 10000ull) {
    std::snprintf(text, sizeof text, "%llu KB", static_cast<unsigned long long>((bytes + 500) / 1000));
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return text;
}



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

// Signs the patch into signed_path and checks that the signing tool left the payload and
// the archive as they were, with the certificate table behind them.
bool SignPatch(const SignOptions& sign, const fs::path& patch, const fs::path& signed_path, const fs::path& log,
               uint64_t image_end, uint64_t& table_size, std::string& error) {
  if (!SignFile(sign, patch.u8string(), signed_path.u8string(), log.u8string(), error)) return false;
  std::error_code ec;
  const uint64_t unsigned_size = fs::file_size(patch, ec);
  const uint64_t signed_size = ec ? 0 : fs::file_size(signed_path, ec);
  std::vector<uint8_t> head(4096);
  {
    std::ifstream in(signed_path, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
  }
  uint64_t offset = 0, length = 0;
  if (ec || !PeCertificateTable(head.data(), head.size(), offset, length) || length == 0 ||
      offset < unsigned_size || offset > signed_size || length > signed_size - offset ||
      !SameRange(patch, signed_path, image_end, unsigned_size)) {
    error = "the signed patch does not keep the payload and archive ahead of its certificate table";
    return false;
  }
  table_size = length;
  return true;
}



// Gives every directory of the staged tree a time from the trees, never from the clock,
// so that the same trees give the same patch bytes: a loose directory takes the new
// tree's time, a data archive's directory member the new archive's; any other (the
// staging directory, a directory made to hold a member) the latest time below it.
// Returns the time given to root.
uint64_t SetStagedDirectoryTimes(const fs::path& root, const std::string& relative,
                                 const std::map<std::string, TreeFile>& new_files,
                                 const std::map<std::string, uint64_t>& member_times) {
  uint64_t latest = 0;
  std::error_code ec;
  std::vector<fs::directory_entry> children;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) children.push_back(*it);
  for (const fs::directory_entry& child : children) {
    const std::string name = (relative.empty() ? std::string() : relative + "\\") + RelativeName(child.path().filename());
    uint64_t time = 0;
    if (child.is_directory(ec)) {
      time = SetStagedDirectoryTimes(child.path(), name, new_files, member_times);
    } else {
      GetTime(child.path(), time);
    }
    latest = std::max(latest, time);
  }
  if (relative.empty()) return latest;
  uint64_t own = latest;
  const auto loose = new_files.find(relative);
  const auto member = member_times.find(relative);
  if (member != member_times.end()) {
    own = member->second;
  } else if (loose != new_files.end() && loose->second.Directory) {
    own = loose->second.WriteTime;
  }
  SetTime(root, own);
  return own;
}

// Why a tree name cannot go into a patch, or empty.
std::string NameProblem(const std::string& name) {
  std::string problem = WindowsNameProblem(name);
  if (!problem.empty()) return "Windows cannot hold it: " + problem;
  problem = UpdaterNameProblem(name);
  if (!problem.empty()) return problem;
  if (!IsSafeRelativeName(name)) return "it is not a relative name below the game directory";
  return std::string();
}

// What the old tree has and the new one does not: loose files and data archives (kept
// aside by the update until its commit point), then directories, innermost first
// (removed once the update leaves them empty). The check files are never deleted, nor is
// anything below the updater's own names. A file that became a directory, or a directory
// that became a file, is refused: the update would have to do both at once.
bool ListDeletions(const std::map<std::string, TreeFile>& old_files, const std::map<std::string, TreeFile>& new_files,
                   PayloadRecords& records, bool keep, PatchSummary& summary, std::string& error) {
  std::vector<std::string> directories;
  for (const auto& [name, file] : old_files) {
    auto found = new_files.find(name);
    if (found != new_files.end()) {
      if (found->second.Directory != file.Directory) {
        error = "\"" + name + "\" is a " + (file.Directory ? "directory" : "file") + " in the old version and a " +
                (file.Directory ? "file" : "directory") + " in the new one; a patch cannot change one into the other";
        return false;
      }
      continue;
    }
    const std::string folded = FoldNameCase(name);
    if (folded == FoldNameCase(records.OldCheckFile) || folded == FoldNameCase(records.NewCheckFile)) continue;
    if (!NameProblem(name).empty()) {
      error = "\"" + name + "\" was deleted in the new version but cannot be named in a patch: " + NameProblem(name);
      return false;
    }
    if (file.Directory) {
      if (!keep) directories.push_back(name);
      continue;
    }
    if (keep) {
      ++summary.LooseKept;
      summary.LooseKeptBytes += file.Size;
      continue;
    }
    ++summary.LooseDeleted;
    summary.LooseDeletedBytes += file.Size;
    if (EndsWithDat(name)) ++summary.DataArchivesDeleted;
    records.Deletions.push_back({name, false});
  }
  // Deeper first: a directory goes only after the directories inside it.
  std::stable_sort(directories.begin(), directories.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
  });
  for (const std::string& name : directories) records.Deletions.push_back({name, true});
  summary.DirectoriesDeleted = static_cast<int>(directories.size());
  return true;
}

}  // namespace

bool CheckPatchCodePage(int code_page, std::string& error) { return CheckCodePage(code_page, error); }

bool BuildPatch(const PatchOptions& options, PatchSummary& summary, std::string& error) {
  summary = PatchSummary();
  summary.WithTimes = options.WithTimes;
  if (!CheckSignOptions(options.Sign, error)) return false;
  if (!CheckCodePage(options.CodePage, error)) return false;
  const fs::path old_root = fs::u8path(options.OldDir);
  const fs::path new_root = fs::u8path(options.NewDir);
  const auto progress = [&](const char* stage, uint64_t done, uint64_t total) {
    if (options.Progress) options.Progress(stage, done, total);
  };

  PayloadRecords records;
  records.Title = options.Title;
  records.OldVersion = options.OldVersion;
  records.NewVersion = options.NewVersion;
  records.OldCheckFile = options.CheckFile;
  records.NewCheckFile = options.NewCheckFile.empty() ? options.CheckFile : options.NewCheckFile;
  std::replace(records.OldCheckFile.begin(), records.OldCheckFile.end(), '/', '\\');
  std::replace(records.NewCheckFile.begin(), records.NewCheckFile.end(), '/', '\\');
  // The texts are checked before any work is done.
  for (const auto& [text, what] : {std::make_pair(&records.Title, "the title"),
                                   std::make_pair(&records.OldVersion, "the old version text"),
                                   std::make_pair(&records.NewVersion, "the new version text")}) {
    if (text->empty()) {
      error = std::string(what) + " is empty";
      return false;
    }
  }
  for (const std::string* check : {&records.OldCheckFile, &records.NewCheckFile}) {
    const std::string problem = NameProblem(*check);
    if (!problem.empty()) {
      error = "the check file \"" + *check + "\" cannot be used: " + problem;
      return false;
    }
  }

  std::vector<uint8_t> stub;
  {
    std::vector<char> bytes;
    if (!ReadWhole(fs::u8path(options.Stub), bytes)) {
      error = "cannot read the updater image \"" + options.Stub + "\"";
      return false;
    }
    stub.assign(bytes.begin(), bytes.end());
  }
  summary.ImageEnd = PeImageEnd(stub.data(), stub.size());
  if (summary.ImageEnd == 0 || summary.ImageEnd > stub.size()) {
    error = "\"" + options.Stub + "\" is not a Windows program image";
    return false;
  }
  stub.resize(static_cast<size_t>(summary.ImageEnd));
  // A signed updater image loses its certificate table with the bytes behind its
  // sections: the security directory must not point into the payload that replaces them.
  {
    uint64_t table = 0, table_size = 0;
    size_t entry = 0;
    if (PeCertificateTable(stub.data(), stub.size(), table, table_size, &entry) && (table != 0 || table_size != 0)) {
      std::memset(stub.data() + entry, 0, 8);
    }
  }
  // Records are laid out and their tags placed before anything is compared, with the
  // digests and time stamps standing in (their bytes can never form a tag).
  const auto lay_out = [&](const PayloadRecords& r, std::vector<uint8_t>& payload) {
    std::vector<PayloadSpan> spans;
    if (!WritePayloadRecords(r, summary.ImageEnd, payload, error, &spans)) return false;
    std::vector<uint8_t> file(stub.begin(), stub.end());
    file.insert(file.end(), payload.begin(), payload.end());
    return CheckTagPlacement(file.data(), file.size(), spans, error);
  };
  {
    PayloadRecords probe = records;
    probe.OldCheckHash = probe.NewCheckHash = std::string(128, '0');
    std::vector<uint8_t> payload;
    if (!lay_out(probe, payload)) return false;
  }

  records.OldCheckHash = FileDigest(old_root / FromUtf8(records.OldCheckFile));
  records.NewCheckHash = FileDigest(new_root / FromUtf8(records.NewCheckFile));
  if (records.OldCheckHash.empty() || records.NewCheckHash.empty()) {
    error = "the check file \"" + (records.OldCheckHash.empty() ? records.OldCheckFile : records.NewCheckFile) +
            "\" cannot be read in " + (records.OldCheckHash.empty() ? "the old" : "the new") + " tree";
    return false;
  }
  // The updater takes an installation whose new check file has the new digest for one
  // already updated: an old installation must not have it.
  if (FileDigest(old_root / FromUtf8(records.NewCheckFile)) == records.NewCheckHash) {
    error = "the new check file \"" + records.NewCheckFile +
            "\" is the same in the old and the new version: the updater could not tell them apart and would "
            "take every old installation for an updated one";
    return false;
  }

  std::map<std::string, TreeFile> old_files, new_files;
  if (!ListTree(old_root, old_files, error) || !ListTree(new_root, new_files, error)) return false;
  summary.KeepDeleted = options.KeepDeleted;
  if (!ListDeletions(old_files, new_files, records, options.KeepDeleted, summary, error)) return false;
  {
    std::vector<std::string> names;
    for (const auto& [name, file] : new_files) {
      const std::string problem = NameProblem(name);
      if (!problem.empty()) {
        error = "\"" + name + "\" cannot be named in a patch: " + problem;
        return false;
      }
      if (!file.Directory && !options.AllowLongNames && !LeavesRoom(ArchiveText(name), false, name, error)) {
        return false;
      }
      names.push_back(name);
    }
    std::string first, second;
    if (FindCaseClash(names, first, second)) {
      error = "\"" + first + "\" and \"" + second +
              "\" differ only in letter case: the players' file system takes them for one";
      return false;
    }
  }

  WorkTree work;
  if (!MakeWorkDirectory(options.Output, work.Root, error)) return false;
  const fs::path stage = work.Root / "stage";
  const fs::path staging = stage / "___";
  std::error_code ec;
  fs::create_directories(stage, ec);
  if (ec) {
    error = "cannot create the work directory \"" + work.Root.u8string() + "\"";
    return false;
  }

  std::map<std::string, LooseExpectation> loose;
  std::vector<MergedArchive> merged;
  DeltaDigests delta_digests;
  summary.DeltasEnabled = !options.NoDelta;
  uint64_t compared = 0, compare_total = 0;
  for (const auto& [name, file] : new_files) compare_total += file.Size;
  progress("comparing", 0, compare_total);
  for (const auto& [name, file] : new_files) {
    if (file.Directory) continue;
    const fs::path new_path = new_root / FromUtf8(name);
    auto old = old_files.find(name);
    const bool is_new = old == old_files.end();
    std::string whole_reason;
    if (!is_new) {
      bool same = false;
      if (!SameBytes(old_root / FromUtf8(name), new_path, same)) {
        error = "cannot compare \"" + name + "\"";
        return false;
      }
      if (same && (old->second.Attributes & 1) == (file.Attributes & 1)) {
        // Only the time may differ: set by a time stamp when asked for, else left alone.
        if (old->second.WriteTime != file.WriteTime) {
          ++summary.LooseTimeOnly;
          if (options.WithTimes) records.Times.push_back({name, file.WriteTime});
        }
        compared += file.Size;
        progress("comparing", compared, compare_total);
        continue;
      }
      if (EndsWithDat(name)) {
        ArchiveSummary archive;
        archive.Name = name;
        MergedArchive expected;
        const uint64_t base = compared, size = file.Size;
        const Tick tick = [&progress, base, size, compare_total](uint64_t done, uint64_t total) {
          progress("comparing", base + (total == 0 ? 0 : size * done / total), compare_total);
        };
        const Staged staged = StageDataArchive(name, old_root / FromUtf8(name), new_path, staging,
                                               options.WithTimes, options.AllowLongNames, options.KeepDeleted,
                                               !options.NoDelta, delta_digests, tick, archive,
                                               expected, error);
        if (staged == Staged::Failed) return false;
        if (staged == Staged::Members) {
          summary.MembersTimeOnly += archive.TimeOnly;
          if (archive.Shipped > 0 || !expected.Deleted.empty()) {
            if (name == records.NewCheckFile || name == records.OldCheckFile) {
              error = "the check file \"" + name +
                      "\" is a data archive that the updater rebuilds; its digest after the update cannot be known";
              return false;
            }
            ++summary.DataArchives;
            summary.Members += archive.Shipped;
            records.Times.push_back({name, file.WriteTime});
            records.Deletions.insert(records.Deletions.end(), expected.Deleted.begin(), expected.Deleted.end());
            merged.push_back(std::move(expected));
          }
          summary.Archives.push_back(archive);
          compared += file.Size;
          progress("comparing", compared, compare_total);
          continue;
        }
        // Shipped whole like any other file.
        archive.ShippedWhole = true;
        archive.Bytes = file.Size;
        summary.Archives.push_back(archive);
        whole_reason = archive.WholeReason;
      }
    }
    const std::string archive_name = ArchiveText(name);
    if (archive_name.empty()) {
      error = "\"" + name + "\" has no form in the code page of the entry names";
      return false;
    }
    bool as_delta = false;
    if (!is_new && !options.NoDelta) {
      // A changed file (a data archive shipped whole too) may go as a delta.
      if (file.Size + old->second.Size > kDeltaLimit) {
        ++summary.TooLargeForDelta;
      } else {
        std::vector<char> old_chars, new_chars;
        if (!ReadWhole(old_root / FromUtf8(name), old_chars) || !ReadWhole(new_path, new_chars)) {
          error = "cannot read \"" + name + "\"";
          return false;
        }
        const std::vector<uint8_t> old_bytes(old_chars.begin(), old_chars.end()), new_bytes(new_chars.begin(), new_chars.end());
        std::vector<uint8_t> delta;
        const std::string old_digest = DigestOf(old_bytes);
        if (ChooseDelta(old_bytes, new_bytes, old_digest, delta)) {
          if (!WriteStaged(PathOfArchiveName(stage / "___delta", archive_name), delta, file.WriteTime, file.Attributes,
                           error)) {
            return false;
          }
          delta_digests[name] = old_digest;
          as_delta = true;
          ++summary.LooseDeltas;
          summary.LooseDeltaBytes += delta.size();
        }
      }
    }
    if (!as_delta && !CopyWithTimes(new_path, PathOfArchiveName(stage, archive_name), file, error)) return false;
    ++summary.LooseFiles;
    if (whole_reason.empty()) {
      ++(is_new ? summary.LooseAdded : summary.LooseReplaced);
      if (!as_delta) summary.LooseBytes += file.Size;
    }
    records.Times.push_back({name, file.WriteTime});
    loose[FoldNameCase(name)] = {name, new_path, (file.Attributes & 1) != 0};
    compared += file.Size;
    progress("comparing", compared, compare_total);
  }
  summary.TimeStamps = static_cast<int>(records.Times.size());
  {
    std::map<std::string, uint64_t> member_times;
    for (const MergedArchive& archive : merged) member_times.insert(archive.DirectoryTimes.begin(), archive.DirectoryTimes.end());
    SetStagedDirectoryTimes(stage, std::string(), new_files, member_times);
  }

  std::vector<std::string> sources;
  for (fs::directory_iterator it(stage, ec), end; !ec && it != end; it.increment(ec)) {
    sources.push_back(ArchivePath(it->path()));
  }
  if (sources.empty()) {
    error = "the two versions do not differ in any file";
    return false;
  }
  std::sort(sources.begin(), sources.end());

  // Every record is laid out with its real values and its tags placed before anything is
  // written.
  std::vector<uint8_t> payload;
  if (!lay_out(records, payload)) return false;
  summary.RecordsSize = payload.size();

  const fs::path archive_path = work.Root / "patch.gca";
  {
    auto builder = std::make_unique<gca::GcaArchive>();
    NoticeLog log;
    if (!builder->PrepareBuffers()) {
      error = "cannot allocate the archive buffers";
      return false;
    }
    InstallToolNotices(builder.get(), &log);
    builder->SetProgressCallback([&](uint64_t done, uint64_t total, gca::GcaArchive*) -> int32_t {
      progress("packing", done, total);
      return 1;
    });
    builder->CompressData = true;
    builder->CompressDirectory = true;
    builder->SetThreads(gca::ProcessorCount());  // the same bytes on any number of threads
    builder->SetArchivePath(ArchivePath(archive_path));
    builder->SetSourceList(sources);
    const bool built = builder->Build() && !log.Failed;
    builder->ReleaseBuffers();
    if (!built) {
      error = "building the patch archive failed";
      return false;
    }
  }

  // The archive is copied in pieces: a data archive shipped whole may be larger than
  // the memory of the machine that builds the patch.
  std::error_code size_error;
  summary.ArchiveSize = fs::file_size(archive_path, size_error);
  const fs::path patch = work.Root / "patch.exe";
  {
    std::ifstream in(archive_path, std::ios::binary);
    std::ofstream out(patch, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(stub.data()), static_cast<std::streamsize>(summary.ImageEnd));
    out.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    std::vector<char> buffer(1 << 20);
    uint64_t copied = 0;
    while (in && out) {
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      out.write(buffer.data(), in.gcount());
      copied += static_cast<uint64_t>(in.gcount());
    }
    out.close();
    if (size_error || in.bad() || !out || copied != summary.ArchiveSize) {
      error = "cannot write \"" + patch.u8string() + "\"";
      return false;
    }
  }
  summary.PatchSize = summary.ImageEnd + payload.size() + summary.ArchiveSize;
  if (options.AfterWrite) options.AfterWrite(patch.u8string());
  if (!VerifyPatch(patch, records, summary.ImageEnd + payload.size() - kTagSize, loose, merged, delta_digests, options,
                   error)) {
    return false;
  }
  fs::path finished = patch;
  if (options.Sign.Enabled()) {
    // The signature covers the appended payload: signing comes last.
    finished = work.Root / "signed.exe";
    if (!SignPatch(options.Sign, patch, finished, work.Root / "sign.log", summary.ImageEnd, summary.SignatureSize,
                   error)) {
      return false;
    }
    summary.PatchSize = fs::file_size(finished, ec);
  }
  return ReplaceOutput(finished, fs::u8path(options.Output), error);
}

std::string SummaryText(const PatchSummary& s) {
  std::ostringstream out;
  for (const ArchiveSummary& a : s.Archives) {
    if (a.ShippedWhole) out << a.Name << ": " << a.WholeReason << ", shipped whole, " << FormatBytes(a.Bytes) << "\n";
  }
  if (s.MembersTimeOnly > 0) {
    out << s.MembersTimeOnly << (s.MembersTimeOnly == 1 ? " member differs" : " members differ")
        << " only in time: " << (s.WithTimes ? "shipped (--with-times)" : "not shipped") << "\n";
  }
  if (s.LooseTimeOnly > 0) {
    out << s.LooseTimeOnly << (s.LooseTimeOnly == 1 ? " loose file differs" : " loose files differ")
        << " only in time: " << (s.WithTimes ? "time stamp only (--with-times)" : "not shipped, no time stamp")
        << "\n";
  }
  int members = 0;
  uint64_t member_bytes = 0;
  for (const ArchiveSummary& a : s.Archives) {
    members += s.KeepDeleted ? a.Kept : a.Deleted;
    member_bytes += s.KeepDeleted ? a.KeptBytes : a.DeletedBytes;
  }
  if (s.KeepDeleted && (s.LooseKept > 0 || members > 0)) {
    out << "kept (--keep-deleted): " << s.LooseKept << " loose file(s) of " << FormatBytes(s.LooseKeptBytes) << ", "
        << members << " member(s) of " << FormatBytes(member_bytes) << " stay in the players' installations\n";
  } else if (s.LooseDeleted > 0 || members > 0 || s.DirectoriesDeleted > 0) {
    out << "deleted: " << s.LooseDeleted << " loose file(s) of " << FormatBytes(s.LooseDeletedBytes) << " ("
        << s.DataArchivesDeleted << " data archive(s)), " << members << " member(s) of " << FormatBytes(member_bytes)
        << ", " << s.DirectoriesDeleted << " directory(ies) when left empty\n";
  }
  if (!s.DeltasEnabled) out << "deltas: off (--no-delta), changed files shipped whole\n";
  if (s.TooLargeForDelta > 0) out << s.TooLargeForDelta << " changed file(s) too large for a delta: shipped whole\n";
  char line[256];
  std::snprintf(line, sizeof line, "%-28s %7s %9s %10s %10s %12s %8s %7s %12s\n", "", "added", "replaced",
                "unchanged", "time only", "whole bytes", s.KeepDeleted ? "kept" : "deleted", "deltas", "delta bytes");
  out << line;
  std::snprintf(line, sizeof line, "%-28s %7d %9d %10s %10d %12s %8d %7d %12s\n", "loose files", s.LooseAdded,
                s.LooseReplaced, "-", s.LooseTimeOnly, FormatBytes(s.LooseBytes).c_str(),
                s.KeepDeleted ? s.LooseKept : s.LooseDeleted, s.LooseDeltas, FormatBytes(s.LooseDeltaBytes).c_str());
  out << line;
  for (const ArchiveSummary& a : s.Archives) {
    const std::string name = a.Name.size() > 28 ? a.Name.substr(0, 25) + "..." : a.Name;
    if (a.ShippedWhole) {
      std::snprintf(line, sizeof line, "%-28s %-40s %12s\n", name.c_str(), "  shipped whole", FormatBytes(a.Bytes).c_str());
    } else {
      std::snprintf(line, sizeof line, "%-28s %7d %9d %10d %10d %12s %8d %7d %12s\n", name.c_str(), a.Added,
                    a.Replaced, a.Unchanged, a.TimeOnly, FormatBytes(a.Bytes).c_str(),
                    s.KeepDeleted ? a.Kept : a.Deleted, a.Deltas, FormatBytes(a.DeltaBytes).c_str());
    }
    out << line;
  }
  out << s.TimeStamps << " time stamp(s); patch " << FormatBytes(s.PatchSize) << " (" << s.PatchSize
      << " bytes: image " << s.ImageEnd << ", records " << s.RecordsSize << ", archive " << s.ArchiveSize;
  if (s.SignatureSize != 0) out << ", signature table " << s.SignatureSize;
  out << ")\n";
  if (s.SignatureSize != 0) out << "signed: certificate table " << s.SignatureSize << " bytes behind the archive\n";
  return out.str();
}

bool DescribePatch(const std::string& path, std::string& text, std::string& error) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in) {
    error = "cannot read \"" + path + "\"";
    return false;
  }
  std::vector<uint8_t> head(4096);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  in.close();
  // Read as the updater reads it.
  HostPayloadFile file(fs::u8path(path));
  const int32_t archive_tag = FindRecordIn(file, ArchiveTag());
  if (archive_tag < 0) {
    error = "not a patch: no ARCHIVE_DATA record in the first 1,048,576 bytes of \"" + path + "\"";
    return false;
  }
  std::ostringstream s;
  auto show = [&](const char* label, bool present, const std::string& value) {
    s << label << ": " << (present ? "\"" + value + "\"" : std::string("(missing)")) << "\n";
  };
  std::string value;
  bool ok = ReadTextRecordIn(file, TitleName, value);
  show("title", ok, value);
  ok = ReadTextRecordIn(file, VersionOldName, value);
  show("old version", ok, value);
  ok = ReadTextRecordIn(file, VersionNewName, value);
  show("new version", ok, value);
  ok = ReadTextRecordIn(file, CheckFileOldName, value);
  show("old check file", ok, value);
  ok = ReadDigestRecordIn(file, CheckOldHashName, value);
  show("old check digest", ok, value);
  ok = ReadTextRecordIn(file, CheckFileNewName, value);
  show("new check file", ok, value);
  ok = ReadDigestRecordIn(file, CheckNewHashName, value);
  show("new check digest", ok, value);
  std::vector<TimeStamp> stamps;
  bool complete = false;
  const bool listed = ReadTimeStampsIn(file, stamps, complete);
  s << "time stamps: " << (listed ? std::to_string(stamps.size()) : std::string("(missing)"))
    << (listed && !complete ? " (list cut short)" : "") << "\n";
  for (const TimeStamp& stamp : stamps) s << "  " << stamp.WriteTime << "  " << stamp.Name << "\n";
  {
    std::vector<Deletion> deletions;
    bool whole = false;
    if (ReadDeletionsIn(file, deletions, whole)) {
      s << "deletions: " << deletions.size() << (whole ? "" : " (list cut short)") << "\n";
      for (const Deletion& deletion : deletions) {
        s << "  " << (deletion.Directory ? "dir  " : "file ") << deletion.Name << "\n";
      }
    }
  }
  {
    uint64_t offset = 0, length = 0;
    if (PeCertificateTable(head.data(), head.size(), offset, length) && length != 0) {
      s << "signature: certificate table of " << length << " bytes at offset " << offset << "\n";
    } else {
      s << "signature: none\n";
    }
  }
  s << "archive at offset " << archive_tag + 16 << "\n";
  bool opened = false;
  {
    gca::ArchiveHandle handle;
    handle.Create();
    NoticeLog log;
    if (handle.PrepareBuffers()) {
      handle.SetArchivePath(ArchivePath(fs::u8path(path)));
      handle.SetStartOffset(archive_tag + 16);
      InstallToolNotices(handle.Archive(), &log);
      if (handle.Open()) {
        opened = true;
        const int32_t count = handle.EntryCount();
        s << "entries: " << count << "\n";
        for (int32_t i = 0; i < count; ++i) {
          const gca::EntryRecord record = handle.Archive()->EntryInfo(i);
          const std::string name = Utf8OfArchiveName(handle.EntryName(i));
          s << "  " << ((record.Attributes & 0x10) ? "dir " : "    ") << record.UnpackedSize << "  " << name
            << (IsDeltaName(name) && !(record.Attributes & 0x10) ? "  (delta of " + name.substr(kDeltaPrefixSize) + ")" : "")
            << "\n";
        }
      } else {
        s << "entries: (the archive does not open)\n";
      }
      handle.Close();
      handle.ReleaseBuffers();
    }
    handle.Destroy();
  }
  text = s.str();
  if (!opened) {
    error = "damaged patch: the archive behind the ARCHIVE_DATA record does not open";
    return false;
  }
  return true;
}
