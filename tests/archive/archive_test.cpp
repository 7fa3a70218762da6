// The archive object: round trips through the writer and reader with every option,
// older directories built from the byte layout, the notices, unsafe names and damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "archive/gca_archive.h"
#include "archive/gca_file.h"
#include "archive/os.h"
#include "codec/archive_cipher.h"
#include "tests/archive/archive_builder.h"
#include "tests/archive/archive_test_util.h"

#ifdef _WIN32
#include <windows.h>
#endif

using namespace gca;
using namespace gca_test;

namespace {

constexpr char kDirectorySuffix[] = "Vemdra";

// A memory-backed stream; writes beyond `write_limit` fail (a full disk).
class MemoryStream : public ByteStream {
 public:
  std::string data;
  uint64_t position = 0;
  uint64_t write_limit = ~uint64_t(0);
  uint32_t Read(void* buffer, uint32_t n) override {
    if (position >= data.size()) {
      end_reached_ = 1;
      return 0;
    }
    const uint32_t k = uint32_t(std::min<uint64_t>(n, data.size() - position));
    std::memcpy(buffer, data.data() + position, k);
    position += k;
    return k;
  }
  uint32_t Write(const void* buffer, uint32_t n) override {
    if (position >= write_limit) return 0;
    n = uint32_t(std::min<uint64_t>(n, write_limit - position));
    if (data.size() < position + n) data.resize(size_t(position + n));
    std::memcpy(&data[size_t(position)], buffer, n);
    position += n;
    return n;
  }
  bool Seek(uint64_t p) override {
    position = p;
    return true;
  }
  uint64_t Tell() override { return position; }
};

struct Tree {
  // name -> contents; names ending in '\' are directories.
  std::map<std::string, std::string> files;
  std::vector<std::string> dirs;
  std::vector<std::string> read_only;
};

void MakeTree(const ScratchDir& dir, const Tree& t) {
  for (const auto& d : t.dirs) ASSERT_TRUE(CreateDirectoryTree(dir / d)) << d;
  for (const auto& f : t.files) {
    const int32_t k = LastIndexOf(f.first, '\\');
    if (k > 0) CreateDirectoryTree(dir / f.first.substr(0, size_t(k)));
    WriteFile(dir / f.first, f.second);
  }
  for (const auto& r : t.read_only) ASSERT_TRUE(os::SetAttributes(dir / r, 0x01 | os::GetAttributes(dir / r)));
}

Tree SampleTree() {
  Tree t;
  t.dirs = {"src\\empty", "src\\deep\\er\\est"};
  t.files["src\\zero.bin"] = "";
  t.files["src\\a.txt"] = "first file\n";
  t.files["src\\deep\\b.txt"] = TestBytes(70000, 1);
  t.files["src\\deep\\er\\big.dat"] = TestBytes(1310720, 2);  // 1.25 MiB: two blocks
  t.files["src\\deep\\er\\noise.bin"] = TestBytes(150000, 3, false);  // incompressible
  t.files["src\\ro.txt"] = "read only";
  t.files["src\\noext"] = "x";
  t.read_only = {"src\\ro.txt"};
  return t;
}

struct Options {
  bool compress, solid, scramble, scramble_dir, compress_dir;
};

bool BuildArchive(const std::string& path, const std::vector<std::string>& sources, const Options& o,
                  NoticeLog* log = nullptr) {
  GcaArchive a;
  if (!a.PrepareBuffers()) return false;
  a.CompressData = o.compress;
  a.Solid = o.solid;
  a.ScrambleData = o.scramble;
  a.ScrambleDirectory = o.scramble_dir;
  a.CompressDirectory = o.compress_dir;
  if (log) a.SetNoticeCallback(log->Callback());
  a.SetArchivePath(path);
  a.SetSourceList(sources);
  return a.Build();
}

// Extracts everything; returns the number of entries that failed.
int ExtractAll(GcaArchive& a, const std::string& out) {
  a.SetOutputDirectory(out);
  int failed = 0;
  for (int32_t i = 0; i < a.EntryCount(); ++i) failed += !a.ExtractEntry(i);
  return failed;
}

void ExpectTree(const ScratchDir& out, const Tree& t, bool times_from = false) {
  (void)times_from;
  for (const auto& d : t.dirs) EXPECT_EQ(os::GetAttributes(out / d) & 0x10, 0x10u) << d;
  for (const auto& f : t.files) {
    bool ok = false;
    const std::string got = ReadFile(out / f.first, &ok);
    EXPECT_TRUE(ok) << f.first;
    EXPECT_TRUE(got == f.second) << f.first << " differs (" << got.size() << " vs " << f.second.size() << ")";
  }
  for (const auto& r : t.read_only) EXPECT_EQ(os::GetAttributes(out / r) & 0x01, 0x01u) << r;
}

uint64_t WriteTimeOf(const std::string& path) {
  os::FindData d;
  const os::Handle h = os::FindFirst(path, &d);
  os::FindClose(h);
  return h == os::kInvalidHandle ? 0 : d.write_time;
}

std::string Slurp(const std::string& path) { return ReadFile(path); }

void Spit(const std::string& path, const std::string& bytes) { WriteFile(path, bytes); }

}  // namespace

// ---- round trips ------------------------------------------------------------------

class RoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(RoundTrip, TreeSurvivesEveryOptionCombination) {
  const int bits = GetParam();
  const Options o{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0, (bits & 16) != 0};
  ScratchDir src, out;
  const Tree t = SampleTree();
  MakeTree(src, t);
  gca_test::WriteFile(src / "single.txt", "one file source");
  const std::string archive = out / "t.gca";
  NoticeLog build_log;
  ASSERT_TRUE(BuildArchive(archive, {src / "src", src / "single.txt"}, o, &build_log));
  EXPECT_EQ(build_log.Count(kNoticeAddFile), int(t.files.size()) + 1);

  GcaArchive a;
  ASSERT_TRUE(a.PrepareBuffers());
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(archive);
  ASSERT_TRUE(a.ReadDirectory());
  EXPECT_EQ(a.Solid, o.solid);
  EXPECT_EQ(a.ScrambleData, o.scramble);
  EXPECT_EQ(a.CompressData, o.compress);
  EXPECT_EQ(log.Count(kNoticeScrambledDirectory), o.scramble_dir ? 1 : 0);
  // src, its files and directories (empty, deep, deep\er, deep\er\est), single.txt.
  EXPECT_EQ(a.EntryCount(), int32_t(t.files.size() + 5 + 1));
  ScratchDir dest;
  EXPECT_EQ(ExtractAll(a, dest.Root()), 0);
  ExpectTree(dest, t);
  EXPECT_EQ(ReadFile(dest / "single.txt"), "one file source");
  EXPECT_EQ(log.Count(kNoticeEntryCrc), 0);
  EXPECT_EQ(log.Count(kNoticeSolidIndex), o.solid ? 1 : 0);
  for (const auto& f : t.files) EXPECT_EQ(WriteTimeOf(dest / f.first), WriteTimeOf(src / f.first)) << f.first;
  for (int32_t i = 0; i < a.EntryCount(); ++i) {
    const EntryRecord r = a.EntryInfo(i);
    if (r.Attributes & kAttrDirectory) {
      EXPECT_EQ(r.Crc, 0u);
      EXPECT_EQ(r.UnpackedSize, 0u);
      EXPECT_EQ(r.PackedSize, 0u);
    } else if (o.solid) {
      EXPECT_EQ(r.PackedSize, 0u);
    } else if (!o.compress) {
      EXPECT_EQ(r.PackedSize, r.UnpackedSize);
    }
  }
  // Extraction in reverse order reaches every entry of a solid archive too.
  ScratchDir back;
  a.SetOutputDirectory(back.Root());
  for (int32_t i = a.EntryCount() - 1; i >= 0; --i) EXPECT_TRUE(a.ExtractEntry(i)) << a.EntryName(i);
  ExpectTree(back, t);
  EXPECT_TRUE(a.Close());
  EXPECT_EQ(a.EntryCount(), int32_t(t.files.size() + 6));  // read again on demand
}

INSTANTIATE_TEST_SUITE_P(AllOptions, RoundTrip, ::testing::Range(0, 32));

// ---- building from a list -----------------------------------------------------------

namespace {

// Where the items of a list take their contents from.
enum class ListKind {
  kFiles,      // every file from disk
  kAlike,      // every file from an archive built with the same options (copied as stored)
  kOther,      // every file from an archive built with other options (decoded and coded again)
  kMixed,      // files from disk and from both archives in turn, the list given in reverse
};

struct ListCase {
  const char* name;
  Options options;
  Options other;
};

const ListCase kListCases[] = {
    {"stored", {false, false, false, false, false}, {true, true, true, true, true}},
    {"compressed", {true, false, false, false, true}, {false, false, true, false, false}},
    {"scrambled", {false, false, true, true, false}, {true, false, false, false, true}},
    {"compressed-scrambled", {true, false, true, false, true}, {true, true, false, true, false}},
    {"solid", {true, true, false, false, true}, {true, false, false, false, false}},
    {"solid-scrambled", {true, true, true, true, true}, {false, false, false, false, false}},
};

void SetOptions(GcaArchive& a, const Options& o) {
  a.CompressData = o.compress;
  a.Solid = o.solid;
  a.ScrambleData = o.scramble;
  a.ScrambleDirectory = o.scramble_dir;
  a.CompressDirectory = o.compress_dir;
}

// The items of a scan of `source` (below `root`), taken from `from` when given.
std::vector<ListItem> ListOf(const std::string& root, const std::string& source, GcaArchive* from) {
  std::vector<ScanItem> scan;
  ScanSource(source, scan);
  std::vector<ListItem> items;
  for (const ScanItem& s : scan) {
    ListItem item;
    item.Name = s.Name;
    item.Attributes = s.Attributes;
    item.WriteTime = s.WriteTime;
    item.Path = JoinPath(root, s.Name);
    if (from && !(s.Attributes & kAttrDirectory)) {
      item.From = from;
      for (int32_t i = 0; i < from->EntryCount(); ++i) {
        if (from->EntryName(i) == s.Name) item.Index = i;
      }
    }
    items.push_back(item);
  }
  return items;
}

}  // namespace

class ListBuild : public ::testing::TestWithParam<int> {};

// Building from a list that names what a scan of a tree finds gives the bytes Build of
// that tree gives, whatever holds the contents and however many threads code them; the
// data check passes on it and finds a copied entry changed afterwards.
TEST_P(ListBuild, SameBytesAsBuildOfTheTree) {
  const ListCase& c = kListCases[GetParam()];
  ScratchDir src, out;
  MakeTree(src, SampleTree());
  ASSERT_TRUE(BuildArchive(out / "tree.gca", {src / "src"}, c.options));
  const std::string expected = Slurp(out / "tree.gca");
  ASSERT_TRUE(BuildArchive(out / "other.gca", {src / "src"}, c.other));
  // Each kind on one thread or on three (the pool and the calling thread cut blocks
  // apart), so that both ways of decoding and coding meet copies.
  const std::pair<ListKind, unsigned> runs[] = {
      {ListKind::kFiles, 3}, {ListKind::kAlike, 1}, {ListKind::kOther, 1}, {ListKind::kMixed, 3}};
  for (const auto& run : runs) {
    const ListKind kind = run.first;
    const unsigned threads = run.second;
    {
      SCOPED_TRACE(std::string(c.name) + " kind " + std::to_string(int(kind)) + " threads " +
                   std::to_string(threads));
      NoticeLog log;
      GcaArchive alike, other;
      for (GcaArchive* from : {&alike, &other}) {
        ASSERT_TRUE(from->PrepareBuffers());
        from->SetThreads(threads);
        from->SetNoticeCallback(log.Callback());
        from->SetArchivePath(from == &alike ? out / "tree.gca" : out / "other.gca");
        ASSERT_TRUE(from->ReadDirectory());
      }
      std::vector<ListItem> items =
          ListOf(src.Root(), src / "src", kind == ListKind::kFiles ? nullptr : kind == ListKind::kOther ? &other : &alike);
      if (kind == ListKind::kMixed) {
        const std::vector<ListItem> from_other = ListOf(src.Root(), src / "src", &other);
        for (size_t i = 0; i < items.size(); ++i) {
          if (i % 3 == 0) items[i].From = nullptr;
          if (i % 3 == 1) items[i] = from_other[i];
        }
        std::reverse(items.begin(), items.end());
      }
      GcaArchive w;
      ASSERT_TRUE(w.PrepareBuffers());
      w.SetThreads(threads);
      w.SetNoticeCallback(log.Callback());
      SetOptions(w, c.options);
      w.FlushWhileWriting = kind == ListKind::kMixed;  // flushed behind the writes, to the same bytes
      w.SetArchivePath(out / "list.gca");
      std::vector<BuiltEntry> built;
      ASSERT_TRUE(w.BuildFromList(items, &built));
      EXPECT_EQ(log.Count(kNoticeEntryCrc), 0);
      const std::string bytes = Slurp(out / "list.gca");
      EXPECT_TRUE(bytes == expected) << bytes.size() << " vs " << expected.size();
      ASSERT_EQ(built.size(), items.size());
      int copied = 0;
      for (const BuiltEntry& b : built) copied += b.Copied;
      const bool copies = !c.options.solid && kind != ListKind::kFiles && kind != ListKind::kOther;
      EXPECT_EQ(copied > 0, copies);

      GcaArchive check;
      ASSERT_TRUE(check.PrepareBuffers());
      check.SetThreads(threads);
      check.SetNoticeCallback(log.Callback());
      check.SetArchivePath(out / "list.gca");
      ASSERT_TRUE(check.ReadDirectory());
      EXPECT_EQ(check.DirectoryScrambled(), c.options.scramble_dir);
      EXPECT_EQ(check.DirectoryCompressed(), c.options.compress_dir);
      int32_t failed = -2;
      EXPECT_TRUE(check.CheckEntries(built, &failed));
      EXPECT_EQ(failed, -1);
      // A list of another length belongs to another archive: nothing is checked.
      failed = -2;
      EXPECT_FALSE(check.CheckEntries(std::vector<BuiltEntry>(1), &failed));
      EXPECT_EQ(failed, -1);
      check.Close();
      if (!copies) continue;
      // A copied entry changed in the built file: the check names it.
      int32_t victim = -1;
      for (int32_t i = 0; i < int32_t(built.size()); ++i) {
        if (built[size_t(i)].Copied && check.EntryInfo(i).PackedSize > 1000) victim = i;
      }
      ASSERT_GE(victim, 0);
      uint64_t at = 16;
      for (int32_t i = 0; i < victim; ++i) at += check.EntryInfo(i).PackedSize;
      std::string bad = bytes;
      bad[size_t(at + 500)] = char(bad[size_t(at + 500)] ^ 0x40);
      Spit(out / "bad.gca", bad);
      check.SetArchivePath(out / "bad.gca");
      EXPECT_FALSE(check.CheckEntries(built, &failed));
      EXPECT_EQ(failed, victim);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Options, ListBuild, ::testing::Range(0, int(sizeof(kListCases) / sizeof(kListCases[0]))));

// An entry of the source archive that does not decode, or decodes to the wrong CRC,
// fails the build with the entry-CRC notice of the source archive and leaves no
// archive; the same change fails the data check of that archive.
TEST(ListBuildDamage, DamagedSourceEntryFailsTheBuild) {
  ScratchDir src, out;
  MakeTree(src, SampleTree());
  for (const Options& o : {Options{false, false, false, false, false}, Options{true, false, true, false, true},
                           Options{true, true, false, false, true}}) {
    ASSERT_TRUE(BuildArchive(out / "a.gca", {src / "src"}, o));
    std::string bytes = Slurp(out / "a.gca");
    bytes[16 + 3000] = char(bytes[16 + 3000] ^ 0x11);
    Spit(out / "bad.gca", bytes);
    for (unsigned threads : {1u, 3u}) {
      NoticeLog log, build_log;
      GcaArchive check;
      ASSERT_TRUE(check.PrepareBuffers());
      check.SetThreads(threads);
      check.SetNoticeCallback(log.Callback());
      check.SetArchivePath(out / "bad.gca");
      int32_t failed = -2;
      EXPECT_FALSE(check.CheckEntries({}, &failed));
      EXPECT_GE(failed, 0);
      // Built into an archive of other options, so that every entry is decoded.
      GcaArchive w;
      ASSERT_TRUE(w.PrepareBuffers());
      w.SetThreads(threads);
      w.SetNoticeCallback(build_log.Callback());
      w.CompressData = !o.compress;
      w.SetArchivePath(out / "list.gca");
      EXPECT_FALSE(w.BuildFromList(ListOf(src.Root(), src / "src", &check)));
      EXPECT_EQ(log.Count(kNoticeEntryCrc), 1);
      EXPECT_EQ(build_log.Count(kNoticeEntryCrc), 0);
      EXPECT_FALSE(Exists(out / "list.gca"));
    }
  }
}

TEST(Archive, UpdateOptionsGivePlainStoredArchive) {
  ScratchDir src, out;
  MakeTree(src, SampleTree());
  const std::string archive = out / "u.gca";
  ASSERT_TRUE(BuildArchive(archive, {src / "src"}, Options{false, false, false, false, false}));
  const std::string bytes = Slurp(archive);
  const uint64_t dir = uint64_t(Get32(bytes, 8)) | (uint64_t(Get32(bytes, 12)) << 32);
  ASSERT_LT(dir + 32, bytes.size());
  EXPECT_EQ(bytes.substr(size_t(dir), 4), "GCA3");
  EXPECT_EQ(Get32(bytes, size_t(dir) + 4), 0u);  // no flag at all
  EXPECT_EQ(Get32(bytes, size_t(dir) + 28), 0u);  // count widened with its sign
  GcaArchive a;
  a.SetArchivePath(archive);
  ASSERT_GT(a.EntryCount(), 0);
  for (int32_t i = 0; i < a.EntryCount(); ++i) EXPECT_EQ(a.EntryInfo(i).PackedSize, a.EntryInfo(i).UnpackedSize);
}

TEST(Archive, EmptyFileTakesNoBytesAndKeepsItsTime) {
  ScratchDir src, out;
  WriteFile(src / "e", "");
  WriteFile(src / "f", "after");
  const std::string archive = out / "e.gca";
  ASSERT_TRUE(BuildArchive(archive, {src / "e", src / "f"}, Options{false, false, false, false, false}));
  GcaArchive a;
  a.SetArchivePath(archive);
  ASSERT_EQ(a.EntryCount(), 2);
  EXPECT_EQ(a.EntryInfo(0).Crc, 0u);
  EXPECT_EQ(a.EntryInfo(0).PackedSize, 0u);
  ScratchDir dest;
  EXPECT_EQ(ExtractAll(a, dest.Root()), 0);
  EXPECT_EQ(ReadFile(dest / "f"), "after");
  EXPECT_EQ(ReadFile(dest / "e"), "");
  EXPECT_EQ(WriteTimeOf(dest / "e"), WriteTimeOf(src / "e"));
}

TEST(Archive, EmbeddedAtAnOffsetInAHostFile) {
  ScratchDir src, out;
  MakeTree(src, SampleTree());
  for (const Options& o : {Options{false, false, false, false, false}, Options{true, true, true, true, true}}) {
    const std::string host = out / "host.exe";
    GcaFile f;
    ASSERT_TRUE(f.Open(host, 4));
    const std::string prefix = TestBytes(4099, 7, false);
    f.Write(prefix.data(), uint32_t(prefix.size()));
    GcaArchive w;
    ASSERT_TRUE(w.PrepareBuffers());
    w.CompressData = o.compress;
    w.Solid = o.solid;
    w.ScrambleData = o.scramble;
    w.ScrambleDirectory = o.scramble_dir;
    w.SetSourceList({src / "src"});
    ASSERT_TRUE(w.WriteArchive(f));
    f.Write("trailing bytes", 14);
    f.Close();

    GcaArchive a;
    ASSERT_TRUE(a.PrepareBuffers());
    a.ScrambleDirectory = true;
    NoticeLog log;
    a.SetNoticeCallback(log.Callback());
    a.SetArchivePath(host);
    EXPECT_FALSE(a.ReadDirectory());  // offset 0 holds no archive
    a.SetStartOffset(4099);
    ASSERT_TRUE(a.ReadDirectory());
    ScratchDir dest;
    EXPECT_EQ(ExtractAll(a, dest.Root()), 0);
    ExpectTree(dest, SampleTree());
  }
}

TEST(Archive, ReadDirectoryWithoutPreparedBuffersKeepsExtractionWorking) {
  // A compressed "GCA0" directory needs the codec buffers that nobody prepared.
  ScratchDir out;
  OldOptions o;
  o.compressed = true;
  Spit(out / "c.gca", BuildOld({{"x.txt", "payload"}}, o));
  GcaArchive a;
  a.SetArchivePath(out / "c.gca");
  ASSERT_TRUE(a.ReadDirectory());
  EXPECT_EQ(a.EntryName(0), "x.txt");
  ScratchDir dest;
  a.SetOutputDirectory(dest.Root());
  EXPECT_TRUE(a.ExtractEntry(0));
  EXPECT_EQ(ReadFile(dest / "x.txt"), "payload");
}

TEST(Archive, QueriesOutOfRange) {
  ScratchDir out;
  Spit(out / "a.gca", BuildGca3({{"a", "1"}}));
  GcaArchive a;
  a.SetArchivePath(out / "a.gca");
  EXPECT_EQ(a.EntryName(-1), "");
  EXPECT_EQ(a.EntryName(1), "");
  EXPECT_EQ(a.EntryAttributes(1), 0u);
  EXPECT_EQ(a.EntryName(0), "a");
  EXPECT_FALSE(a.ExtractEntry(1));
  EXPECT_FALSE(a.ExtractEntry(-1));
  MemoryStream m;
  EXPECT_FALSE(a.DecodeEntry(m, 5, ""));
  GcaArchive none;
  none.SetArchivePath(out / "missing.gca");
  EXPECT_EQ(none.EntryCount(), 0);
  EXPECT_FALSE(none.ExtractEntry(0));
  ArchiveHandle h;
  EXPECT_EQ(h.EntryCount(), 0);
  h.Create();
  EXPECT_TRUE(h.PrepareBuffers());
  h.SetArchivePath(out / "a.gca");
  EXPECT_TRUE(h.Open());
  EXPECT_EQ(h.EntryCount(), 1);
  EXPECT_EQ(h.EntryName(0), "a");
  EXPECT_EQ(h.EntryAttributes(0), 0x20u);
  ScratchDir dest;
  h.SetOutputDirectory(dest.Root());
  EXPECT_TRUE(h.ExtractEntry(0));
  EXPECT_TRUE(h.Close());
  h.ReleaseBuffers();
  h.Destroy();
  EXPECT_EQ(ReadFile(dest / "a"), "1");
}

TEST(Archive, StoredEntryIsCopiedInOneMebibytePieces) {
  ScratchDir src, out;
  const std::string data = TestBytes(2621440, 9);
  WriteFile(src / "big", data);
  ASSERT_TRUE(BuildArchive(out / "p.gca", {src / "big"}, Options{false, false, false, false, false}));
  GcaArchive a;
  ASSERT_TRUE(a.PrepareBuffers());
  std::vector<std::pair<uint64_t, uint64_t>> seen;
  a.SetProgressCallback([&](uint64_t done, uint64_t total, GcaArchive*) {
    seen.emplace_back(done, total);
    return 0;
  });
  a.SetArchivePath(out / "p.gca");
  MemoryStream m;
  ASSERT_TRUE(a.DecodeEntry(m, 0, "big"));
  EXPECT_TRUE(m.data == data);
  const uint64_t mib = 1 << 20;
  ASSERT_EQ(seen.size(), 3u);
  const uint64_t total = 2621440;
  EXPECT_EQ(seen[0].first, mib);
  EXPECT_EQ(seen[1].first, 2 * mib);
  EXPECT_EQ(seen[2].first, total);
  for (const auto& s : seen) EXPECT_EQ(s.second, total);
}

// ---- writer order --------------------------------------------------------------

TEST(WriterOrder, ExtensionThenFileThenDirectory) {
  auto order = [](std::vector<std::string> names) {
    std::vector<ScanItem> items;
    for (auto& n : names) {
      ScanItem i;
      i.Name = n;
      items.push_back(i);
    }
    SortScanItems(items, 0, items.size());
    std::vector<std::string> out;
    for (auto& i : items) out.push_back(i.Name);
    return out;
  };
  EXPECT_EQ(order({"a", "b.txt", "c.bmp", "a.txt"}), (std::vector<std::string>{"a", "c.bmp", "a.txt", "b.txt"}));
  EXPECT_EQ(order({"y\\n.txt", "x\\n.txt"}), (std::vector<std::string>{"x\\n.txt", "y\\n.txt"}));
  EXPECT_EQ(order({"z\\w\\n.txt", "z\\n.txt"}), (std::vector<std::string>{"z\\n.txt", "z\\w\\n.txt"}));
  EXPECT_EQ(order({"d\\a.", "d\\a"}), (std::vector<std::string>{"d\\a", "d\\a."}));
  // The trail byte 0x5C of a double-byte character is no directory separator.
  EXPECT_EQ(order({"\x95\x5c" "b.txt", "a\\a.txt"}), (std::vector<std::string>{"a\\a.txt", "\x95\x5c" "b.txt"}));
}

TEST(WriterOrder, ArchiveFollowsSortedScan) {
  ScratchDir src, out;
  ASSERT_TRUE(CreateDirectoryTree(src / "s"));
  for (const char* n : {"a", "b.txt", "c.bmp", "a.txt"}) WriteFile(src / (std::string("s\\") + n), n);
  ASSERT_TRUE(BuildArchive(out / "o.gca", {src / "s"}, Options{false, false, false, false, false}));
  GcaArchive a;
  a.SetArchivePath(out / "o.gca");
  std::vector<std::string> names;
  for (int32_t i = 0; i < a.EntryCount(); ++i) names.push_back(a.EntryName(i));
  // The directory s sorts by its own file part among the names without extension.
  EXPECT_EQ(names, (std::vector<std::string>{"s\\a", "s", "s\\c.bmp", "s\\a.txt", "s\\b.txt"}));
  // Entry 3 starts behind the packed sizes of entries 0, 1 and 2.
  MemoryStream m;
  ASSERT_TRUE(a.DecodeEntry(m, 3, ""));
  EXPECT_EQ(m.data, "a.txt");
}

// ---- older directories ------------------------------------------------------------

TEST(OldDirectories, BothNameLengthForms) {
  ScratchDir out;
  const std::string n300(300, 'n');
  const std::vector<RawEntry> entries = {
      {"abc", "first"}, {n300, "second"}, {"\x01low", "third"}, {"d", "", 0x10}, {"d\\f", "fourth"}};
  for (int form = 0; form < 2; ++form) {
    for (int front = 0; front < 2; ++front) {
      OldOptions o;
      o.two_byte_lengths = form == 1;
      o.front_record = front == 1;
      o.solid = false;
      const std::string bytes = BuildOld(entries, o);
      if (!o.front_record && !o.two_byte_lengths) {
        // abc: 03 61 62 63; the 300-byte name: 2C 01 and the name.
        const size_t table = 16 + 32 * entries.size();
        EXPECT_EQ(bytes.substr(table, 4), std::string("\x03" "abc"));
        EXPECT_EQ(bytes.substr(table + 4, 2), std::string("\x2c\x01"));
      }
      Spit(out / "old.gca", bytes);
      GcaArchive a;
      a.CompressData = true;
      a.ScrambleData = true;
      a.SetArchivePath(out / "old.gca");
      ASSERT_TRUE(a.ReadDirectory()) << form << front;
      // Only the records' flags count: CRC present, not compressed, not scrambled.
      EXPECT_FALSE(a.CompressData);
      EXPECT_FALSE(a.ScrambleData);
      EXPECT_TRUE(a.EntryCrc);
      ASSERT_EQ(a.EntryCount(), int32_t(entries.size()));
      for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(a.EntryName(int32_t(i)), entries[i].name);
      for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].attributes & 0x10) continue;
        MemoryStream m;
        NoticeLog log;
        a.SetNoticeCallback(log.Callback());
        EXPECT_TRUE(a.DecodeEntry(m, int32_t(i), "t"));
        EXPECT_EQ(m.data, entries[i].data);
        EXPECT_EQ(log.Count(kNoticeEntryCrc), 0);
      }
    }
  }
}

TEST(OldDirectories, FlagsScramblingCrcAndSolid) {
  ScratchDir out;
  const std::vector<RawEntry> entries = {{"a.txt", "hello"}, {"b.txt", "world"}};
  // Entry flags 0 clear EntryCrc too; a damaged CRC then goes unnoticed.
  OldOptions o;
  o.entry_flags = 0;
  Spit(out / "f.gca", BuildOld(entries, o));
  GcaArchive a;
  a.SetArchivePath(out / "f.gca");
  ASSERT_TRUE(a.ReadDirectory());
  EXPECT_FALSE(a.EntryCrc);
  EXPECT_FALSE(a.Solid);

  // Scrambled with the directory key of this system.
  o = OldOptions();
  o.scrambled = true;
  o.directory_key = std::string(kDefaultArchiveKey) + kDirectorySuffix;
  Spit(out / "s.gca", BuildOld(entries, o));
  GcaArchive s;
  NoticeLog log;
  s.SetNoticeCallback(log.Callback());
  s.SetArchivePath(out / "s.gca");
  ASSERT_TRUE(s.ReadDirectory());
  EXPECT_EQ(log.Count(kNoticeScrambledDirectory), 1);
  EXPECT_EQ(log.Count(kNoticeBadCheckWord), 0);
  EXPECT_EQ(log.Count(kNoticeDirectoryCrc), 0);
  EXPECT_EQ(s.EntryName(1), "b.txt");
  // Without a callback the scrambled directory is refused.
  GcaArchive quiet;
  quiet.SetArchivePath(out / "s.gca");
  EXPECT_FALSE(quiet.ReadDirectory());
  quiet.ScrambleDirectory = true;
  EXPECT_TRUE(quiet.ReadDirectory());
  // A wrong key gives a non-zero check word.
  GcaArchive wrong;
  wrong.SetKeyString("other key");
  wrong.ScrambleDirectory = true;
  NoticeLog wlog;
  wlog.answers[kNoticeBadCheckWord] = -1;
  wrong.SetNoticeCallback(wlog.Callback());
  wrong.SetArchivePath(out / "s.gca");
  EXPECT_FALSE(wrong.ReadDirectory());
  EXPECT_EQ(wlog.Count(kNoticeBadCheckWord), 1);
  EXPECT_EQ(wrong.EntryCount(), 0);

  // "GCA1" sets Solid; a CRC mismatch is noticed.
  o = OldOptions();
  o.solid = true;
  std::string bytes = BuildOld(entries, o);
  Spit(out / "g1.gca", bytes);
  GcaArchive g1;
  g1.SetArchivePath(out / "g1.gca");
  ASSERT_TRUE(g1.ReadDirectory());
  EXPECT_TRUE(g1.Solid);
  bytes[16] ^= 0x01;  // first record's flags
  g1.Close();
  Spit(out / "g1.gca", bytes);
  NoticeLog clog;
  clog.answers[kNoticeDirectoryCrc] = 1;
  g1.SetNoticeCallback(clog.Callback());
  EXPECT_FALSE(g1.ReadDirectory());
  EXPECT_EQ(clog.Count(kNoticeDirectoryCrc), 1);
  g1.VerifyDirectoryCrc = false;
  EXPECT_TRUE(g1.ReadDirectory());
}

// ---- notices --------------------------------------------------------------------

TEST(Notices, FrontRecordAndVersionByte) {
  ScratchDir out;
  std::string bytes = BuildGca3({{"a", "1"}});
  bytes[4] = 1;
  Spit(out / "r.gca", bytes);
  GcaArchive a;
  NoticeLog log;  // answers 0, still refused
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "r.gca");
  EXPECT_FALSE(a.ReadDirectory());
  EXPECT_EQ(log.Count(kNoticeBadHeader), 1);

  // "GCA7": refused without a callback, read as "GCA0"/"GCA1" after an answer of 0.
  std::string old = BuildOld({{"a", "1"}}, OldOptions());
  old[3] = '7';
  Spit(out / "v.gca", old);
  GcaArchive quiet;
  quiet.SetArchivePath(out / "v.gca");
  EXPECT_FALSE(quiet.ReadDirectory());
  GcaArchive v;
  NoticeLog vlog;
  v.VerifyDirectoryCrc = false;  // the CRC covers the changed byte
  v.SetNoticeCallback(vlog.Callback());
  v.SetArchivePath(out / "v.gca");
  EXPECT_TRUE(v.ReadDirectory());
  EXPECT_EQ(vlog.Count(kNoticeBadHeader), 1);
  // Not "GCA" at all: refused without a notice.
  old[0] = 'X';
  v.Close();
  Spit(out / "v.gca", old);
  vlog.seen.clear();
  EXPECT_FALSE(v.ReadDirectory());
  EXPECT_TRUE(vlog.seen.empty());
}

TEST(Notices, Gca3DirectoryCrcAndScrambling) {
  ScratchDir src, out;
  WriteFile(src / "f.txt", "data");
  ASSERT_TRUE(BuildArchive(out / "c.gca", {src / "f.txt"}, Options{false, false, false, false, false}));
  std::string bytes = Slurp(out / "c.gca");
  const size_t dir = size_t(Get32(bytes, 8));
  const uint32_t stored = Get32(bytes, dir + 20);
  // The CRC is computed with its own field zeroed.
  std::string zeroed = bytes.substr(dir);
  Set32(zeroed, 20, 0);
  EXPECT_EQ(Crc(zeroed), stored);
  Set32(bytes, dir + 20, stored ^ 0x10);
  Spit(out / "c.gca", bytes);
  GcaArchive a;
  a.SetArchivePath(out / "c.gca");
  EXPECT_FALSE(a.ReadDirectory());
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  EXPECT_TRUE(a.ReadDirectory());  // answered 0
  EXPECT_EQ(log.Count(kNoticeDirectoryCrc), 1);
  Set32(bytes, dir + 20, stored);
  a.Close();
  Spit(out / "c.gca", bytes);
  GcaArchive b;
  b.SetArchivePath(out / "c.gca");
  EXPECT_TRUE(b.ReadDirectory());

  // Scrambled directory: 0x04240400 comes before anything is decrypted.
  GcaArchive w;
  ASSERT_TRUE(w.PrepareBuffers());
  w.ScrambleDirectory = true;
  w.SetArchivePath(out / "s.gca");
  w.SetSourceList({src / "f.txt"});
  ASSERT_TRUE(w.Build());
  GcaArchive r;
  NoticeLog rlog;
  rlog.answers[kNoticeScrambledDirectory] = 2;
  r.SetNoticeCallback(rlog.Callback());
  r.SetArchivePath(out / "s.gca");
  EXPECT_FALSE(r.ReadDirectory());
  EXPECT_EQ(rlog.seen.size(), 1u);
  r.SetKeyString("wrong");
  r.ScrambleDirectory = true;
  rlog.answers[kNoticeBadCheckWord] = -1;
  EXPECT_FALSE(r.ReadDirectory());
  EXPECT_EQ(rlog.Count(kNoticeBadCheckWord), 1);
  r.SetKeyString("");
  EXPECT_TRUE(r.ReadDirectory());
}

TEST(Notices, ExtractionStartDoneAndDirectoryFailure) {
  ScratchDir out, dest;
  Spit(out / "d.gca", BuildGca3({{"d", "", 0x10}, {"d\\f.txt", "x"}, {"g", "", 0x10}}));
  WriteFile(dest / "g", "a file where a directory should go");
  GcaArchive a;
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "d.gca");
  a.SetOutputDirectory(dest.Root());
  // The file entry first: d is created for it, and the directory entry finds it.
  EXPECT_TRUE(a.ExtractEntry(1));
  EXPECT_TRUE(a.ExtractEntry(0));
  EXPECT_FALSE(a.ExtractEntry(2));
  EXPECT_EQ(log.Count(kNoticeExtractStart), 3);
  EXPECT_EQ(log.Count(kNoticeExtractDone), 2);
  EXPECT_EQ(log.Count(kNoticeCannotCreateDirectory), 1);
  EXPECT_EQ(log.seen[0], std::make_pair(uint32_t(kNoticeExtractStart), dest / "d\\f.txt"));
}

TEST(Notices, ExistingTargetAnswers) {
  ScratchDir out, dest;
  Spit(out / "e.gca", BuildGca3({{"t.txt", "new contents"}}));
  GcaArchive a;
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "e.gca");
  a.SetOutputDirectory(dest.Root());
  WriteFile(dest / "t.txt", "old");
  os::SetAttributes(dest / "t.txt", 0x21);
  log.answers[kNoticeTargetExists] = 1;
  EXPECT_FALSE(a.ExtractEntry(0));
  EXPECT_EQ(ReadFile(dest / "t.txt"), "old");
  log.answers[kNoticeTargetExists] = 3;
  EXPECT_FALSE(a.ExtractEntry(0));
  EXPECT_EQ(ReadFile(dest / "t.txt"), "old");
  log.answers[kNoticeTargetExists] = 0;  // clears read-only, overwrites
  EXPECT_TRUE(a.ExtractEntry(0));
  EXPECT_EQ(ReadFile(dest / "t.txt"), "new contents");
  EXPECT_EQ(os::GetAttributes(dest / "t.txt"), 0x20u);
  EXPECT_EQ(log.Count(kNoticeTargetExists), 3);
  WriteFile(dest / "t.txt", "again");
  log.answers[kNoticeTargetExists] = 7;  // overwrite, attributes as they are
  EXPECT_TRUE(a.ExtractEntry(0));
  EXPECT_EQ(ReadFile(dest / "t.txt"), "new contents");
}

TEST(Notices, EntryCrcMismatchStillExtracts) {
  ScratchDir out, dest;
  RawEntry e{"c.txt", "checked"};
  e.crc_ok = false;
  Spit(out / "c.gca", BuildGca3({e}));
  GcaArchive a;
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "c.gca");
  a.SetOutputDirectory(dest.Root());
  EXPECT_TRUE(a.ExtractEntry(0));
  EXPECT_EQ(log.Count(kNoticeEntryCrc), 1);
  EXPECT_EQ(ReadFile(dest / "c.txt"), "checked");
}

TEST(Notices, SolidIndexRefusedWithoutCallback) {
  ScratchDir src, out, dest;
  WriteFile(src / "s.txt", "solid");
  ASSERT_TRUE(BuildArchive(out / "s.gca", {src / "s.txt"}, Options{true, true, false, false, false}));
  GcaArchive a;
  ASSERT_TRUE(a.PrepareBuffers());
  a.SetArchivePath(out / "s.gca");
  a.SetOutputDirectory(dest.Root());
  EXPECT_FALSE(a.ExtractEntry(0));
  EXPECT_FALSE(Exists(dest / "s.txt"));  // the failed extraction leaves nothing
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  EXPECT_TRUE(a.ExtractEntry(0));
  EXPECT_EQ(ReadFile(dest / "s.txt"), "solid");
}

TEST(Notices, BuildSourceOpenReadAndWriteErrors) {
  ScratchDir src, out;
  WriteFile(src / "a.txt", "aaa");
  WriteFile(src / "b.txt", TestBytes(2621440, 5));
  // A file that disappears between scanning and opening.
  for (int32_t answer : {0, -1}) {
    GcaArchive w;
    ASSERT_TRUE(w.PrepareBuffers());
    NoticeLog log;
    log.answers[kNoticeCannotOpenSource] = answer;
    w.SetNoticeCallback([&](uint32_t code, const std::string& text, GcaArchive* ar) {
      if (code == kNoticeAddFile && text == src / "a.txt") os::RemoveFile(text);
      return log.Callback()(code, text, ar);
    });
    WriteFile(src / "a.txt", "aaa");
    w.SetArchivePath(out / "o.gca");
    w.SetSourceList({src / "a.txt", src / "b.txt"});
    w.CompressData = false;
    EXPECT_EQ(w.Build(), answer == 0);
    EXPECT_EQ(log.Count(kNoticeCannotOpenSource), 1);
    if (answer == 0) {
      GcaArchive r;
      r.SetArchivePath(out / "o.gca");
      ASSERT_EQ(r.EntryCount(), 2);
      EXPECT_EQ(r.EntryInfo(0).UnpackedSize, 0u);
    }
  }
#ifndef _WIN32
  // A file that shrinks while it is read: code 5. (Windows does not let another
  // handle write the file while the writer reads it.)
  {
    GcaArchive w;
    ASSERT_TRUE(w.PrepareBuffers());
    NoticeLog log;
    w.SetNoticeCallback(log.Callback());
    w.SetProgressCallback([&](uint64_t, uint64_t, GcaArchive*) {
      GcaFile t;
      t.Open(src / "b.txt", 3);
      return 0;
    });
    w.CompressData = false;
    w.SetArchivePath(out / "shrink.gca");
    w.SetSourceList({src / "b.txt"});
    EXPECT_FALSE(w.Build());
    EXPECT_EQ(log.Count(kNoticeBuildReadError), 1);
  }
#endif
  // A full disk: code 6.
  {
    WriteFile(src / "b.txt", TestBytes(100000, 5));
    GcaArchive w;
    ASSERT_TRUE(w.PrepareBuffers());
    NoticeLog log;
    w.SetNoticeCallback(log.Callback());
    w.SetSourceList({src / "b.txt"});
    MemoryStream m;
    m.write_limit = 5000;
    EXPECT_FALSE(w.WriteArchive(m));
    EXPECT_EQ(log.Count(kNoticeBuildWriteError), 1);
    // No sources, or none that exist: false before anything is written.
    MemoryStream empty;
    w.SetSourceList({});
    EXPECT_FALSE(w.WriteArchive(empty));
    w.SetSourceList({src / "none"});
    EXPECT_FALSE(w.WriteArchive(empty));
    EXPECT_TRUE(empty.data.empty());
  }
}

// ---- names -----------------------------------------------------------------------

TEST(UnsafeNames, AreRefusedAndTheRestExtracts) {
  const std::vector<std::string> bad = {"..\\x", "a\\..\\..\\x", "\\x", "/x", "C:x", "c:\\x", "\\\\srv\\s\\x",
                                        "\\\\?\\C:\\x", "a\\\\b", "a\\", "", "a/../x", "..", ". .\\x",
                                        "...\\x", "a\\.\\b", "\x95\x5c..\\x"};
  for (const auto& n : bad) EXPECT_FALSE(IsSafeEntryName(n)) << n;
  for (const std::string n : {"a", "a\\b.txt", "\x95\x5c" "x", "\x95\x5c\\x", "..a", "a..", ".hidden"}) {
    EXPECT_TRUE(IsSafeEntryName(n)) << n;
  }
  ScratchDir out, dest;
  std::vector<RawEntry> entries = {{"ok1.txt", "1"}};
  for (const auto& n : bad) entries.push_back({n, "evil"});
  entries.push_back({"sub\\ok2.txt", "2"});
  Spit(out / "u.gca", BuildGca3(entries));
  GcaArchive a;
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "u.gca");
  EXPECT_EQ(ExtractAll(a, dest / "o"), int(bad.size()));
  EXPECT_EQ(log.Count(kNoticeUnsafeName), int(bad.size()));
  EXPECT_EQ(ReadFile(dest / "o\\ok1.txt"), "1");
  EXPECT_EQ(ReadFile(dest / "o\\sub\\ok2.txt"), "2");
  EXPECT_FALSE(Exists(dest / "x"));
  EXPECT_FALSE(Exists(dest / "o\\a"));
  // Nothing but o was created beside it.
  int entries_beside = 0;
  os::FindData d;
  os::Handle h = os::FindFirst(JoinPath(dest.Root(), "*.*"), &d);
  do {
    if (d.name != "." && d.name != "..") ++entries_beside;
  } while (os::FindNext(h, &d));
  os::FindClose(h);
  EXPECT_EQ(entries_beside, 1);
}

static bool Japanese() {
#ifdef _WIN32
  return GetACP() == 932;
#else
  return os::SetNameCodePage(932);
#endif
}

static void BackToDefaultCodePage() {
#ifndef _WIN32
  os::SetNameCodePage(1252);
#endif
}

TEST(Names, JapaneseWithCodePage932) {
  if (!Japanese()) GTEST_SKIP() << "code page 932 not available";
  // 日本語\表示.txt (表 = 95 5C), ソフト\ファイル.txt (ソ = 83 5C), 予定
  const std::string nihongo = "\x93\xfa\x96\x7b\x8c\xea";
  const std::string hyouji = "\x95\x5c\x8e\xa6.txt";
  const std::string soft = "\x83\x5c\x83\x74\x83\x67";
  Tree t;
  t.dirs = {"j\\" + nihongo, "j\\" + soft + "\\\x97\x5c\x92\xe8"};
  t.files["j\\" + nihongo + "\\" + hyouji] = "table";
  t.files["j\\" + soft + "\\\x83\x74\x83\x40\x83\x43\x83\x8b.txt"] = "file";
  t.files["j\\\x95\x5c"] = "ends in 5C";
  for (int bits : {0, 1 | 2 | 4 | 8 | 16, 1 | 16}) {
    ScratchDir src, out, dest;
    MakeTree(src, t);
    const Options o{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0, (bits & 16) != 0};
    ASSERT_TRUE(BuildArchive(out / "j.gca", {src / "j"}, o));
    GcaArchive a;
    ASSERT_TRUE(a.PrepareBuffers());
    NoticeLog log;
    a.SetNoticeCallback(log.Callback());
    a.SetArchivePath(out / "j.gca");
    std::vector<std::string> names;
    for (int32_t i = 0; i < a.EntryCount(); ++i) names.push_back(a.EntryName(i));
    EXPECT_NE(std::find(names.begin(), names.end(), "j\\" + nihongo + "\\" + hyouji), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "j\\\x95\x5c"), names.end());
    EXPECT_EQ(ExtractAll(a, dest.Root()), 0);
    ExpectTree(dest, t);
  }
  BackToDefaultCodePage();
}

#ifndef _WIN32
TEST(Names, UnrepresentableNameIsAClearFailure) {
  ScratchDir src, out, dest;
  ASSERT_TRUE(CreateDirectoryTree(src / "s"));
  std::string host = src.Root();
  std::replace(host.begin(), host.end(), '\\', '/');
  { GcaFile f; }
  FILE* fp = std::fopen((host + "/s/\xe6\x97\xa5.txt").c_str(), "wb");  // 日 has no 1252 form
  ASSERT_TRUE(fp);
  std::fclose(fp);
  GcaArchive w;
  ASSERT_TRUE(w.PrepareBuffers());
  NoticeLog log;
  w.SetNoticeCallback(log.Callback());
  w.SetArchivePath(out / "x.gca");
  w.SetSourceList({src / "s"});
  EXPECT_FALSE(w.Build());
  // A notice of its own (not the unopenable-source one, whose answer 0 would add the
  // file empty), naming the path in the host's form.
  EXPECT_EQ(log.Count(kNoticeCannotOpenSource), 0);
  ASSERT_EQ(log.Count(kNoticeUnrepresentableSource), 1);
  for (const auto& n : log.seen) {
    if (n.first == kNoticeUnrepresentableSource) {
      EXPECT_EQ(n.second, host + "/s/\xe6\x97\xa5.txt");
    }
  }
  EXPECT_FALSE(Exists(out / "x.gca"));
  // Extraction of a name that 1252 cannot represent creates nothing.
  Spit(out / "n.gca", BuildGca3({{"bad\x81name", "x"}, {"good", "y"}}));
  GcaArchive a;
  a.SetArchivePath(out / "n.gca");
  EXPECT_EQ(ExtractAll(a, dest.Root()), 1);
  EXPECT_EQ(ReadFile(dest / "good"), "y");
}
#endif

// ---- damage -----------------------------------------------------------------------

namespace {

// Reads and extracts everything of a possibly damaged archive; only a clean ending
// counts (sanitizers watch the rest).
void Survive(const std::string& path, const std::string& out, int32_t start = 0) {
  GcaArchive a;
  a.PrepareBuffers();
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.ScrambleDirectory = true;
  a.SetArchivePath(path);
  a.SetStartOffset(start);
  if (a.ReadDirectory()) {
    for (int32_t i = 0; i < a.EntryCount(); ++i) {
      MemoryStream m;
      a.DecodeEntry(m, i, "");
      EXPECT_LE(m.data.size(), a.EntryInfo(i).UnpackedSize);
    }
    ExtractAll(a, out);
    int32_t failed = -2;
    if (!a.CheckEntries({}, &failed)) {
      EXPECT_LT(failed, a.EntryCount());
    }
  }
  EXPECT_TRUE(a.Close());
}

}  // namespace

TEST(Damage, TruncatedAtEveryLength) {
  ScratchDir src, out;
  WriteFile(src / "a.txt", TestBytes(3000, 1));
  WriteFile(src / "b.txt", TestBytes(5000, 2));
  for (const Options& o : {Options{false, false, false, false, false}, Options{true, false, true, true, true},
                           Options{true, true, true, true, true}}) {
    ASSERT_TRUE(BuildArchive(out / "t.gca", {src / "a.txt", src / "b.txt"}, o));
    const std::string bytes = Slurp(out / "t.gca");
    for (size_t n = 0; n < bytes.size(); n += (n < 64 || n + 200 > bytes.size()) ? 1 : 97) {
      Spit(out / "cut.gca", bytes.substr(0, n));
      GcaArchive a;
      a.SetArchivePath(out / "cut.gca");
      EXPECT_FALSE(a.ReadDirectory()) << n;
      EXPECT_EQ(a.EntryCount(), 0);
    }
    // Cut inside the data with the directory intact: extraction fails, leaves nothing.
    const size_t dir = size_t(Get32(bytes, 8));
    std::string holed = bytes.substr(0, 16 + 100) + bytes.substr(dir);
    Set32(holed, 8, uint32_t(16 + 100));
    Spit(out / "hole.gca", holed);
    ScratchDir dest;
    GcaArchive a;
    ASSERT_TRUE(a.PrepareBuffers());
    NoticeLog log;
    a.SetNoticeCallback(log.Callback());
    a.SetArchivePath(out / "hole.gca");
    ASSERT_TRUE(a.ReadDirectory());
    a.SetOutputDirectory(dest.Root());
    EXPECT_FALSE(a.ExtractEntry(1));
    EXPECT_FALSE(Exists(dest / "b.txt"));
    EXPECT_TRUE(a.Close());
  }
}

TEST(Damage, FlippedBytesEndCleanly) {
  ScratchDir src, out;
  WriteFile(src / "a.txt", TestBytes(3000, 1));
  WriteFile(src / "b.bin", TestBytes(2000, 2, false));
  for (const Options& o : {Options{false, false, false, false, false}, Options{true, false, false, false, true},
                           Options{true, true, true, true, true}}) {
    ASSERT_TRUE(BuildArchive(out / "f.gca", {src / "a.txt", src / "b.bin"}, o));
    const std::string bytes = Slurp(out / "f.gca");
    const size_t dir = size_t(Get32(bytes, 8));
    std::vector<size_t> positions;
    for (size_t i = 0; i < 16; ++i) positions.push_back(i);
    for (size_t i = dir; i < bytes.size(); ++i) positions.push_back(i);
    for (size_t i = 16; i < dir; i += 37) positions.push_back(i);
    for (size_t i : positions) {
      for (uint8_t mask : {0x01, 0x80, 0xFF}) {
        std::string bad = bytes;
        bad[i] = char(bad[i] ^ mask);
        Spit(out / "bad.gca", bad);
        ScratchDir dest;
        Survive(out / "bad.gca", dest.Root());
      }
    }
  }
}

TEST(Damage, AbsurdCountsAndSizes) {
  ScratchDir out;
  std::string good = BuildGca3({{"a", "1"}, {"b", "22"}});
  const size_t dir = size_t(Get32(good, 8));
  auto fix_crc = [&](std::string& s) {
    std::string d = s.substr(dir);
    Set32(d, 20, 0);
    Set32(s, dir + 20, Crc(d));
  };
  for (uint32_t count : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 3u, 0x08000000u}) {
    std::string s = good;
    Set32(s, dir + 24, count);
    fix_crc(s);
    Spit(out / "n.gca", s);
    GcaArchive a;
    a.SetArchivePath(out / "n.gca");
    EXPECT_FALSE(a.ReadDirectory()) << count;
  }
  for (uint64_t size : {0ull, 31ull, 0xFFFFFFFFFFFFull, 1ull << 40}) {
    std::string s = good;
    Set32(s, dir + 8, uint32_t(size));
    Set32(s, dir + 12, uint32_t(size >> 32));
    fix_crc(s);
    Spit(out / "d.gca", s);
    GcaArchive a;
    a.SetArchivePath(out / "d.gca");
    EXPECT_FALSE(a.ReadDirectory()) << size;
  }
  // A name length running past the table.
  std::string s = good;
  s[s.size() - 3] = 100;
  fix_crc(s);
  Spit(out / "l.gca", s);
  GcaArchive a;
  a.SetArchivePath(out / "l.gca");
  EXPECT_FALSE(a.ReadDirectory());
  // Old directory: count and size that do not fit.
  std::string old = BuildOld({{"a", "1"}}, OldOptions());
  Set32(old, 8, 0x40000000);
  Spit(out / "o.gca", old);
  GcaArchive o;
  o.VerifyDirectoryCrc = false;
  o.SetArchivePath(out / "o.gca");
  EXPECT_FALSE(o.ReadDirectory());
  old = BuildOld({{"a", "1"}}, OldOptions());
  Set32(old, 12, 20);  // a body too short for its trailer
  o.Close();
  Spit(out / "o.gca", old);
  EXPECT_FALSE(o.ReadDirectory());
}

TEST(Damage, FrameLongerThanItsEntryIsRefused) {
  ScratchDir out, dest;
  std::string bytes = BuildGca3({{"a.txt", "0123456789"}, {"b.txt", "fine"}}, true);
  // Entry a declares 10 bytes; make its frame claim 12 with two more stored bytes.
  const size_t dir = size_t(Get32(bytes, 8));
  std::string data = bytes.substr(16, dir - 16);
  std::string frame = "GCF0";
  Put32(frame, 12);
  frame += "0123456789AB";
  std::string rebuilt = bytes.substr(0, 16) + frame + data.substr(18) + bytes.substr(dir);
  Set32(rebuilt, 8, uint32_t(dir + 2));
  // Directory: a's packed size is 20 now; recompute the CRC.
  std::string d = rebuilt.substr(dir + 2);
  Set32(d, 32 + 24, 20);
  Set32(d, 20, 0);
  Set32(d, 20, Crc(d));
  rebuilt = rebuilt.substr(0, dir + 2) + d;
  Spit(out / "l.gca", rebuilt);
  GcaArchive a;
  ASSERT_TRUE(a.PrepareBuffers());
  a.SetArchivePath(out / "l.gca");
  a.SetOutputDirectory(dest.Root());
  ASSERT_TRUE(a.ReadDirectory());
  MemoryStream m;
  EXPECT_FALSE(a.DecodeEntry(m, 0, ""));
  EXPECT_TRUE(m.data.empty());
  EXPECT_FALSE(a.ExtractEntry(0));
  EXPECT_FALSE(Exists(dest / "a.txt"));
  EXPECT_TRUE(a.ExtractEntry(1));
  EXPECT_EQ(ReadFile(dest / "b.txt"), "fine");
}
