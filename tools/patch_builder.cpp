#include "tools/patch_builder.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "app/payload_format.h"
#include "archive/gca_archive.h"
#include "codec/block_pool.h"
#include "archive/os.h"
#include "codec/sha512.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/text.h"
#else
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

struct TreeFile {
  bool Directory = false;
  uint64_t WriteTime = 0;
  uint32_t Attributes = 0;
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
    if (!GetTime(it->path(), file.WriteTime)) {
      error = "cannot read the time of \"" + it->path().u8string() + "\"";
      return false;
    }
    file.Attributes = GetAttributes(it->path());
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

// The data-archive members, as the archive lists them.
struct Member {
  std::string Name;  // system code page
  gca::EntryRecord Record;
  int32_t Index = 0;
};

// Answers the notices as a tool that wants every readable archive read: solid archives
// get their index, scrambled directories are decrypted.
void InstallToolNotices(gca::GcaArchive* archive, bool* failed) {
  archive->SetNoticeCallback([failed](uint32_t code, const std::string&, gca::GcaArchive*) -> int32_t {
    switch (code) {
      case gca::kNoticeSolidIndex:
      case gca::kNoticeScrambledDirectory:
        return 0;
      case gca::kNoticeEntryCrc:
      case gca::kNoticeUnsafeName:
      case gca::kNoticeCannotCreateDirectory:
      case gca::kNoticeCannotOpenSource:
      case gca::kNoticeBuildReadError:
      case gca::kNoticeBuildWriteError:
        if (failed != nullptr) *failed = true;
        return -1;
      default:
        return -1;
    }
  });
}

class ArchiveReader {
 public:
  bool Open(const fs::path& path) {
    handle_.Create();
    if (!handle_.PrepareBuffers()) return false;
    handle_.SetArchivePath(ArchivePath(path));
    InstallToolNotices(handle_.Archive(), &failed_);
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
  bool Extract(const fs::path& directory, int32_t index) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    handle_.SetOutputDirectory(ArchivePath(directory));
    return handle_.ExtractEntry(index) && !failed_;
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
  bool failed_ = false;
};

// Removes the builder's work tree whatever way the build ends.
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

enum class Staged { Failed, Members, NotArchives };

// Compares one data archive of both trees and stages its new and changed members below
// stage/___. Failed (with a message) when the patch cannot express the change;
// NotArchives when either file is no archive, so that it is shipped whole.
Staged StageDataArchive(const std::string& name, const fs::path& old_path, const fs::path& new_path,
                        const fs::path& work, const fs::path& staging, int& members, std::string& error) {
  const std::string base_utf8 = name.substr(0, name.size() - 4);
  const std::string base = ArchiveText(base_utf8);
  if (base.empty()) {
    error = "the name of \"" + name + "\" has no form in the code page";
    return Staged::Failed;
  }
  ArchiveReader old_archive, new_archive;
  if (!old_archive.Open(old_path) || !new_archive.Open(new_path)) return Staged::NotArchives;
  std::map<std::string, const Member*> old_members;
  for (const Member& member : old_archive.Members()) old_members[member.Name] = &member;
  std::set<std::string> new_names;
  for (const Member& member : new_archive.Members()) {
    // The updater packs the directory named after the archive: every member must be in it.
    if (member.Name != base && member.Name.compare(0, base.size() + 1, base + "\\") != 0) {
      error = "member \"" + Utf8OfArchiveName(member.Name) + "\" of \"" + name + "\" is not below \"" + base_utf8 +
              "\\\"; the updater rebuilds the archive from that directory";
      return Staged::Failed;
    }
    if (!IsSafeRelativeName(Utf8OfArchiveName(member.Name))) {
      error = "member \"" + Utf8OfArchiveName(member.Name) + "\" of \"" + name + "\" is not a safe relative name";
      return Staged::Failed;
    }
    new_names.insert(member.Name);
  }
  for (const Member& member : old_archive.Members()) {
    if (new_names.count(member.Name) == 0) {
      error = "member \"" + Utf8OfArchiveName(member.Name) + "\" of \"" + name +
              "\" was deleted in the new version; a patch can only add and replace members";
      return Staged::Failed;
    }
  }
  const fs::path old_dir = work / "old";
  const fs::path new_dir = work / "new";
  for (const Member& member : new_archive.Members()) {
    const bool directory = (member.Record.Attributes & 0x10) != 0;
    auto found = old_members.find(member.Name);
    bool changed = found == old_members.end();
    if (!changed && !directory) {
      const gca::EntryRecord& a = found->second->Record;
      const gca::EntryRecord& b = member.Record;
      changed = a.Crc != b.Crc || a.UnpackedSize != b.UnpackedSize || a.Attributes != b.Attributes ||
                a.WriteTime != b.WriteTime;
      if (!changed) {
        // Equal records: the bytes decide.
        if (!old_archive.Extract(old_dir, found->second->Index) || !new_archive.Extract(new_dir, member.Index)) {
          error = "cannot extract \"" + Utf8OfArchiveName(member.Name) + "\" of \"" + name + "\"";
          return Staged::Failed;
        }
        bool same = false;
        if (!SameBytes(PathOfArchiveName(old_dir, member.Name), PathOfArchiveName(new_dir, member.Name), same)) {
          error = "cannot compare \"" + Utf8OfArchiveName(member.Name) + "\" of \"" + name + "\"";
          return Staged::Failed;
        }
        changed = !same;
      }
    }
    if (!changed) continue;
    if (!new_archive.Extract(staging, member.Index)) {
      error = "cannot extract \"" + Utf8OfArchiveName(member.Name) + "\" of \"" + name + "\"";
      return Staged::Failed;
    }
    ++members;
  }
  return Staged::Members;
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

}  // namespace

bool BuildPatch(const PatchOptions& options, PatchSummary& summary, std::string& error) {
  summary = PatchSummary();
  if (!CheckSignOptions(options.Sign, error)) return false;
  if (!CheckCodePage(options.CodePage, error)) return false;
  const fs::path old_root = fs::u8path(options.OldDir);
  const fs::path new_root = fs::u8path(options.NewDir);

  PayloadRecords records;
  records.Title = options.Title;
  records.OldVersion = options.OldVersion;
  records.NewVersion = options.NewVersion;
  records.OldCheckFile = options.CheckFile;
  records.NewCheckFile = options.NewCheckFile.empty() ? options.CheckFile : options.NewCheckFile;
  std::replace(records.OldCheckFile.begin(), records.OldCheckFile.end(), '/', '\\');
  std::replace(records.NewCheckFile.begin(), records.NewCheckFile.end(), '/', '\\');
  // The texts are checked before any work is done.
  std::vector<uint8_t> probe;
  {
    PayloadRecords check = records;
    check.OldCheckHash = check.NewCheckHash = std::string(128, '0');
    if (!WritePayloadRecords(check, 0, probe, error)) return false;
  }
  if (!IsSafeRelativeName(records.OldCheckFile) || !IsSafeRelativeName(records.NewCheckFile)) {
    error = "the check file must be named relative to the game directory";
    return false;
  }
  records.OldCheckHash = FileDigest(old_root / FromUtf8(records.OldCheckFile));
  records.NewCheckHash = FileDigest(new_root / FromUtf8(records.NewCheckFile));
  if (records.OldCheckHash.empty() || records.NewCheckHash.empty()) {
    error = "the check file \"" + (records.OldCheckHash.empty() ? records.OldCheckFile : records.NewCheckFile) +
            "\" cannot be read in " + (records.OldCheckHash.empty() ? "the old" : "the new") + " tree";
    return false;
  }
  if (records.OldCheckHash == records.NewCheckHash) {
    error = "the check file is the same in both versions: the updater could not tell them apart";
    return false;
  }

  std::map<std::string, TreeFile> old_files, new_files;
  if (!ListTree(old_root, old_files, error) || !ListTree(new_root, new_files, error)) return false;
  for (const auto& [name, file] : old_files) {
    if (file.Directory) continue;
    auto found = new_files.find(name);
    if (found == new_files.end() || found->second.Directory) {
      error = "\"" + name + "\" was deleted in the new version; a patch can only add and replace files";
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
  // A signed updater image loses its certificate table with the bytes behind its
  // sections: the security directory must not point into the payload that replaces them.
  {
    uint64_t table = 0, table_size = 0;
    size_t entry = 0;
    if (PeCertificateTable(stub.data(), stub.size(), table, table_size, &entry) && (table != 0 || table_size != 0)) {
      std::memset(stub.data() + entry, 0, 8);
    }
  }

  WorkTree work;
  work.Root = fs::u8path(options.Output + ".work");
  std::error_code ec;
  fs::remove_all(work.Root, ec);
  const fs::path stage = work.Root / "stage";
  const fs::path staging = stage / "___";
  fs::create_directories(stage, ec);
  if (ec) {
    error = "cannot create the work directory \"" + work.Root.u8string() + "\"";
    return false;
  }

  int archive_number = 0;
  for (const auto& [name, file] : new_files) {
    if (file.Directory) continue;
    if (!IsSafeRelativeName(name) || name.compare(0, 3, "___") == 0) {
      error = "\"" + name + "\" cannot be named in a patch (names beginning with ___ are the data-archive staging)";
      return false;
    }
    const fs::path new_path = new_root / FromUtf8(name);
    auto old = old_files.find(name);
    bool same = false;
    if (old != old_files.end()) {
      if (!SameBytes(old_root / FromUtf8(name), new_path, same)) {
        error = "cannot compare \"" + name + "\"";
        return false;
      }
      if (same && (old->second.Attributes & 1) == (file.Attributes & 1)) {
        // Only the time differs: the time-stamp list sets it.
        if (old->second.WriteTime != file.WriteTime) records.Times.push_back({name, file.WriteTime});
        continue;
      }
      if (EndsWithDat(name)) {
        const fs::path archive_work = work.Root / ("a" + std::to_string(archive_number++));
        int members = 0;
        const Staged staged = StageDataArchive(name, old_root / FromUtf8(name), new_path, archive_work, staging,
                                               members, error);
        if (staged == Staged::Failed) return false;
        if (staged == Staged::Members) {
          if (name == records.NewCheckFile || name == records.OldCheckFile) {
            error = "the check file \"" + name +
                    "\" is a data archive that the updater rebuilds; its digest after the update cannot be known";
            return false;
          }
          if (members > 0) {
            ++summary.DataArchives;
            summary.Members += members;
          }
          records.Times.push_back({name, file.WriteTime});
          continue;
        }
        // Not archives: shipped whole like any other file.
      }
    }
    const std::string archive_name = ArchiveText(name);
    if (archive_name.empty()) {
      error = "\"" + name + "\" has no form in the code page of the entry names";
      return false;
    }
    if (!CopyWithTimes(new_path, PathOfArchiveName(stage, archive_name), file, error)) return false;
    ++summary.LooseFiles;
    records.Times.push_back({name, file.WriteTime});
  }
  summary.TimeStamps = static_cast<int>(records.Times.size());

  std::vector<std::string> sources;
  for (fs::directory_iterator it(stage, ec), end; !ec && it != end; it.increment(ec)) {
    sources.push_back(ArchivePath(it->path()));
  }
  if (sources.empty()) {
    error = "the two versions do not differ in any file";
    return false;
  }
  std::sort(sources.begin(), sources.end());

  const fs::path archive_path = work.Root / "patch.gca";
  {
    auto builder = std::make_unique<gca::GcaArchive>();
    bool failed = false;
    if (!builder->PrepareBuffers()) {
      error = "cannot allocate the archive buffers";
      return false;
    }
    InstallToolNotices(builder.get(), &failed);
    builder->CompressData = true;
    builder->CompressDirectory = true;
    builder->SetThreads(gca::ProcessorCount());  // the same bytes on any number of threads
    builder->SetArchivePath(ArchivePath(archive_path));
    builder->SetSourceList(sources);
    const bool built = builder->Build() && !failed;
    builder->ReleaseBuffers();
    if (!built) {
      error = "building the patch archive failed";
      return false;
    }
  }

  std::vector<uint8_t> payload;
  if (!WritePayloadRecords(records, summary.ImageEnd, payload, error)) return false;
  std::vector<char> archive;
  if (!ReadWhole(archive_path, archive)) {
    error = "cannot read back the patch archive";
    return false;
  }
  summary.ArchiveSize = archive.size();
  const fs::path patch = work.Root / "patch.exe";
  std::ofstream out(patch, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(stub.data()), static_cast<std::streamsize>(summary.ImageEnd));
  out.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
  out.write(archive.data(), static_cast<std::streamsize>(archive.size()));
  out.close();
  if (!out) {
    error = "cannot write \"" + patch.u8string() + "\"";
    return false;
  }
  summary.PatchSize = summary.ImageEnd + payload.size() + archive.size();
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

bool DescribePatch(const std::string& path, std::string& text, std::string& error) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in) {
    error = "cannot read \"" + path + "\"";
    return false;
  }
  std::vector<uint8_t> window(static_cast<size_t>(kSearchWindow));
  in.read(reinterpret_cast<char*>(window.data()), static_cast<std::streamsize>(window.size()));
  window.resize(static_cast<size_t>(in.gcount()));
  const PayloadView view = ParsePayload(window.data(), window.size());
  std::ostringstream s;
  auto show = [&](const char* label, bool present, const std::string& value) {
    s << label << ": " << (present ? "\"" + value + "\"" : std::string("(missing)")) << "\n";
  };
  show("title", view.HasTitle, view.Records.Title);
  show("old version", view.HasVersions, view.Records.OldVersion);
  show("new version", view.HasVersions, view.Records.NewVersion);
  show("old check file", view.HasOldCheck, view.Records.OldCheckFile);
  show("old check digest", view.HasOldCheck, view.Records.OldCheckHash);
  show("new check file", view.HasNewCheck, view.Records.NewCheckFile);
  show("new check digest", view.HasNewCheck, view.Records.NewCheckHash);
  s << "time stamps: " << view.Records.Times.size() << (view.HasTimes && !view.TimesComplete ? " (list cut short)" : "")
    << "\n";
  for (const TimeStamp& stamp : view.Records.Times) s << "  " << stamp.WriteTime << "  " << stamp.Name << "\n";
  {
    uint64_t offset = 0, length = 0;
    if (PeCertificateTable(window.data(), window.size(), offset, length) && length != 0) {
      s << "signature: certificate table of " << length << " bytes at offset " << offset << "\n";
    } else {
      s << "signature: none\n";
    }
  }
  if (view.ArchiveTagPosition < 0) {
    s << "archive: (missing)\n";
  } else {
    s << "archive at offset " << view.ArchiveTagPosition + 16 << "\n";
    gca::ArchiveHandle handle;
    handle.Create();
    bool failed = false;
    if (handle.PrepareBuffers()) {
      handle.SetArchivePath(ArchivePath(fs::u8path(path)));
      handle.SetStartOffset(view.ArchiveTagPosition + 16);
      InstallToolNotices(handle.Archive(), &failed);
      if (handle.Open()) {
        const int32_t count = handle.EntryCount();
        s << "entries: " << count << "\n";
        for (int32_t i = 0; i < count; ++i) {
          const gca::EntryRecord record = handle.Archive()->EntryInfo(i);
          s << "  " << ((record.Attributes & 0x10) ? "dir " : "    ") << record.UnpackedSize << "  "
            << Utf8OfArchiveName(handle.EntryName(i)) << "\n";
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
  return true;
}
