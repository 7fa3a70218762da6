// File and directory services: last-index search, path operations, GcaFile, ScanSource
// and, on the host, the name and attribute mapping of the OS layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "archive/gca_file.h"
#include "archive/os.h"
#include "tests/archive/archive_test_util.h"

using namespace gca;
using gca_test::ScratchDir;

TEST(LastIndexOf, DoubleByteTrailIsNotASeparator) {
  EXPECT_EQ(LastIndexOf("\x95\x5c\x5c" "a", '\\'), 2);
  EXPECT_EQ(LastIndexOf("a\\b\\c", '\\'), 3);
  EXPECT_EQ(LastIndexOf("abc", '\\'), -1);
  EXPECT_EQ(LastIndexOf("abc", 0), 3);
  EXPECT_EQ(LastIndexOf("", 0), 0);
  // A lead byte followed by a byte that is no trail byte stands alone.
  EXPECT_EQ(LastIndexOf("\x95\\", '\\'), -1);
  EXPECT_EQ(LastIndexOf("\x95" "\x20" "\\", '\\'), 2);
}

TEST(PathText, JoinAndAbsolute) {
  EXPECT_EQ(JoinPath("C:", "x"), "C:x");
  EXPECT_EQ(JoinPath("C:\\d\\", "x"), "C:\\d\\x");
  EXPECT_EQ(JoinPath("", "x"), "x");
  EXPECT_EQ(JoinPath("d", ""), "d\\");
  EXPECT_EQ(JoinPath("d\\", ""), "d\\");
  EXPECT_EQ(JoinPath("C:\\d", "x"), "C:\\d\\x");
  // A directory ending in a double-byte character with trail byte 0x5C.
  EXPECT_EQ(JoinPath("C:\\\x95\x5c", "x"), "C:\\\x95\x5c\\x");

  ASSERT_EQ(GetBaseDirectory(), "");
  EXPECT_EQ(MakeAbsolutePath("a\\b"), "a\\b");
  SetBaseDirectory("D:\\Games");
  EXPECT_EQ(MakeAbsolutePath("a\\b"), "D:\\Games\\a\\b");
  EXPECT_EQ(MakeAbsolutePath("\\a"), "D:\\a");
  EXPECT_EQ(MakeAbsolutePath("C:a"), "C:a");
  EXPECT_EQ(MakeAbsolutePath("\\\\srv\\x"), "\\\\srv\\x");
  SetBaseDirectory("D:\\");
  EXPECT_EQ(MakeAbsolutePath("a\\b"), "D:\\a\\b");
  SetBaseDirectory("");
}

TEST(PathOps, ExistsAndDirectoryTree) {
  ScratchDir dir;
  EXPECT_TRUE(PathExists(dir.Root()));
  EXPECT_FALSE(PathExists(dir / "missing"));
  const std::string deep = dir / "a\\b\\c";
  EXPECT_TRUE(CreateDirectoryTree(deep));
  EXPECT_EQ(os::GetAttributes(dir / "a") & 0x10, 0x10u);
  EXPECT_EQ(os::GetAttributes(deep) & 0x10, 0x10u);
  EXPECT_TRUE(CreateDirectoryTree(deep));  // exists: true, nothing made
  gca_test::WriteFile(dir / "f", "x");
  EXPECT_FALSE(CreateDirectoryTree(dir / "f"));
  EXPECT_TRUE(PathExists(dir / "f"));
  // A directory with a trailing backslash exists when a search inside finds anything.
  EXPECT_TRUE(PathExists(dir / "a\\"));
}

TEST(GcaFileTest, ModesSizeTellAndTruncation) {
  ScratchDir dir;
  GcaFile f;
  EXPECT_FALSE(f.Open(dir / "x", 5));
  EXPECT_FALSE(f.Open(dir / "x", -1));
  EXPECT_EQ(f.Tell(), kInvalidPosition);
  EXPECT_FALSE(f.Open(dir / "x", 0));  // missing
  ASSERT_TRUE(f.Open(dir / "x", 4));
  EXPECT_EQ(f.Write("hello world", 11), 11u);
  EXPECT_EQ(f.Size(), 11u);
  EXPECT_TRUE(f.Seek(6));
  char b[8] = {0};
  EXPECT_EQ(f.Read(b, 8), 5u);
  EXPECT_EQ(std::string(b, 5), "world");
  EXPECT_EQ(f.Tell(), 11u);
  EXPECT_EQ(f.Read(b, 1), 0u);
  EXPECT_TRUE(f.EndReached());
  EXPECT_TRUE(f.Close());
  EXPECT_EQ(f.Tell(), kInvalidPosition);

  ASSERT_TRUE(f.Open(dir / "x", 0));
  EXPECT_EQ(f.Size(), 11u);
  EXPECT_FALSE(f.EndReached());
  EXPECT_EQ(f.Path(), dir / "x");
  EXPECT_TRUE(f.Reopen());
  EXPECT_EQ(f.Size(), 11u);
  f.Close();
  ASSERT_TRUE(f.Open(dir / "x", 3));  // truncates
  EXPECT_EQ(f.Size(), 0u);
  f.Close();
  EXPECT_EQ(gca_test::ReadFile(dir / "x"), "");
}

static std::vector<std::string> Names(const std::vector<ScanItem>& items) {
  std::vector<std::string> n;
  for (const auto& i : items) n.push_back(i.Name);
  return n;
}

TEST(ScanSourceTest, TreeAndSingleFile) {
  ScratchDir dir;
  ASSERT_TRUE(CreateDirectoryTree(dir / "src\\sub"));
  gca_test::WriteFile(dir / "src\\a.txt", "aaa");
  gca_test::WriteFile(dir / "src\\sub\\b.txt", "bb");
  std::vector<ScanItem> items;
  EXPECT_EQ(ScanSource(dir / "src", items), 4);
  std::vector<std::string> names = Names(items);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0], "src");
  // A directory comes before what it holds; siblings in the system's order.
  auto pos = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
  EXPECT_LT(pos("src\\sub"), pos("src\\sub\\b.txt"));
  EXPECT_LT(pos("src\\a.txt"), 4);
  EXPECT_LT(pos("src\\sub\\b.txt"), 4);
  for (const auto& i : items) {
    if (i.Name == "src\\a.txt") {
      EXPECT_EQ(i.Size, 3u);
      EXPECT_EQ(i.Attributes & 0x10, 0u);
    }
    if (i.Name == "src") {
      EXPECT_EQ(i.Attributes & 0x10, 0x10u);
    }
  }

  items.clear();
  EXPECT_EQ(ScanSource(dir / "src\\a.txt", items), 1);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Name, "a.txt");
  items.clear();
  EXPECT_EQ(ScanSource(dir / "nothing", items), 0);
}

#ifndef _WIN32
TEST(HostLayer, AttributesAndTimes) {
  ScratchDir dir;
  gca_test::WriteFile(dir / "f", "x");
  EXPECT_EQ(os::GetAttributes(dir / "f"), 0x20u);
  EXPECT_EQ(os::GetAttributes(dir.Root()), 0x10u);
  EXPECT_TRUE(os::SetAttributes(dir / "f", 0x21));
  EXPECT_EQ(os::GetAttributes(dir / "f"), 0x21u);
  EXPECT_TRUE(os::SetAttributes(dir / "f", 0x20));
  EXPECT_EQ(os::GetAttributes(dir / "f"), 0x20u);
  // Directories keep their write permission.
  EXPECT_TRUE(os::SetAttributes(dir.Root(), 0x11));
  EXPECT_EQ(os::GetAttributes(dir.Root()), 0x10u);

  // 2001-02-03 04:05:06.7890123 UTC as a FILETIME, kept to 100 ns.
  const uint64_t t = 126256959067890123ull;
  GcaFile f;
  ASSERT_TRUE(f.Open(dir / "f", 1));
  EXPECT_TRUE(f.SetWriteTime(t));
  f.Close();
  os::FindData data;
  os::Handle h = os::FindFirst(dir / "f", &data);
  ASSERT_NE(h, os::kInvalidHandle);
  os::FindClose(h);
  EXPECT_EQ(data.write_time, t);
  EXPECT_EQ(data.name, "f");
  // Before 1970 as well.
  ASSERT_TRUE(f.Open(dir / "f", 1));
  EXPECT_TRUE(f.SetWriteTime(100000000000000001ull));
  f.Close();
  h = os::FindFirst(dir / "f", &data);
  os::FindClose(h);
  EXPECT_EQ(data.write_time, 100000000000000001ull);
}

TEST(HostLayer, CodePageNamesAreConvertedNeverMangled) {
  ScratchDir dir;
  ASSERT_EQ(os::NameCodePage(), 1252);
  EXPECT_FALSE(os::SetNameCodePage(-3));
  EXPECT_EQ(os::NameCodePage(), 1252);
  // 0x81 has no character in 1252: refused, nothing created.
  GcaFile f;
  EXPECT_FALSE(os::NameRepresentable(dir / "a\x81"));
  EXPECT_FALSE(f.Open(dir / "a\x81", 3));
  // e with acute accent is 0xE9 in 1252 and two bytes in UTF-8.
  gca_test::WriteFile(dir / "caf\xe9", "1");
  bool found = false;
  for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(
           [&] { std::string s = dir.Root(); std::replace(s.begin(), s.end(), '\\', '/'); return s; }()))) {
    if (e.path().filename().string() == "caf\xc3\xa9") found = true;
  }
  EXPECT_TRUE(found);

  // A host name that 1252 cannot hold is reported by the scanner, not archived.
  ASSERT_TRUE(CreateDirectoryTree(dir / "s"));
  std::string host = dir.Root();
  std::replace(host.begin(), host.end(), '\\', '/');
  { std::ofstream(host + "/s/\xe3\x81\x82") << "x"; }  // HIRAGANA A
  { std::ofstream(host + "/s/back\\slash") << "x"; }
  std::vector<ScanItem> items;
  std::string bad;
  ScanSource(dir / "s", items, &bad);
  EXPECT_EQ(items.size(), 1u);  // just s itself
  EXPECT_FALSE(bad.empty());

  // With 932 the same Japanese name is two bytes, 82 A0.
  ASSERT_TRUE(os::SetNameCodePage(932));
  items.clear();
  bad.clear();
  ScanSource(dir / "s", items, &bad);
  std::vector<std::string> names = Names(items);
  EXPECT_NE(std::find(names.begin(), names.end(), "s\\\x82\xa0"), names.end());
  EXPECT_FALSE(bad.empty());  // the backslash name still is
  // A double-byte character with trail byte 0x5C maps to one character, not a separator.
  gca_test::WriteFile(dir / "\x95\x5c.txt", "t");
  EXPECT_TRUE(std::filesystem::exists(host + "/\xe8\xa1\xa8.txt"));
  ASSERT_TRUE(os::SetNameCodePage(1252));
}
#endif

#ifdef _WIN32
TEST(ScanSourceTest, TemporaryFilesAreSkipped) {
  ScratchDir dir;
  ASSERT_TRUE(CreateDirectoryTree(dir / "s"));
  gca_test::WriteFile(dir / "s\\keep.txt", "k");
  gca_test::WriteFile(dir / "s\\scratch.tmp", "t");
  ASSERT_TRUE(os::SetAttributes(dir / "s\\scratch.tmp", 0x100));
  if ((os::GetAttributes(dir / "s\\scratch.tmp") & 0x100) == 0) {
    GTEST_SKIP() << "this file system does not keep the temporary attribute";
  }
  std::vector<ScanItem> items;
  EXPECT_EQ(ScanSource(dir / "s", items), 2);
  EXPECT_EQ(Names(items), (std::vector<std::string>{"s", "s\\keep.txt"}));
}
#endif

#ifdef _WIN32
// What RenameOver does on Windows 95, 98 and ME, whose MoveFileEx is a stub: the same
// outcome as MoveFileEx with MOVEFILE_REPLACE_EXISTING for the cases the archive code
// meets (nothing at the target, a file there, a read-only file, a directory).
TEST(OsLayer, RenameOverWithoutMoveFileExReplacesAFileOnly) {
  ScratchDir dir;
  gca_test::WriteFile(dir / "new1", "one");
  ASSERT_TRUE(os::RenameOverWithoutMoveFileEx(dir / "new1", dir / "target"));
  EXPECT_FALSE(gca_test::Exists(dir / "new1"));
  EXPECT_EQ(gca_test::ReadFile(dir / "target"), "one");

  gca_test::WriteFile(dir / "new2", "two");
  ASSERT_TRUE(os::RenameOverWithoutMoveFileEx(dir / "new2", dir / "target"));
  EXPECT_FALSE(gca_test::Exists(dir / "new2"));
  EXPECT_EQ(gca_test::ReadFile(dir / "target"), "two");

  // A missing source leaves the target alone.
  EXPECT_FALSE(os::RenameOverWithoutMoveFileEx(dir / "missing", dir / "target"));
  EXPECT_EQ(gca_test::ReadFile(dir / "target"), "two");

  // A read-only file is not replaced (its delete fails), as Windows' MoveFileEx does not
  // replace one either.
  gca_test::WriteFile(dir / "new3", "three");
  ASSERT_TRUE(os::SetAttributes(dir / "target", 0x21));
  EXPECT_FALSE(os::RenameOverWithoutMoveFileEx(dir / "new3", dir / "target"));
  EXPECT_EQ(gca_test::ReadFile(dir / "target"), "two");
  EXPECT_EQ(gca_test::ReadFile(dir / "new3"), "three");
  ASSERT_TRUE(os::SetAttributes(dir / "target", 0x20));

  // Nor is a directory.
  ASSERT_TRUE(os::MakeDirectory(dir / "folder"));
  EXPECT_FALSE(os::RenameOverWithoutMoveFileEx(dir / "new3", dir / "folder"));
  EXPECT_EQ(gca_test::ReadFile(dir / "new3"), "three");
  EXPECT_NE(os::GetAttributes(dir / "folder") & 0x10, 0u);
}
#endif
