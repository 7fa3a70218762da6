// File-system operations on both sides, in the run's code page, with names that carry
// non-ASCII text (in 932 a double-byte character whose trail byte is the backslash).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "tests/platform/platform_test_support.h"

namespace {

using platform_test::LocalName;
using platform_test::Side;
using platform_test::SideTest;

// Direct system calls on the wide side, independent of the code under test.
std::wstring W(const std::string& path) { return Utf8ToWide(AddLongPathPrefix(path)); }
bool Exists(const std::string& path) { return GetFileAttributesW(W(path).c_str()) != INVALID_FILE_ATTRIBUTES; }
bool IsDirectory(const std::string& path) {
  DWORD a = GetFileAttributesW(W(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
void WriteFile(const std::string& path, size_t size = 3) {
  HANDLE file = CreateFileW(W(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  std::vector<char> data(size, 'x');
  DWORD written = 0;
  if (size) ::WriteFile(file, data.data(), static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, size);
}
void MakeDirectory(const std::string& path) { ASSERT_TRUE(CreateDirectoryW(W(path).c_str(), nullptr)) << path; }

// Removes a whole tree, files included, with direct system calls.
void Purge(const std::string& path) {
  DWORD a = GetFileAttributesW(W(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return;
  if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesW(W(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(W(path).c_str());
    return;
  }
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(W(path + "\\*").c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") Purge(path + "\\" + WideToUtf8(name));
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }
  RemoveDirectoryW(W(path).c_str());
}

TEST(PathText, MakeAbsolutePath) {
  const std::string saved = BaseDirectory;
  BaseDirectory = "D:\\Games";
  EXPECT_EQ(MakeAbsolutePath("a\\b"), "D:\\Games\\a\\b");
  EXPECT_EQ(MakeAbsolutePath("\\a"), "D:\\a");
  EXPECT_EQ(MakeAbsolutePath("C:a"), "C:a");
  EXPECT_EQ(MakeAbsolutePath("\\\\srv\\x"), "\\\\srv\\x");
  EXPECT_EQ(MakeAbsolutePath(""), "D:\\Games");
  BaseDirectory = "D:\\";
  EXPECT_EQ(MakeAbsolutePath("a\\b"), "D:\\a\\b");
  BaseDirectory = "\\\\srv\\share";
  EXPECT_EQ(MakeAbsolutePath("\\a"), "\\a");
  EXPECT_EQ(GetBaseDirectory(), "\\\\srv\\share");
  BaseDirectory = saved;
}

TEST(PathText, JoinAndParent) {
  EXPECT_EQ(JoinPath("C:", "x"), "C:x");
  EXPECT_EQ(JoinPath("C:\\d\\", "x"), "C:\\d\\x");
  EXPECT_EQ(JoinPath("C:\\d", "x"), "C:\\d\\x");
  EXPECT_EQ(JoinPath("", "x"), "x");
  EXPECT_EQ(JoinPath("d", ""), "d");
  EXPECT_EQ(JoinPath("d", "\\x"), "d\\\\x");
  EXPECT_EQ(ParentDirectory("C:\\a\\b.txt"), "C:\\a");
  EXPECT_EQ(ParentDirectory("C:\\b.txt"), "C:\\");
  EXPECT_EQ(ParentDirectory("\\x"), "\\");
  EXPECT_EQ(ParentDirectory("b.txt"), "");
  // A double-byte character's trail byte never looks like a separator in UTF-8 text.
  EXPECT_EQ(ParentDirectory("C:\\\xE8\xA1\xA8\\f"), "C:\\\xE8\xA1\xA8");
}

// Paths of directories that do not exist, read as the shell reads a typed path.
TEST(PathText, CanonicalDirectoryPath) {
  const std::string saved = BaseDirectory;
  BaseDirectory = "Q:\\Base";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Q:/Games/Sample Quest", "Q:\\Games\\Sample Quest"},
      {"Q:\\Games\\\\Sample Quest\\", "Q:\\Games\\Sample Quest"},
      {"Q:\\Games\\x\\..\\.\\Sample Quest", "Q:\\Games\\Sample Quest"},
      {"Q:\\..\\Games", "Q:\\Games"},
      {"Q:\\Games\\Sample Quest.", "Q:\\Games\\Sample Quest"},
      {"Q:\\Games.\\Sample Quest. . ", "Q:\\Games\\Sample Quest"},
      {"Q:\\Games\\...", "Q:\\Games\\..."},
      {"E:", "E:\\"},
      {"e:games", "e:\\games"},
      {"Q:\\", "Q:\\"},
      {"sub\\game", "Q:\\Base\\sub\\game"},
      {"\\\\srv\\share\\Games\\..\\Quest", "\\\\srv\\share\\Quest"},
      {"\\\\?\\Q:\\Games\\Quest.", "Q:\\Games\\Quest."},
  };
  for (const auto& [registered, canonical] : cases) EXPECT_EQ(CanonicalDirectoryPath(registered), canonical) << registered;
  BaseDirectory = saved;
  EXPECT_TRUE(HasTrailingDotOrSpace("Q:\\Games.\\x"));
  EXPECT_TRUE(HasTrailingDotOrSpace("Q:\\Games\\x "));
  EXPECT_FALSE(HasTrailingDotOrSpace("Q:\\Games\\x.y"));
}

// Write times at the resolution of the volume: FAT keeps 2 s, exFAT 10 ms.
TEST(PathText, SameFileTime) {
  const uint64_t t = 133000000000000001ull;
  EXPECT_TRUE(SameFileTime(t, t, 1));
  EXPECT_FALSE(SameFileTime(t, t + 1, 1));
  EXPECT_TRUE(SameFileTime(t, t + 19999999, 20000000));
  EXPECT_TRUE(SameFileTime(t + 19999999, t, 20000000));
  EXPECT_FALSE(SameFileTime(t, t + 20000000, 20000000));
  EXPECT_TRUE(SameFileTime(t, t + 99999, 100000));
  EXPECT_FALSE(SameFileTime(t, t + 100000, 100000));
}

TEST(PathText, LastIndexOfAndPrefix) {
  EXPECT_EQ(LastIndexOf("a\\b\\c", '\\'), 3);
  EXPECT_EQ(LastIndexOf("abc", '\\'), -1);
  EXPECT_EQ(LastIndexOf("", 'a'), -1);
  EXPECT_EQ(LastIndexOf(nullptr, 'a'), -1);
  EXPECT_TRUE(HasDoubleBackslash("\\\\server\\share"));
  EXPECT_FALSE(HasDoubleBackslash("\\a"));
  EXPECT_FALSE(HasDoubleBackslash("\\"));
  EXPECT_EQ(AddLongPathPrefix("C:\\f.txt"), "\\\\?\\C:\\f.txt");
  EXPECT_EQ(AddLongPathPrefix("\\\\server\\share\\f.txt"), "\\\\server\\share\\f.txt");
  EXPECT_EQ(AddLongPathPrefix("\\\\?\\C:\\f.txt"), "\\\\?\\C:\\f.txt");
}

class FileSystem : public SideTest {
 protected:
  void SetUp() override {
    SideTest::SetUp();
    root_ = platform_test::WideSystemTempDirectory() + "\\gu_fs_" + LocalName() + "_" +
            std::to_string(GetCurrentProcessId()) + (Wide() ? "w" : "a");
    Purge(root_);
    MakeDirectory(root_);
    saved_base_ = BaseDirectory;
  }
  void TearDown() override {
    BaseDirectory = saved_base_;
    Purge(root_);
    SideTest::TearDown();
  }
  std::string Path(const std::string& name) const { return root_ + "\\" + name; }

  std::string root_;
  std::string saved_base_;
};

TEST_P(FileSystem, PathExists) {
  EXPECT_FALSE(PathExists(""));
  EXPECT_TRUE(PathExists(root_));
  // A directory with a trailing backslash exists when a search inside finds anything.
  EXPECT_TRUE(PathExists(root_ + "\\"));
  WriteFile(Path("f" + LocalName()));
  EXPECT_TRUE(PathExists(Path("f" + LocalName())));
  EXPECT_FALSE(PathExists(Path("missing")));
  // Relative paths resolve against the base directory.
  BaseDirectory = root_;
  EXPECT_TRUE(PathExists("f" + LocalName()));
  EXPECT_FALSE(PathExists("missing"));
}

TEST_P(FileSystem, CreateDirectoryTree) {
  const std::string name = LocalName();
  const std::string deep = Path("a" + name + "\\b\\c" + name);
  EXPECT_TRUE(CreateDirectoryTree(deep));
  EXPECT_TRUE(IsDirectory(Path("a" + name)));
  EXPECT_TRUE(IsDirectory(Path("a" + name + "\\b")));
  EXPECT_TRUE(IsDirectory(deep));
  // An existing directory: true, nothing new.
  EXPECT_TRUE(CreateDirectoryTree(deep));
  // An existing file: false.
  WriteFile(Path("file"));
  EXPECT_FALSE(CreateDirectoryTree(Path("file")));
  EXPECT_FALSE(CreateDirectoryTree(Path("file\\below")));
  // Relative to the base directory.
  BaseDirectory = root_;
  EXPECT_TRUE(CreateDirectoryTree("r\\s"));
  EXPECT_TRUE(IsDirectory(Path("r\\s")));
}

// Names the system shortens (a trailing dot or space) become the shortened directory on
// both sides, never a directory whose name keeps the dot or the space: such a directory
// could not be opened or deleted by programs that pass plain paths.
TEST_P(FileSystem, CreateDirectoryTreeMakesTheNameTheSystemReads) {
  auto names = [&] {
    std::vector<std::string> found;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(W(Path("*")).c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
      const std::string name = WideToUtf8(data.cFileName);
      if (name != "." && name != "..") found.push_back(name);
    } while (FindNextFileW(search, &data));
    FindClose(search);
    std::sort(found.begin(), found.end());
    return found;
  };
  const std::string name = LocalName();
  EXPECT_TRUE(CreateDirectoryTree(Path("dot" + name + ".")));
  EXPECT_TRUE(CreateDirectoryTree(Path("space" + name + " ")));
  EXPECT_TRUE(CreateDirectoryTree(Path("mixed" + name + ". .")));
  EXPECT_EQ(names(), (std::vector<std::string>{"dot" + name, "mixed" + name, "space" + name}));
  EXPECT_TRUE(IsDirectory(Path("dot" + name)));
  // The shortened name exists already: true, and nothing new.
  EXPECT_TRUE(CreateDirectoryTree(Path("dot" + name + ".")));
  EXPECT_TRUE(CreateDirectoryTree(Path("dot" + name + "\\below.")));
  EXPECT_TRUE(IsDirectory(Path("dot" + name + "\\below")));
  EXPECT_FALSE(Exists(Path("dot" + name + "\\below.")));
  EXPECT_EQ(names().size(), 3u);
  // A missing ancestor with a trailing dot is made shortened as well.
  EXPECT_TRUE(CreateDirectoryTree(Path("up" + name + ".\\down")));
  EXPECT_TRUE(IsDirectory(Path("up" + name + "\\down")));
  EXPECT_FALSE(Exists(Path("up" + name + ".")));
  // A file under the shortened name is still a file.
  WriteFile(Path("file"));
  EXPECT_FALSE(CreateDirectoryTree(Path("file.")));
}

TEST_P(FileSystem, RemoveFileClearsReadOnly) {
  const std::string file = Path("ro" + LocalName());
  WriteFile(file);
  ASSERT_TRUE(SetFileAttributesW(W(file).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(Exists(file));
  EXPECT_FALSE(RemoveFile(file));
}

TEST_P(FileSystem, MovePathDestinationFirst) {
  const std::string from = Path("from" + LocalName());
  const std::string to = Path("to" + LocalName());
  WriteFile(from);
  EXPECT_TRUE(MovePath(to, from));
  EXPECT_FALSE(Exists(from));
  EXPECT_TRUE(Exists(to));
  EXPECT_FALSE(MovePath(to, from));
}

TEST_P(FileSystem, Attributes) {
  EXPECT_EQ(GetPathAttributes(Path("missing")), 0xFFFFFFFFu);
  EXPECT_NE(GetPathAttributes(root_) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  WriteFile(Path("f"));
  ASSERT_TRUE(SetFileAttributesW(W(Path("f")).c_str(), FILE_ATTRIBUTE_READONLY));
  // Wine keeps the archive bit where Windows clears it; the word is the system's own.
  EXPECT_EQ(GetPathAttributes(Path("f")), GetFileAttributesW(W(Path("f")).c_str()));
  EXPECT_NE(GetPathAttributes(Path("f")) & FILE_ATTRIBUTE_READONLY, 0u);
}

void ReadTimes(const std::string& path, uint64_t& creation, uint64_t& access, uint64_t& write) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(W(path).c_str(), GetFileExInfoStandard, &data));
  auto join = [](const FILETIME& t) { return static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime; };
  creation = join(data.ftCreationTime);
  access = join(data.ftLastAccessTime);
  write = join(data.ftLastWriteTime);
}

// Whether the file system stores creation times: Wine's does not (it reports the last
// write time instead), so creation times are compared only where a direct SetFileTime on
// a control file keeps them.
bool StoresCreationTime(const std::string& control) {
  HANDLE file = CreateFileW(W(control).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME creation = {0x12345677, 0x01D00000};
  FILETIME write = {0x00000001, 0x01D10000};
  SetFileTime(file, &creation, nullptr, &write);
  CloseHandle(file);
  uint64_t c = 0, a = 0, w = 0;
  ReadTimes(control, c, a, w);
  DeleteFileW(W(control).c_str());
  return c == (0x01D00000ull << 32 | 0x12345677);
}

TEST_P(FileSystem, SetPathTimesOnAFile) {
  const bool stores_creation = StoresCreationTime(Path("control"));
  const std::string file = Path("t" + LocalName());
  WriteFile(file);
  // Odd values down to the 100 ns unit, so that any rounding shows.
  const uint64_t creation = 0x01D2345678ABCDEFull;
  const uint64_t write = 0x01D3000000000001ull;
  uint64_t c, a0, a, w;
  ReadTimes(file, c, a0, w);
  EXPECT_TRUE(SetPathTimes(file, &creation, &write));
  ReadTimes(file, c, a, w);
  if (stores_creation) {
    EXPECT_EQ(c, creation);
  }
  EXPECT_EQ(w, write);
  EXPECT_EQ(a, a0);
  // A null time is left alone.
  const uint64_t write2 = 0x01D4000000000003ull;
  EXPECT_TRUE(SetPathTimes(file, nullptr, &write2));
  ReadTimes(file, c, a, w);
  if (stores_creation) {
    EXPECT_EQ(c, creation);
  }
  EXPECT_EQ(w, write2);
  EXPECT_FALSE(SetPathTimes(Path("missing"), &creation, &write));
}

TEST_P(FileSystem, SetPathTimesOnADirectory) {
  const bool stores_creation = StoresCreationTime(Path("control"));
  const std::string directory = Path("d" + LocalName());
  MakeDirectory(directory);
  const uint64_t creation = 0x01D1111111111111ull;
  const uint64_t write = 0x01D2222222222227ull;
  const bool set = SetPathTimes(directory, &creation, &write);
  // The ANSI side opens without backup semantics, which only a system without the wide
  // entry points accepts for a directory.
  if (!Wide()) {
    EXPECT_FALSE(set);
    return;
  }
  ASSERT_TRUE(set);
  uint64_t c, a, w;
  ReadTimes(directory, c, a, w);
  if (stores_creation) {
    EXPECT_EQ(c, creation);
  }
  EXPECT_EQ(w, write);
}

// Whether the system refuses to open a read-only file for writing, as Windows does; Wine
// run by the superuser opens it all the same.
bool RefusesWritingReadOnly(const std::string& control) {
  HANDLE file = CreateFileW(W(control).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  SetFileAttributesW(W(control).c_str(), FILE_ATTRIBUTE_READONLY);
  file = CreateFileW(W(control).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
  const bool refused = file == INVALID_HANDLE_VALUE;
  if (!refused) CloseHandle(file);
  SetFileAttributesW(W(control).c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(W(control).c_str());
  return refused;
}

// Both sides open for writing, so a read-only file is refused wherever the system refuses
// writing to it, and keeps its times and its attribute: whoever sets its times clears the
// attribute first.
TEST_P(FileSystem, SetPathTimesOpensAReadOnlyFileOnlyForWriting) {
  const bool refuses = RefusesWritingReadOnly(Path("control"));
  const std::string file = Path("ro" + LocalName());
  WriteFile(file);
  uint64_t c, a, w0, w;
  ReadTimes(file, c, a, w0);
  ASSERT_TRUE(SetFileAttributesW(W(file).c_str(), FILE_ATTRIBUTE_READONLY));
  const uint64_t write = 0x01D5555555555555ull;
  EXPECT_EQ(SetPathTimes(file, nullptr, &write), !refuses);
  ReadTimes(file, c, a, w);
  EXPECT_EQ(w, refuses ? w0 : write);
  EXPECT_NE(GetFileAttributesW(W(file).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_TRUE(SetFileAttributesW(W(file).c_str(), FILE_ATTRIBUTE_NORMAL));
  const uint64_t write2 = 0x01D5555555555557ull;
  EXPECT_TRUE(SetPathTimes(file, nullptr, &write2));
  ReadTimes(file, c, a, w);
  EXPECT_EQ(w, write2);
}

// A file another program holds open without sharing writes cannot be opened: false.
TEST_P(FileSystem, SetPathTimesOnAFileHeldOpen) {
  const std::string file = Path("held" + LocalName());
  WriteFile(file);
  HANDLE held = CreateFileW(W(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const uint64_t write = 0x01D5555555555559ull;
  EXPECT_FALSE(SetPathTimes(file, nullptr, &write));
  CloseHandle(held);
  EXPECT_TRUE(SetPathTimes(file, nullptr, &write));
}

TEST_P(FileSystem, FindFirstAndNext) {
  const std::string name = "n" + LocalName() + ".bin";
  WriteFile(Path(name), 12345);
  MakeDirectory(Path("sub"));
  const uint64_t write = 0x01D6000000000009ull;
  ASSERT_TRUE(SetPathTimes(Path(name), nullptr, &write));
  FindEntry entry;
  HANDLE search = FindFirst(Path("*"), entry);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  std::vector<std::string> names;
  bool saw_file = false, saw_directory = false;
  do {
    names.push_back(entry.Name);
    if (entry.Name == name) {
      saw_file = true;
      EXPECT_EQ(entry.Size, 12345u);
      EXPECT_EQ(entry.Attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
      EXPECT_EQ(entry.LastWriteTime, write);
      EXPECT_NE(entry.CreationTime, 0u);
    }
    if (entry.Name == "sub") saw_directory = (entry.Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  } while (FindNext(search, entry));
  FindClose(search);
  EXPECT_TRUE(saw_file);
  EXPECT_TRUE(saw_directory);
  EXPECT_EQ(FindFirst(Path("nothing*"), entry), INVALID_HANDLE_VALUE);
}

TEST_P(FileSystem, RemoveDirectoryTree) {
  const std::string name = LocalName();
  MakeDirectory(Path("t"));
  MakeDirectory(Path("t\\e1"));
  MakeDirectory(Path("t\\e1\\e2" + name));
  MakeDirectory(Path("t\\k" + name));
  MakeDirectory(Path("t\\k" + name + "\\deep"));
  WriteFile(Path("t\\k" + name + "\\deep\\keep.txt"));
  MakeDirectory(Path("t\\k" + name + "\\empty"));
  EXPECT_TRUE(RemoveDirectoryTree(Path("t")));
  // The file stays with its directory chain; everything else is gone.
  EXPECT_TRUE(Exists(Path("t\\k" + name + "\\deep\\keep.txt")));
  EXPECT_FALSE(Exists(Path("t\\e1")));
  EXPECT_FALSE(Exists(Path("t\\k" + name + "\\empty")));
  ASSERT_TRUE(RemoveFile(Path("t\\k" + name + "\\deep\\keep.txt")));
  EXPECT_TRUE(RemoveDirectoryTree(Path("t")));
  EXPECT_FALSE(Exists(Path("t")));
  EXPECT_FALSE(RemoveDirectoryTree(Path("t")));
}

// Where the system lets this process make a directory link (Windows with the privilege or
// in developer mode; Wine's call succeeds without making anything, so the case skips there).
TEST_P(FileSystem, RemoveDirectoryTreeDoesNotFollowLinks) {
  using CreateLink = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
  auto create_link = reinterpret_cast<CreateLink>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkW")));
  if (!create_link) GTEST_SKIP() << "no directory links on this system";
  MakeDirectory(Path("outside"));
  MakeDirectory(Path("outside\\inner"));
  MakeDirectory(Path("tree"));
  create_link(W(Path("tree\\link")).c_str(), Utf8ToWide(Path("outside")).c_str(), 0x1 | 0x2);
  if (!Exists(Path("tree\\link"))) GTEST_SKIP() << "this process cannot make directory links";
  EXPECT_TRUE(RemoveDirectoryTree(Path("tree")));
  EXPECT_TRUE(IsDirectory(Path("outside\\inner")));
  RemoveDirectoryW(W(Path("tree\\link")).c_str());
}

TEST_P(FileSystem, RemoveDirectoryPathOnlyWhenEmpty) {
  MakeDirectory(Path("d"));
  WriteFile(Path("d\\f"));
  EXPECT_FALSE(RemoveDirectoryPath(Path("d")));
  ASSERT_TRUE(RemoveFile(Path("d\\f")));
  EXPECT_TRUE(RemoveDirectoryPath(Path("d")));
  EXPECT_FALSE(Exists(Path("d")));
}

// A prefixed path reaches the system as it stands, trailing dot included, while an
// unprefixed one loses the dot. So the names show which paths carried the prefix: absolute
// paths on the wide side; relative paths and the ANSI side never.
TEST_P(FileSystem, LongPrefixOnTheWideSideOnly) {
  std::vector<std::string> names;
  auto list = [&] {
    names.clear();
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(W(Path("*")).c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
      names.push_back(WideToUtf8(data.cFileName));
    } while (FindNextFileW(search, &data));
    FindClose(search);
  };
  auto listed = [&](const std::string& name) {
    list();
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  // A directory is made under the name the system reads, on both sides.
  EXPECT_TRUE(CreateDirectoryTree(Path("dir.")));
  EXPECT_TRUE(listed("dir"));
  EXPECT_FALSE(listed("dir."));
  WriteFile(Path("f."));  // made with the prefix: the name keeps its dot
  ASSERT_TRUE(listed("f."));
  EXPECT_EQ(GetPathAttributes(Path("f.")) != 0xFFFFFFFFu, Wide());
  EXPECT_EQ(PathExists(Path("f.")), Wide());
  const uint64_t write = 0x01D8000000000001ull;
  EXPECT_EQ(SetPathTimes(Path("f."), nullptr, &write), Wide());
  EXPECT_EQ(MovePath(Path("g."), Path("f.")), Wide());
  EXPECT_EQ(RemoveFile(Path(Wide() ? "g." : "f.")), Wide());
  // The unprefixed ANSI path reaches the directory by the dotted name too.
  EXPECT_TRUE(RemoveDirectoryPath(Path(Wide() ? "dir" : "dir.")));
  EXPECT_FALSE(listed("dir.") || listed("dir"));
  // Relative paths go to the system unprefixed on the wide side too.
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW(Utf8ToWide(root_).c_str()));
  WriteFile(Path("r."));
  EXPECT_EQ(GetPathAttributes("r."), 0xFFFFFFFFu);
  EXPECT_FALSE(RemoveFile("r."));
  SetCurrentDirectoryW(saved);
}

TEST_P(FileSystem, CurrentDirectory) {
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW(Utf8ToWide(root_).c_str()));
  EXPECT_EQ(GetCurrentDirectoryUtf8(), root_);
  // A relative path is used as it stands and resolves against the current directory, on
  // the wide side too.
  WriteFile(Path("rel.txt"));
  EXPECT_NE(GetPathAttributes("rel.txt"), 0xFFFFFFFFu);
  EXPECT_TRUE(RemoveFile("rel.txt"));
  EXPECT_FALSE(Exists(Path("rel.txt")));
  SetCurrentDirectoryW(saved);
}

TEST_P(FileSystem, CanonicalShellPath) {
  const std::string file = Path("a long file name " + LocalName() + ".text");
  WriteFile(file);
  wchar_t short_path[MAX_PATH];
  DWORD length = GetShortPathNameW(Utf8ToWide(file).c_str(), short_path, MAX_PATH);
  ASSERT_GT(length, 0u);
  const std::string canonical = CanonicalShellPath(WideToUtf8(short_path));
  EXPECT_EQ(CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, Utf8ToWide(canonical).c_str(), -1,
                           Utf8ToWide(file).c_str(), -1),
            CSTR_EQUAL)
      << canonical;
  EXPECT_EQ(CanonicalShellPath(Path("missing\\nothing")), "");
  EXPECT_EQ(PathFromItemList(nullptr), "");
}

INSTANTIATE_TEST_SUITE_P(BothSides, FileSystem, testing::Values(Side::Wide, Side::Ansi), platform_test::SideName);

// Paths beyond the classic limit of 260 characters, which only the wide side can reach.
class LongPaths : public testing::Test {
 protected:
  void SetUp() override {
    SetWideSystemOverride(1);
    root_ = platform_test::WideSystemTempDirectory() + "\\gu_long_" + std::to_string(GetCurrentProcessId());
    Purge(root_);
    deep_ = root_;
    const std::string component(60, 'L');
    for (int i = 0; i < 6; ++i) deep_ += "\\" + component + LocalName() + std::to_string(i);
    ASSERT_GT(deep_.size(), 400u);
  }
  void TearDown() override {
    Purge(root_);
    SetWideSystemOverride(-1);
  }
  std::string root_;
  std::string deep_;
};

TEST_F(LongPaths, EveryOperationReachesThem) {
  ASSERT_TRUE(CreateDirectoryTree(deep_));
  EXPECT_TRUE(IsDirectory(deep_));
  EXPECT_TRUE(PathExists(deep_));
  EXPECT_TRUE(PathExists(deep_ + "\\"));
  const std::string file = deep_ + "\\file.bin";
  WriteFile(file);
  EXPECT_TRUE(PathExists(file));
  EXPECT_EQ(GetPathAttributes(file) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  const uint64_t write = 0x01D7000000000007ull;
  EXPECT_TRUE(SetPathTimes(file, nullptr, &write));
  EXPECT_TRUE(SetPathTimes(deep_, &write, &write));
  FindEntry entry;
  HANDLE search = FindFirst(file, entry);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  EXPECT_EQ(entry.Name, "file.bin");
  EXPECT_EQ(entry.LastWriteTime, write);
  // Directories far beyond the limit, named as the system reads them.
  ASSERT_TRUE(CreateDirectoryTree(deep_ + "\\tail.\\end "));
  EXPECT_TRUE(IsDirectory(deep_ + "\\tail\\end"));
  EXPECT_FALSE(Exists(deep_ + "\\tail."));
  EXPECT_TRUE(CreateDirectoryTree(deep_ + "\\tail\\end"));
  const std::string moved = deep_ + "\\moved.bin";
  EXPECT_TRUE(MovePath(moved, file));
  EXPECT_TRUE(RemoveFile(moved));
  EXPECT_FALSE(PathExists(moved));
  EXPECT_TRUE(RemoveDirectoryTree(root_));
  EXPECT_FALSE(Exists(root_));
}

}  // namespace
