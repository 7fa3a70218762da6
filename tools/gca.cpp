// gca: command-line tool that creates, lists, extracts and tests GCA archives.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/gca_archive.h"
#include "archive/gca_file.h"
#include "archive/os.h"
#include "codec/block_pool.h"

#ifdef _WIN32
#include <io.h>
#define GCA_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define GCA_ISATTY(fd) isatty(fd)
#endif

namespace {

const char kVersion[] = "gca 1.1 (GCA archives: \"GCAX\" + \"GCA3\"; reads \"GCA0\"/\"GCA1\")\n";

const char kUsage[] =
    "usage: gca create [--store] [--solid] [--scramble] [--scramble-dir] [--plain-dir]\n"
    "                  [-j N] [--codepage N] ARCHIVE SOURCE...\n"
    "       gca list    [--offset N] [--codepage N] ARCHIVE\n"
    "       gca extract [--offset N] [-C DIR] [--overwrite] [-v] [-j N] [--codepage N] ARCHIVE\n"
    "       gca test    [--offset N] [-j N] [--codepage N] ARCHIVE\n"
    "       gca --help | --version\n"
    "\n"
    "create   archive each SOURCE (file or directory) under its own name;\n"
    "         compressed, not solid, unscrambled, compressed directory by default\n"
    "  --store         store entry data without compression\n"
    "  --solid         code all entry data as one continuous frame sequence\n"
    "                  (a solid stream is always compressed: with --store, gca says so)\n"
    "  --scramble      scramble entry data\n"
    "  --scramble-dir  scramble the directory\n"
    "  --plain-dir     do not compress the directory\n"
    "list     one line per entry: attributes, unpacked size, packed size, CRC,\n"
    "         last-write time (UTC), name\n"
    "extract  extract every entry below DIR (default: the current directory);\n"
    "         existing files are kept unless --overwrite is given; an entry replaces\n"
    "         a file only once it has decoded completely; -v prints each name\n"
    "test     decode every entry and check its CRC\n"
    "  --offset N      the archive starts N bytes into the file\n"
    "  -j, --threads N code blocks on N threads (default: one per processor;\n"
    "                  1 codes them on the main thread); the archive is the same\n"
    "  --codepage N    code page of the archive's names (default 1252; 932 Japanese)\n";

struct Args {
  std::string command;
  bool store = false, solid = false, scramble = false, scramble_dir = false, plain_dir = false;
  bool overwrite = false;
  bool verbose = false;
  bool code_page_given = false;
  int code_page = 1252;
  int32_t offset = 0;
  unsigned threads = gca::ProcessorCount();
  std::string directory = ".";
  std::vector<std::string> operands;
};

// Control bytes (and DEL) of a text shown on the terminal, as \xNN; so are bytes that
// UTF-8 would read as C1 control characters.
std::string Escape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const uint8_t c = uint8_t(text[i]);
    const bool c1 = c == 0xC2 && i + 1 < text.size() && uint8_t(text[i + 1]) >= 0x80 && uint8_t(text[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      char buffer[16];
      if (c1) {
        std::snprintf(buffer, sizeof(buffer), "\\x%02x\\x%02x", c, uint8_t(text[i + 1]));
        ++i;
      } else {
        std::snprintf(buffer, sizeof(buffer), "\\x%02x", c);
      }
      out += buffer;
    } else {
      out.push_back(char(c));
    }
  }
  return out;
}

int Fail(const char* format, const std::string& text = std::string()) {
  std::fprintf(stderr, "gca: ");
  std::fprintf(stderr, format, Escape(text).c_str());
  std::fprintf(stderr, "\n");
  return 1;
}

bool ParseNumber(const char* text, int64_t low, int64_t high, int64_t* value) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

// Host text -> archive text; on the host '/' becomes the archive's backslash.
bool ToArchivePath(const std::string& host, std::string* path) {
  if (!gca::os::HostToArchiveText(host, path)) return false;
#ifndef _WIN32
  for (char& c : *path) {
    if (c == '/') c = '\\';
  }
#endif
  return true;
}

// An archive text as the terminal shows it: in the host's text, with '/' separators on
// the host, control bytes escaped. Bytes without a form in the code page are shown
// escaped too.
std::string Display(const std::string& text) {
  std::string host;
  if (!gca::os::ArchiveToHostText(text, &host)) {
    std::string out;
    for (char c : text) {
      if (uint8_t(c) >= 0x80) {
        char buffer[8];
        std::snprintf(buffer, sizeof(buffer), "\\x%02x", uint8_t(c));
        out += buffer;
      } else {
        out.push_back(c);
      }
    }
    host = out;
  }
#ifndef _WIN32
  for (char& c : host) {
    if (c == '\\') c = '/';
  }
#endif
  return Escape(host);
}

bool IsDoubleByteCodePage(int code_page) {
  return code_page == 932 || code_page == 936 || code_page == 949 || code_page == 950 || code_page == 1361;
}

// With a single-byte code page, a byte of the double-byte lead range followed by a
// backslash suggests Shift-JIS names, whose trail byte 0x5C is no separator.
void HintCodePage(gca::GcaArchive& a) {
  if (IsDoubleByteCodePage(gca::os::NameCodePage())) return;
  for (int32_t i = 0; i < a.EntryCount(); ++i) {
    const std::string name = a.EntryName(i);
    for (size_t k = 0; k + 1 < name.size(); ++k) {
      const uint8_t c = uint8_t(name[k]);
      if (name[k + 1] == '\\' && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC))) {
        std::fprintf(stderr,
                     "gca: note: names in this archive look like Japanese text (a double-byte character ending "
                     "in 0x5C); the archive may need --codepage 932\n");
        return;
      }
    }
  }
}

std::string FormatTime(uint64_t filetime) {
  // Days since 1601-01-01 to a civil date (proleptic Gregorian).
  const uint64_t seconds = filetime / 10000000;
  int64_t days = int64_t(seconds / 86400) - 134774;  // 1970-01-01
  const uint64_t rem = seconds % 86400;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%04d-%02d-%02d %02d:%02d:%02d", int(y), int(m), int(d),
                int(rem / 3600), int(rem / 60 % 60), int(rem % 60));
  return buffer;
}

// Progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
 public:
  Progress() : enabled_(GCA_ISATTY(2) != 0) {}
  void Show(uint64_t done, uint64_t total) {
    if (!enabled_ || total == 0) return;
    const int percent = int(done >= total ? 100 : done * 100 / total);
    if (percent == last_) return;
    last_ = percent;
    char bar[41];
    const int filled = percent * 40 / 100;
    for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '.';
    bar[40] = 0;
    std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
    std::fflush(stderr);
    drawn_ = true;
  }
  void End() {
    if (drawn_) std::fprintf(stderr, "\r%60s\r", "");
    drawn_ = false;
    last_ = -1;
  }

 private:
  bool enabled_;
  bool drawn_ = false;
  int last_ = -1;
};

// Turns the archive's notices into messages and answers.
struct Session {
  Args args;
  Progress progress;
  int errors = 0;
  int crc_errors = 0;
  std::string last_notice;
  // Sources as the user typed them, with the absolute host paths they were given as.
  std::vector<std::pair<std::string, std::string>> typed_sources;

  void Error(const std::string& message) {
    progress.End();
    std::fprintf(stderr, "gca: %s\n", Escape(message).c_str());
    ++errors;
  }

  void Note(const std::string& message) {
    progress.End();
    std::fprintf(stderr, "gca: %s\n", Escape(message).c_str());
  }

  // A host path below one of the sources, shown the way the user named that source.
  std::string AsTyped(const std::string& host) const {
    for (const auto& t : typed_sources) {
      const std::string& full = t.second;
      if (host.compare(0, full.size(), full) == 0 && (host.size() == full.size() || host[full.size()] == '/' ||
                                                     host[full.size()] == '\\')) {
        return t.first + host.substr(full.size());
      }
    }
    return host;
  }

  int32_t OnNotice(uint32_t code, const std::string& text) {
    switch (code) {
      case gca::kNoticeBadHeader:
        Error("unrecognised archive header");
        return -1;
      case gca::kNoticeScrambledDirectory:
      case gca::kNoticeSolidIndex:
        return 0;
      case gca::kNoticeBadCheckWord:
        Error("the directory does not descramble (wrong key or damaged archive)");
        return -1;
      case gca::kNoticeDirectoryCrc:
        Error("directory CRC mismatch (damaged archive)");
        return -1;
      case gca::kNoticeCannotCreateDirectory:
        Error("cannot create directory " + Display(text));
        return 0;
      case gca::kNoticeTargetExists:
        if (args.overwrite) return 0;
        Error(Display(text) + " exists; not overwritten (use --overwrite)");
        return 1;
      case gca::kNoticeEntryCrc:
        Error("CRC mismatch: " + Display(text));
        ++crc_errors;
        return 0;
      case gca::kNoticeCannotOpenSource:
        Error("cannot read " + Display(text) + " (or its name has no form in code page " +
              std::to_string(gca::os::NameCodePage()) + ")");
        return -1;
      case gca::kNoticeBuildReadError:
        Error("read error while archiving (a source changed?)");
        return 0;
      case gca::kNoticeBuildWriteError:
        Error("write error while archiving (disk full?)");
        return 0;
      case gca::kNoticeUnsafeName:
        Error("refused unsafe entry name (leaves the output directory, names a device or holds control "
              "characters): " + Display(text));
        return 0;
      case gca::kNoticeUnsafeTarget:
        Error("refused " + Display(text) + ": it is a link, runs through one, or is not a regular file");
        return 0;
      case gca::kNoticeUnrepresentableSource:
        Error("name has no form in code page " + std::to_string(gca::os::NameCodePage()) + ": " + AsTyped(text));
        return -1;
      case gca::kNoticeSkippedSource:
        Note("skipped (not a file or directory): " + AsTyped(text));
        return 0;
      case gca::kNoticeSkippedArchive:
        Note("skipped the archive being written: " + Display(text));
        return 0;
      default:
        return 0;
    }
  }

  void Attach(gca::GcaArchive& a) {
    a.SetNoticeCallback([this](uint32_t code, const std::string& text, gca::GcaArchive*) {
      return OnNotice(code, text);
    });
  }
};

// Exit code 2 for a wrong number of operands, else -1.
int CheckOneOperand(const Session& s) {
  if (s.args.operands.size() == 1) return -1;
  std::fprintf(stderr, "gca: %s takes exactly one ARCHIVE\n%s", s.args.command.c_str(), kUsage);
  return 2;
}

bool OpenForReading(Session& s, gca::GcaArchive& a, std::string* path) {
  if (!ToArchivePath(s.args.operands[0], path)) {
    s.Error("archive path has no form in the code page: " + s.args.operands[0]);
    return false;
  }
  if (!a.PrepareBuffers()) {
    s.Error("out of memory");
    return false;
  }
  s.Attach(a);
  a.SetThreads(s.args.threads);
  a.ScrambleDirectory = true;
  a.SetArchivePath(*path);
  a.SetStartOffset(s.args.offset);
  if (!a.ReadDirectory()) {
    s.Error("cannot read archive " + s.args.operands[0] + " (missing, not an archive, or damaged)");
    return false;
  }
  return true;
}

uint64_t TotalSize(gca::GcaArchive& a) {
  uint64_t total = 0;
  for (int32_t i = 0; i < a.EntryCount(); ++i) total += a.EntryInfo(i).UnpackedSize;
  return total;
}

int List(Session& s) {
  if (CheckOneOperand(s) >= 0) return 2;
  gca::GcaArchive a;
  std::string path;
  if (!OpenForReading(s, a, &path)) return 1;
  HintCodePage(a);
  for (int32_t i = 0; i < a.EntryCount(); ++i) {
    const gca::EntryRecord r = a.EntryInfo(i);
    std::printf("%08" PRIx32 " %12" PRIu64 " %12" PRIu64 " %08" PRIx32 " %s %s\n", r.Attributes, r.UnpackedSize,
                r.PackedSize, r.Crc, FormatTime(r.WriteTime).c_str(), Display(a.EntryName(i)).c_str());
  }
  return s.errors ? 1 : 0;
}

// Counts and drops decoded bytes.
class NullStream : public gca::ByteStream {
 public:
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void*, uint32_t n) override { return n; }
  bool Seek(uint64_t) override { return true; }
  uint64_t Tell() override { return 0; }
};

int Decode(Session& s, bool extract) {
  if (CheckOneOperand(s) >= 0) return 2;
  gca::GcaArchive a;
  std::string path;
  if (!OpenForReading(s, a, &path)) return 1;
  if (extract) HintCodePage(a);
  std::string out;
  if (extract) {
    if (!ToArchivePath(s.args.directory, &out)) return Fail("output directory has no form in the code page: %s", s.args.directory);
    if (!gca::CreateDirectoryTree(out)) return Fail("cannot create output directory %s", s.args.directory);
    a.SetOutputDirectory(out);
  }
  const uint64_t total = TotalSize(a);
  uint64_t base = 0;
  a.SetProgressCallback([&](uint64_t done, uint64_t, gca::GcaArchive*) {
    s.progress.Show(base + done, total);
    return 0;
  });
  int failed = 0;
  for (int32_t i = 0; i < a.EntryCount(); ++i) {
    const gca::EntryRecord r = a.EntryInfo(i);
    const std::string name = a.EntryName(i);
    const int before = s.errors;
    bool ok;
    if (extract) {
      if (!gca::os::NameRepresentable(gca::JoinPath(out, name))) {
        s.Error("entry name has no form on this file system in code page " +
                std::to_string(gca::os::NameCodePage()) + ": " + Display(name));
        ++failed;
        continue;
      }
      ok = a.ExtractEntry(i);
      if (ok && s.args.verbose) {
        s.progress.End();
        std::printf("%s\n", Display(name).c_str());
        std::fflush(stdout);
      }
    } else {
      NullStream null;
      ok = (r.Attributes & gca::kAttrDirectory) || a.DecodeEntry(null, i, name);
    }
    base += r.UnpackedSize;
    if (!ok) {
      ++failed;
      if (s.errors == before) s.Error(std::string(extract ? "cannot extract " : "damaged entry ") + Display(name));
    }
  }
  s.progress.End();
  if (!extract) {
    if (failed || s.crc_errors) {
      std::fprintf(stderr, "gca: %d of %d entries failed the test\n", failed + s.crc_errors, int(a.EntryCount()));
      return 1;
    }
    std::printf("%d entries OK\n", int(a.EntryCount()));
  }
  return (failed || s.errors) ? 1 : 0;
}

bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

// A path without trailing separators (a root keeps its own).
std::string StripSeparators(std::string path) {
  while (path.size() > 1 && IsSeparator(path.back())) {
#ifdef _WIN32
    if (path.size() == 3 && path[1] == ':') break;  // a drive root
#endif
    path.pop_back();
  }
  return path;
}

// The absolute form of a source as the user named it: its directory is resolved, its
// own name is kept (a link is archived under the link's name, not its target's).
// Empty when the directory does not exist.
std::string AbsoluteSource(const std::string& typed) {
  const std::string path = StripSeparators(typed);
#ifdef _WIN32
  return gca::os::FullHostPath(path);
#else
  const size_t slash = path.rfind('/');
  const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  if (leaf.empty() || leaf == "." || leaf == "..") return gca::os::FullHostPath(path);
  const std::string parent = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
  const std::string full = gca::os::FullHostPath(parent);
  if (full.empty()) return full;
  return (full == "/" ? full : full + "/") + leaf;
#endif
}

int Create(Session& s) {
  if (s.args.operands.size() < 2) {
    std::fprintf(stderr, "gca: create needs ARCHIVE and at least one SOURCE\n%s", kUsage);
    return 2;
  }
  std::string path;
  if (!ToArchivePath(s.args.operands[0], &path)) return Fail("archive path has no form in the code page: %s", s.args.operands[0]);
  std::vector<std::string> sources;
  for (size_t i = 1; i < s.args.operands.size(); ++i) {
    const std::string& typed = s.args.operands[i];
    const std::string full = AbsoluteSource(typed);
    std::string source;
    if (full.empty() || !ToArchivePath(full, &source) ||
        gca::os::Probe(source) == gca::os::PathKind::kMissing) {
      if (!full.empty() && !ToArchivePath(full, &source)) {
        return Fail("source path has no form in the code page: %s", typed);
      }
      return Fail("no such file or directory: %s", typed);
    }
    sources.push_back(source);
    s.typed_sources.emplace_back(StripSeparators(typed), full);
  }
  gca::GcaArchive a;
  if (!a.PrepareBuffers()) return Fail("out of memory");
  s.Attach(a);
  a.SetThreads(s.args.threads);
  if (s.args.store && s.args.solid) {
    std::fprintf(stderr, "gca: a solid stream is always compressed; --store applies to non-solid archives only\n");
  }
  a.CompressData = !s.args.store;
  a.Solid = s.args.solid;
  a.ScrambleData = s.args.scramble;
  a.ScrambleDirectory = s.args.scramble_dir;
  a.CompressDirectory = !s.args.plain_dir;
  a.EntryCrc = true;
  a.SetProgressCallback([&](uint64_t done, uint64_t total, gca::GcaArchive*) {
    s.progress.Show(done, total);
    return 0;
  });
  a.SetArchivePath(path);
  a.SetSourceList(sources);
  const bool ok = a.Build();
  s.progress.End();
  if (!ok) {
    // The archive is written beside its path and renamed only on success: an older
    // archive there is left as it was.
    if (s.errors == 0) s.Error("cannot create archive " + s.args.operands[0]);
    return 1;
  }
  return 0;
}

int ParseArgs(int argc, char** argv, Args* args) {
  if (argc < 2) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::printf("%s", kUsage);
    return 0;
  }
  if (command == "--version" || command == "-V") {
    std::printf("%s", kVersion);
    return 0;
  }
  if (command != "create" && command != "list" && command != "extract" && command != "test") {
    std::fprintf(stderr, "gca: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
  }
  args->command = command;
  const bool create = command == "create";
  bool options_done = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "gca: %s needs a value\n", what);
        return nullptr;
      }
      return argv[++i];
    };
    if (options_done || a.empty() || a[0] != '-' || a == "-") {
      args->operands.push_back(a);
      continue;
    }
    int64_t number = 0;
    if (a == "--") {
      options_done = true;
    } else if (a == "--help" || a == "-h") {
      std::printf("%s", kUsage);
      return 0;
    } else if (a == "--codepage") {
      const char* v = value("--codepage");
      if (!v || !ParseNumber(v, 1, 65535, &number)) return std::fprintf(stderr, "gca: bad --codepage\n"), 2;
      args->code_page = int(number);
      args->code_page_given = true;
    } else if (create && a == "--store") {
      args->store = true;
    } else if (create && a == "--solid") {
      args->solid = true;
    } else if (create && a == "--scramble") {
      args->scramble = true;
    } else if (create && a == "--scramble-dir") {
      args->scramble_dir = true;
    } else if (create && a == "--plain-dir") {
      args->plain_dir = true;
    } else if (command != "list" && (a == "-j" || a == "--threads")) {
      const char* v = value(a.c_str());
      if (!v || !ParseNumber(v, 1, 64, &number)) return std::fprintf(stderr, "gca: bad %s\n", a.c_str()), 2;
      args->threads = unsigned(number);
    } else if (!create && a == "--offset") {
      const char* v = value("--offset");
      if (!v || !ParseNumber(v, 0, INT32_MAX, &number)) return std::fprintf(stderr, "gca: bad --offset\n"), 2;
      args->offset = int32_t(number);
    } else if (command == "extract" && a == "-C") {
      const char* v = value("-C");
      if (!v) return 2;
      args->directory = v;
    } else if (command == "extract" && a == "--overwrite") {
      args->overwrite = true;
    } else if (command == "extract" && (a == "-v" || a == "--verbose")) {
      args->verbose = true;
    } else {
      std::fprintf(stderr, "gca: unknown option '%s' for %s\n%s", a.c_str(), command.c_str(), kUsage);
      return 2;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  Session s;
  const int parsed = ParseArgs(argc, argv, &s.args);
  if (parsed >= 0) return parsed;
#ifdef _WIN32
  // Names are in the system's ANSI code page; another one cannot be used here.
  if (s.args.code_page_given && !gca::os::SetNameCodePage(s.args.code_page)) {
    return Fail("code page %s is not the system's ANSI code page here",
                std::to_string(s.args.code_page) + " (" + std::to_string(gca::os::NameCodePage()) + ")");
  }
#else
  if (!gca::os::SetNameCodePage(s.args.code_page)) {
    return Fail("code page %s is not supported", std::to_string(s.args.code_page));
  }
#endif
  if (s.args.command == "create") return Create(s);
  if (s.args.command == "list") return List(s);
  if (s.args.command == "extract") return Decode(s, true);
  return Decode(s, false);
}
