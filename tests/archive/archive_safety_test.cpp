// Extraction and building on a file system the archive code does not control: links
// and special files in the output tree, old files kept when an entry or a build fails,
// names that would open devices or carry control bytes, the bounds of solid streams,
// and the exact bytes the writer produces for a fixed tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "archive/gca_archive.h"
#include "archive/gca_file.h"
#include "archive/os.h"
#include "tests/archive/archive_builder.h"
#include "tests/archive/archive_test_util.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace gca;
using namespace gca_test;

namespace {

#ifndef _WIN32
std::string HostForm(const std::string& path) {
  std::string h = path;
  std::replace(h.begin(), h.end(), '\\', '/');
  return h;
}
#endif

// Names in a directory other than "." and "..", sorted.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  os::FindData d;
  const os::Handle h = os::FindFirst(JoinPath(dir, "*.*"), &d);
  if (h == os::kInvalidHandle) return names;
  do {
    if (d.name != "." && d.name != "..") names.push_back(d.name);
  } while (os::FindNext(h, &d));
  os::FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}

bool Build(const std::string& path, const std::vector<std::string>& sources, bool compress, bool solid,
           bool scramble, NoticeLog* log = nullptr, GcaArchive* reuse = nullptr) {
  GcaArchive own;
  GcaArchive& a = reuse ? *reuse : own;
  if (!a.PrepareBuffers()) return false;
  a.CompressData = compress;
  a.Solid = solid;
  a.ScrambleData = scramble;
  a.ScrambleDirectory = scramble;
  if (log) a.SetNoticeCallback(log->Callback());
  a.SetArchivePath(path);
  a.SetSourceList(sources);
  return a.Build();
}

// A stored frame of the given bytes.
std::string StoredFrame(const std::string& bytes) {
  std::string f = "GCF0";
  Put32(f, uint32_t(bytes.size()));
  return f + bytes;
}

}  // namespace

// ---- old files survive --------------------------------------------------------------

TEST(NoDataLost, DamagedEntryLeavesTheOldFileAndNoTemporaryFile) {
  ScratchDir src, out, dest;
  const std::string contents = TestBytes(3 << 20, 7, false);
  WriteFile(src / "big.bin", contents);
  ASSERT_TRUE(Build(out / "a.gca", {src / "big.bin"}, true, false, false));
  // Damage the second frame (the entry's second megabyte).
  std::string bytes = ReadFile(out / "a.gca");
  const uint32_t first = Get32(bytes, 16 + 4) + 0;  // unpacked length of frame 1
  ASSERT_EQ(first, 1u << 20);
  bytes[bytes.size() / 2] ^= 0x55;
  WriteFile(out / "a.gca", bytes);
  WriteFile(dest / "big.bin", "old contents");
  GcaArchive a;
  ASSERT_TRUE(a.PrepareBuffers());
  NoticeLog log;  // answers 0: overwrite
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "a.gca");
  a.SetOutputDirectory(dest.Root());
  EXPECT_FALSE(a.ExtractEntry(0));
  EXPECT_EQ(log.Count(kNoticeTargetExists), 1);
  EXPECT_EQ(ReadFile(dest / "big.bin"), "old contents");
  EXPECT_EQ(Listing(dest.Root()), std::vector<std::string>{"big.bin"});
  // Undamaged, the same extraction replaces the old file.
  a.Close();
  ASSERT_TRUE(Build(out / "a.gca", {src / "big.bin"}, true, false, false));
  a.SetArchivePath(out / "a.gca");
  EXPECT_TRUE(a.ExtractEntry(0));
  EXPECT_TRUE(ReadFile(dest / "big.bin") == contents);
  EXPECT_EQ(Listing(dest.Root()), std::vector<std::string>{"big.bin"});
}

// Where nothing stood, the entry is written under its own name: a damaged one leaves
// nothing behind, a good one gets its time and its attributes (read-only here).
TEST(NoDataLost, DamagedNewEntryLeavesNothingAndGoodOnesGetTimeAndAttributes) {
  ScratchDir src, out, dest;
  const std::string contents = TestBytes(3 << 20, 11, false);
  WriteFile(src / "big.bin", contents);
  ASSERT_TRUE(Build(out / "a.gca", {src / "big.bin"}, true, false, false));
  // The second frame's magic: that frame cannot be decoded.
  std::string bytes = ReadFile(out / "a.gca");
  ASSERT_EQ(bytes.substr(16 + 8 + (1 << 20), 3), "GCF");
  bytes[16 + 8 + (1 << 20)] ^= 0x55;
  WriteFile(out / "bad.gca", bytes);
  GcaArchive a;
  ASSERT_TRUE(a.PrepareBuffers());
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "bad.gca");
  a.SetOutputDirectory(dest.Root());
  EXPECT_FALSE(a.ExtractEntry(0));
  EXPECT_EQ(log.Count(kNoticeTargetExists), 0);
  EXPECT_TRUE(Listing(dest.Root()).empty());
  a.Close();

  RawEntry ro{"ro.txt", "read only"};
  ro.attributes = 0x21;
  ro.write_time = 0x01D2345678ABCDEFull;
  WriteFile(out / "ro.gca", BuildGca3({ro, RawEntry{"plain.txt", "plain"}}));
  a.SetArchivePath(out / "ro.gca");
  ASSERT_TRUE(a.ExtractEntry(0));
  ASSERT_TRUE(a.ExtractEntry(1));
  EXPECT_EQ(ReadFile(dest / "ro.txt"), "read only");
  EXPECT_EQ(os::GetAttributes(dest / "ro.txt") & 0x01u, 0x01u);
  EXPECT_EQ(os::GetAttributes(dest / "plain.txt") & 0x01u, 0x00u);
  os::FindData d;
  const os::Handle h = os::FindFirst(dest / "ro.txt", &d);
  ASSERT_NE(h, os::kInvalidHandle);
  os::FindClose(h);
  EXPECT_EQ(d.write_time / 10000000, 0x01D2345678ABCDEFull / 10000000);
  EXPECT_EQ((std::vector<std::string>{"plain.txt", "ro.txt"}), Listing(dest.Root()));
  os::SetAttributes(dest / "ro.txt", 0x20);
}

TEST(NoDataLost, CrcMismatchOverAnExistingFileKeepsIt) {
  ScratchDir out, dest;
  RawEntry bad{"c.txt", "checked"};
  bad.crc_ok = false;
  WriteFile(out / "c.gca", BuildGca3({bad}));
  WriteFile(dest / "c.txt", "mine");
  GcaArchive a;
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "c.gca");
  a.SetOutputDirectory(dest.Root());
  EXPECT_FALSE(a.ExtractEntry(0));
  EXPECT_EQ(log.Count(kNoticeEntryCrc), 1);
  EXPECT_EQ(ReadFile(dest / "c.txt"), "mine");
  EXPECT_EQ(Listing(dest.Root()), std::vector<std::string>{"c.txt"});
}

TEST(NoDataLost, FailedBuildLeavesTheOldArchive) {
  ScratchDir src, out;
  WriteFile(src / "a.txt", "aaa");
  ASSERT_TRUE(Build(out / "o.gca", {src / "a.txt"}, true, false, false));
  const std::string old = ReadFile(out / "o.gca");
  // A source that disappears before it is opened, answered -1: the build fails.
  GcaArchive w;
  ASSERT_TRUE(w.PrepareBuffers());
  WriteFile(src / "b.txt", "bbb");
  w.SetNoticeCallback([&](uint32_t code, const std::string& text, GcaArchive*) -> int32_t {
    if (code == kNoticeAddFile && text == src / "b.txt") os::RemoveFile(text);
    return code == kNoticeCannotOpenSource ? -1 : 0;
  });
  w.SetArchivePath(out / "o.gca");
  w.SetSourceList({src / "a.txt", src / "b.txt"});
  EXPECT_FALSE(w.Build());
  EXPECT_TRUE(ReadFile(out / "o.gca") == old);
  EXPECT_EQ(Listing(out.Root()), std::vector<std::string>{"o.gca"});
}

TEST(Build, TheArchiveBeingWrittenIsLeftOut) {
  ScratchDir src;
  CreateDirectoryTree(src / "d");
  WriteFile(src / "d\\a.txt", "a");
  WriteFile(src / "d\\in.gca", "an older archive");
  NoticeLog log;
  ASSERT_TRUE(Build(src / "d\\in.gca", {src / "d"}, true, false, false, &log));
  EXPECT_EQ(log.Count(kNoticeSkippedArchive), 2);  // the one written and the one it replaces
  GcaArchive r;
  r.SetArchivePath(src / "d\\in.gca");
  std::vector<std::string> names;
  for (int32_t i = 0; i < r.EntryCount(); ++i) names.push_back(r.EntryName(i));
  EXPECT_EQ(names, (std::vector<std::string>{"d", "d\\a.txt"}));
}

// ---- names ---------------------------------------------------------------------------

TEST(UnsafeNames, ControlBytesAndDeviceNames) {
  for (const std::string& n : std::vector<std::string>{"a\x1b[31m", "a\rb", "x\\\ny", "bell\x07", std::string("nul\0x", 5), "del\x7f",
                              "CON", "con.txt", "a\\NUL", "Aux.tar.gz", "prn\\x", "COM1", "lpt9.log",
                              "d\\com3\\f", "nul .txt", "CONIN$", "com\xb9"}) {
    EXPECT_FALSE(IsSafeEntryName(n)) << n;
  }
  for (const std::string n : {"CONSOLE", "con_", "com10", "COM0", "lpt", "a\\nullable.txt", "xcon.txt", "auxx"}) {
    EXPECT_TRUE(IsSafeEntryName(n)) << n;
  }
  ScratchDir out, dest;
  WriteFile(out / "n.gca", BuildGca3({{"ok.txt", "1"}, {"CON.txt", "2"}, {"a\x1b]0;t\x07", "3"}, {"sub\\lpt1", "4"}}));
  GcaArchive a;
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "n.gca");
  a.SetOutputDirectory(dest.Root());
  int failed = 0;
  for (int32_t i = 0; i < a.EntryCount(); ++i) failed += !a.ExtractEntry(i);
  EXPECT_EQ(failed, 3);
  EXPECT_EQ(log.Count(kNoticeUnsafeName), 3);
  EXPECT_EQ(Listing(dest.Root()), std::vector<std::string>{"ok.txt"});
}

// ---- links and special files in the output tree (host) -------------------------------

#ifndef _WIN32
TEST(OutputTree, LinksAreNeverWrittenThrough) {
  ScratchDir out, dest, outside;
  WriteFile(out / "l.gca", BuildGca3({{"link\\pwned.txt", "evil"}, {"evil", "made"}, {"file", "new"}, {"dir", "", 0x10}}));
  const std::string d = HostForm(dest.Root());
  const std::string o = HostForm(outside.Root());
  ASSERT_EQ(symlink(o.c_str(), (d + "/link").c_str()), 0);
  ASSERT_EQ(symlink((o + "/created.txt").c_str(), (d + "/evil").c_str()), 0);
  WriteFile(outside / "victim", "keep");
  ASSERT_EQ(symlink((o + "/victim").c_str(), (d + "/file").c_str()), 0);
  for (int32_t overwrite_answer : {1, 0}) {
    GcaArchive a;
    NoticeLog log;
    log.answers[kNoticeTargetExists] = overwrite_answer;
    a.SetNoticeCallback(log.Callback());
    a.SetArchivePath(out / "l.gca");
    a.SetOutputDirectory(dest.Root());
    EXPECT_FALSE(a.ExtractEntry(0));  // through a directory link: never
    EXPECT_EQ(log.Count(kNoticeUnsafeTarget), 1);
    EXPECT_EQ(a.ExtractEntry(1), overwrite_answer == 0);  // a dangling link is an existing file
    EXPECT_EQ(a.ExtractEntry(2), overwrite_answer == 0);
    EXPECT_EQ(log.Count(kNoticeTargetExists), 2);
    EXPECT_TRUE(Listing(outside.Root()) == std::vector<std::string>{"victim"});
    EXPECT_EQ(ReadFile(outside / "victim"), "keep");
    struct stat st;
    ASSERT_EQ(stat((o + "/victim").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  }
  // Replaced by regular files.
  struct stat st;
  ASSERT_EQ(lstat((d + "/file").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadFile(dest / "file"), "new");
  EXPECT_EQ(ReadFile(dest / "evil"), "made");
  // A directory entry over a link is refused too.
  ASSERT_EQ(symlink(o.c_str(), (d + "/dir").c_str()), 0);
  GcaArchive a;
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "l.gca");
  a.SetOutputDirectory(dest.Root());
  EXPECT_FALSE(a.ExtractEntry(3));
}

TEST(OutputTree, FifoAtTheTargetIsRefusedWithoutOpeningIt) {
  ScratchDir out, dest;
  WriteFile(out / "f.gca", BuildGca3({{"fifo", "data"}, {"sub\\x", "y"}}));
  const std::string d = HostForm(dest.Root());
  ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((d + "/sub").c_str(), 0600), 0);
  GcaArchive a;
  NoticeLog log;  // answers 0: overwrite
  a.SetNoticeCallback(log.Callback());
  a.SetArchivePath(out / "f.gca");
  a.SetOutputDirectory(dest.Root());
  EXPECT_FALSE(a.ExtractEntry(0));  // would block forever if it were opened
  EXPECT_FALSE(a.ExtractEntry(1));
  EXPECT_EQ(log.Count(kNoticeUnsafeTarget), 2);
  // Nor is a FIFO read as an archive or a source.
  GcaArchive r;
  r.SetArchivePath(dest / "fifo");
  EXPECT_FALSE(r.ReadDirectory());
  GcaFile f;
  EXPECT_FALSE(f.Open(dest / "fifo", 0));
}

TEST(Build, SpecialFilesAreReportedAndLeftOut) {
  ScratchDir src, out;
  CreateDirectoryTree(src / "s");
  WriteFile(src / "s\\a.txt", "a");
  const std::string s = HostForm(src / "s");
  ASSERT_EQ(mkfifo((s + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("..", (s + "/up").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (s + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink("a.txt", (s + "/alias.txt").c_str()), 0);
  NoticeLog log;
  ASSERT_TRUE(Build(out / "s.gca", {src / "s"}, true, false, false, &log));
  std::vector<std::string> skipped;
  for (const auto& n : log.seen) {
    if (n.first == kNoticeSkippedSource) skipped.push_back(n.second);
  }
  std::sort(skipped.begin(), skipped.end());
  EXPECT_EQ(skipped, (std::vector<std::string>{s + "/dangling", s + "/fifo", s + "/up"}));
  GcaArchive r;
  r.SetArchivePath(out / "s.gca");
  EXPECT_EQ(r.EntryCount(), 3);  // s, s\a.txt, s\alias.txt (a link to a file is the file)
}
#endif

// ---- solid streams and the directory option ------------------------------------------

TEST(Solid, ShortBlocksBeforeTheLastAreRead) {
  // Blocks of 10, 6 and 9 bytes; a lies in the first, b spans all three, c in the last.
  const std::string all = "0123456789" "abcdef" "ghijklmno";
  std::vector<RawEntry> entries = {{"a", all.substr(0, 4)}, {"b", all.substr(4, 15)}, {"c", all.substr(19)}};
  std::string data = StoredFrame(all.substr(0, 10)) + StoredFrame(all.substr(10, 6)) + StoredFrame(all.substr(16));
  for (bool scramble : {false, true}) {
    std::string scrambled = data;
    if (scramble) {
      ArchiveCipher c;
      c.SetKey(kDefaultArchiveKey);
      c.Encrypt(&scrambled[0], int32_t(scrambled.size()));
    }
    std::string a = "GCAX";
    Put32(a, 0);
    Put64(a, 16 + scrambled.size());
    a += scrambled;
    std::string records, names;
    for (const RawEntry& e : entries) {
      Put32(records, Crc(e.data));
      Put32(records, 0x20);
      Put64(records, e.write_time);
      Put64(records, e.data.size());
      Put64(records, 0);
      names.push_back(char(e.name.size()));
      names.push_back(0);
      names += e.name;
    }
    std::string head = "GCA3";
    Put32(head, 0x10 | 0x100 | (scramble ? 0x20 : 0));
    Put64(head, 32 + records.size() + names.size());
    Put32(head, 0);
    Put32(head, 0);
    Put64(head, entries.size());
    std::string dir = head + records + names;
    Set32(dir, 20, Crc(dir));
    ScratchDir out, dest;
    WriteFile(out / "s.gca", a + dir);
    GcaArchive r;
    ASSERT_TRUE(r.PrepareBuffers());
    NoticeLog log;
    r.SetNoticeCallback(log.Callback());
    r.SetArchivePath(out / "s.gca");
    r.SetOutputDirectory(dest.Root());
    // Out of order, so that blocks are reached by seeking as well as by reading on.
    for (int32_t i : {2, 0, 1, 0, 2}) EXPECT_TRUE(r.ExtractEntry(i)) << i << " " << scramble;
    EXPECT_EQ(log.Count(kNoticeEntryCrc), 0);
    for (const RawEntry& e : entries) EXPECT_EQ(ReadFile(dest / e.name), e.data) << e.name;
  }
}

TEST(Build, CompressDirectoryIsClearedWhenCodingDoesNotShorten) {
  ScratchDir src, out;
  WriteFile(src / "x", "1");
  GcaArchive a;
  ASSERT_TRUE(a.PrepareBuffers());
  a.CompressDirectory = true;
  ASSERT_TRUE(Build(out / "1.gca", {src / "x"}, true, false, false, nullptr, &a));
  EXPECT_FALSE(a.CompressDirectory);
  const std::string first = ReadFile(out / "1.gca");
  EXPECT_EQ(Get32(first, size_t(Get32(first, 8)) + 4) & 1u, 0u);  // plain body
  ASSERT_TRUE(Build(out / "2.gca", {src / "x"}, true, false, false, nullptr, &a));
  EXPECT_TRUE(ReadFile(out / "2.gca") == first);
}

// ---- the writer's exact bytes ----------------------------------------------------------

// A fixed tree with fixed times: the whole archive's CRC for the compressed, scrambled
// and solid forms. A change made alike to the writer and the reader changes these.
TEST(PinnedBytes, FixedTreeGivesFixedArchives) {
  ScratchDir src, out;
  CreateDirectoryTree(src / "t\\sub");
  WriteFile(src / "t\\a.txt", "first file\n");
  WriteFile(src / "t\\sub\\b.dat", TestBytes(1500000, 11));
  WriteFile(src / "t\\sub\\c", TestBytes(3000, 12, false));
  WriteFile(src / "t\\zero", "");
  // 2020-01-01 00:00:00 UTC plus one second per item, set through the open file.
  const uint64_t t0 = 132223104000000000ull;
  const char* files[] = {"t\\a.txt", "t\\sub\\b.dat", "t\\sub\\c", "t\\zero"};
  for (int i = 0; i < 4; ++i) {
    GcaFile f;
    ASSERT_TRUE(f.Open(src / files[i], 2));
    ASSERT_TRUE(f.SetWriteTime(t0 + uint64_t(i) * 10000000));
  }
  struct Form {
    const char* name;
    bool compress, solid, scramble;
    uint32_t crc;
  } forms[] = {{"compressed", true, false, false, 0xfd2b4ed4u},
               {"scrambled", true, false, true, 0x085c063cu},
               {"solid", true, true, false, 0xb5a5caf5u}};
  // Sources are the files themselves: directory times are the file system's own.
  std::vector<std::string> sources;
  for (const char* f : files) sources.push_back(src / f);
  for (const Form& f : forms) {
    ASSERT_TRUE(Build(out / "p.gca", sources, f.compress, f.solid, f.scramble));
    const std::string bytes = ReadFile(out / "p.gca");
    std::printf("%s: %zu bytes, CRC %08x\n", f.name, bytes.size(), unsigned(Crc(bytes)));
    EXPECT_EQ(Crc(bytes), f.crc) << f.name;
  }
}
