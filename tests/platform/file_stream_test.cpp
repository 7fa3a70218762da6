// File streams on both sides of the system interface (wide and ANSI entry points).
#include "platform/file_stream.h"

#include <gtest/gtest.h>
#include <winioctl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/wide_api.h"
#include "tests/platform/platform_test_support.h"

namespace {

// A fresh, empty directory of the system's temporary folder, ASCII only.
std::string MakeScratchDirectory(const char* tag) {
  char temp[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof temp, temp);
  std::string base(temp, length);
  if (!base.empty() && base.back() != '\\') base.push_back('\\');
  static int serial = 0;
  std::string dir = base + "gu_fs_" + tag + "_" + std::to_string(GetCurrentProcessId()) + "_" +
                    std::to_string(++serial);
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

// Files are made and inspected with the ANSI entry points on ASCII names, independently of
// the code under test.
void PutFile(const std::string& path, const std::string& bytes) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  ASSERT_EQ(written, bytes.size());
}

std::string GetFile(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes(1 << 16, '\0');
  DWORD got = 0;
  ReadFile(h, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(h);
  bytes.resize(got);
  return bytes;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Through the wide entry points, so that names of any script go too.
void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = dir + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryW(dir.c_str());
}

// The code page that the test entry asked Wine for, when it asked for one.
UINT ExpectedCodePage() {
  char value[16] = {};
  if (GetEnvironmentVariableA("GU_EXPECT_ACP", value, sizeof value) == 0) return 0;
  return static_cast<UINT>(std::atoi(value));
}

class FileStreamTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    SetWideSystemOverride(GetParam());
    ASSERT_EQ(IsWideSystem(), GetParam() == 1);
    dir_ = MakeScratchDirectory(GetParam() ? "w" : "a");
  }
  void TearDown() override {
    RemoveTree(Utf8ToWide(dir_));
    SetWideSystemOverride(-1);
  }
  std::string In(const std::string& name) const { return dir_ + "\\" + name; }

  std::string dir_;
};

INSTANTIATE_TEST_SUITE_P(Sides, FileStreamTest, ::testing::Values(1, 0),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param ? "Wide" : "Ansi");
                         });

TEST_P(FileStreamTest, ReadModesNeedAnExistingFile) {
  const std::string missing = In("missing.bin");
  for (int mode : {0, 1, 2}) {
    FileStream stream;
    EXPECT_FALSE(stream.Open(missing, mode)) << mode;
    EXPECT_EQ(stream.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(stream.Path(), missing);
    EXPECT_FALSE(Exists(missing)) << mode;
  }
}

TEST_P(FileStreamTest, EachModeHasItsAccessAndDisposition) {
  const std::string path = In("modes.bin");
  PutFile(path, "abcdef");
  char buffer[8] = {};
  {
    FileStream stream;  // 0: read only
    ASSERT_TRUE(stream.Open(path, 0));
    EXPECT_EQ(stream.Read(buffer, 6), 6u);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    EXPECT_EQ(stream.Write("x", 1), 0u);
  }
  {
    FileStream stream;  // 1: write only, no truncation
    ASSERT_TRUE(stream.Open(path, 1));
    EXPECT_EQ(stream.Size(), 6u);
    EXPECT_EQ(stream.Read(buffer, 1), 0u);
    EXPECT_EQ(stream.Write("XY", 2), 2u);
  }
  EXPECT_EQ(GetFile(path), "XYcdef");
  {
    FileStream stream;  // 2: read and write, no truncation
    ASSERT_TRUE(stream.Open(path, 2));
    EXPECT_EQ(stream.Read(buffer, 2), 2u);
    EXPECT_EQ(stream.Write("ZZ", 2), 2u);
    EXPECT_TRUE(stream.Seek(0));
    EXPECT_EQ(stream.Read(buffer, 6), 6u);
    EXPECT_EQ(std::string(buffer, 6), "XYZZef");
  }
  {
    FileStream stream;  // 3: write only, truncates an existing file
    ASSERT_TRUE(stream.Open(path, 3));
    EXPECT_EQ(stream.Size(), 0u);
    EXPECT_EQ(stream.Read(buffer, 1), 0u);
    EXPECT_EQ(stream.Write("q", 1), 1u);
  }
  EXPECT_EQ(GetFile(path), "q");
  {
    FileStream stream;  // 4: read and write, truncates
    ASSERT_TRUE(stream.Open(path, 4));
    EXPECT_EQ(stream.Size(), 0u);
    EXPECT_EQ(stream.Write("new", 3), 3u);
    EXPECT_TRUE(stream.Seek(1));
    EXPECT_EQ(stream.Read(buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "ew");
  }
  EXPECT_EQ(GetFile(path), "new");
  const std::string created3 = In("created3.bin"), created4 = In("created4.bin");
  FileStream a, b;
  EXPECT_TRUE(a.Open(created3, 3));
  EXPECT_TRUE(b.Open(created4, 4));
  EXPECT_TRUE(Exists(created3));
  EXPECT_TRUE(Exists(created4));
}

TEST_P(FileStreamTest, UnknownModesFailAndCreateNothing) {
  const std::string path = In("mode5.bin");
  for (int mode : {5, -1, 100}) {
    FileStream stream;
    EXPECT_FALSE(stream.Open(path, mode)) << mode;
    EXPECT_EQ(stream.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(stream.Path(), path);
  }
  EXPECT_FALSE(Exists(path));
}

TEST_P(FileStreamTest, OthersMayReadButNotWrite) {
  const std::string path = In("shared.bin");
  PutFile(path, "data");
  FileStream first;
  ASSERT_TRUE(first.Open(path, 2));
  FileStream reader;
  EXPECT_FALSE(reader.Open(path, 0));  // our own write access is not shared with readers...
  first.Close();
  ASSERT_TRUE(first.Open(path, 0));
  EXPECT_TRUE(reader.Open(path, 0));  // ...but reading is shared with readers
  FileStream writer;
  EXPECT_FALSE(writer.Open(path, 1));
}

TEST_P(FileStreamTest, OpenAgainClosesThePreviousFile) {
  const std::string one = In("one.bin"), two = In("two.bin");
  PutFile(one, "1");
  PutFile(two, "22");
  FileStream stream;
  ASSERT_TRUE(stream.Open(one, 2));
  ASSERT_TRUE(stream.Open(two, 0));
  EXPECT_EQ(stream.Size(), 2u);
  FileStream writer;  // the first file is no longer held
  EXPECT_TRUE(writer.Open(one, 1));
  EXPECT_FALSE(stream.Open(In("none.bin"), 0));
  EXPECT_EQ(stream.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(writer.Close());
  EXPECT_TRUE(writer.Close());  // closing a closed stream is harmless
}

TEST_P(FileStreamTest, ReopenUsesTheStoredPath) {
  FileStream fresh;
  EXPECT_FALSE(fresh.Reopen(0));
  const std::string path = In("reopen.bin");
  FileStream stream;
  ASSERT_TRUE(stream.Open(path, 4));
  stream.WriteText("abc");
  ASSERT_TRUE(stream.Reopen(0));
  EXPECT_EQ(stream.Path(), path);
  EXPECT_EQ(stream.Size(), 3u);
  EXPECT_EQ(stream.ReadU8(), 'a');
}

TEST_P(FileStreamTest, RelativePathsResolveAgainstTheBaseDirectory) {
  const std::string saved = BaseDirectory;
  BaseDirectory = dir_;
  PutFile(In("relative.bin"), "rel");
  FileStream stream;
  EXPECT_TRUE(stream.Open("relative.bin", 0));
  EXPECT_EQ(stream.Size(), 3u);
  EXPECT_EQ(stream.Path(), "relative.bin");
  BaseDirectory = saved;
}

TEST_P(FileStreamTest, AtEndFollowsOpensAndReads) {
  const std::string empty = In("empty.bin"), full = In("full.bin");
  PutFile(empty, "");
  PutFile(full, "xyz");
  FileStream stream;
  EXPECT_EQ(stream.AtEnd(), 1);
  ASSERT_TRUE(stream.Open(empty, 0));
  EXPECT_EQ(stream.AtEnd(), 1);  // an empty file leaves the flag as it was
  ASSERT_TRUE(stream.Open(full, 0));
  EXPECT_EQ(stream.AtEnd(), 0);
  char buffer[8];
  EXPECT_EQ(stream.Read(buffer, 0), 0u);
  EXPECT_EQ(stream.AtEnd(), 0);  // asking for nothing is no end
  EXPECT_EQ(stream.Read(buffer, 3), 3u);
  EXPECT_EQ(stream.AtEnd(), 0);  // reading up to the end is not yet past it
  EXPECT_EQ(stream.Read(buffer, 1), 0u);
  EXPECT_EQ(stream.AtEnd(), 1);
  ASSERT_TRUE(stream.Open(empty, 0));
  EXPECT_EQ(stream.AtEnd(), 1);  // still set from the read before
  ASSERT_TRUE(stream.Open(full, 0));
  EXPECT_EQ(stream.AtEnd(), 0);
}

TEST_P(FileStreamTest, TypedValuesAreLittleEndian) {
  const std::string path = In("typed.bin");
  FileStream stream;
  ASSERT_TRUE(stream.Open(path, 4));
  EXPECT_EQ(stream.WriteU8(0x81), 1u);
  EXPECT_EQ(stream.WriteU16(0x1234), 2u);
  EXPECT_EQ(stream.WriteU32(0xA1B2C3D4u), 4u);
  EXPECT_EQ(stream.WriteU32(0), 4u);
  ASSERT_TRUE(stream.Close());
  EXPECT_EQ(GetFile(path), std::string("\x81\x34\x12\xD4\xC3\xB2\xA1\0\0\0\0", 11));
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.ReadU8(), 0x81);
  EXPECT_EQ(stream.ReadU16(), 0x1234);
  EXPECT_EQ(stream.ReadU32(), 0xA1B2C3D4u);
  EXPECT_EQ(stream.ReadU32(), 0u);
  EXPECT_FALSE(stream.ShortRead());  // a stored zero is not a short read
}

TEST_P(FileStreamTest, ShortTypedReadsAreDetectable) {
  const std::string path = In("short.bin");
  PutFile(path, "\xAA\xBB\xCC");
  FileStream stream;
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.ReadU32(), 0x00CCBBAAu);  // missing bytes read as zero
  EXPECT_TRUE(stream.ShortRead());
  stream.ClearShortRead();
  EXPECT_EQ(stream.ReadU8(), 0);
  EXPECT_TRUE(stream.ShortRead());
  stream.ClearShortRead();
  EXPECT_EQ(stream.ReadU16(), 0);
  EXPECT_TRUE(stream.ShortRead());
  ASSERT_TRUE(stream.Open(path, 0));  // Open clears it
  EXPECT_FALSE(stream.ShortRead());
  EXPECT_EQ(stream.ReadU16(), 0xBBAA);
  EXPECT_FALSE(stream.ShortRead());
  EXPECT_EQ(stream.ReadU16(), 0x00CC);
  EXPECT_TRUE(stream.ShortRead());
}

TEST_P(FileStreamTest, StringsCarryTheirLength) {
  const std::string path = In("strings.bin");
  const std::string with_zero("a\0b", 3);
  const std::string long_text(65537, 'L');
  FileStream stream;
  ASSERT_TRUE(stream.Open(path, 4));
  stream.WriteString(with_zero);
  stream.WriteString("");
  stream.WriteShortString("short");
  stream.WriteShortString(long_text);  // length kept modulo 65,536: one byte
  stream.WriteText("raw");
  EXPECT_EQ(stream.Size(), 4 + 3 + 4 + 2 + 5 + 2 + 1 + 3u);
  ASSERT_TRUE(stream.Seek(0));
  EXPECT_EQ(stream.ReadString(), with_zero);
  EXPECT_EQ(stream.ReadString(), "");
  EXPECT_EQ(stream.ReadShortString(), "short");
  EXPECT_EQ(stream.ReadShortString(), "L");
  char raw[3];
  EXPECT_EQ(stream.Read(raw, 3), 3u);
  EXPECT_EQ(std::string(raw, 3), "raw");
  EXPECT_FALSE(stream.ShortRead());
  EXPECT_EQ(stream.ReadShortString(), "");
  EXPECT_TRUE(stream.ShortRead());
}

TEST_P(FileStreamTest, ShortStringsReadEmpty) {
  const std::string path = In("shortstring.bin");
  PutFile(path, std::string("\x0A\0\0\0" "123456", 10));
  FileStream stream;
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.ReadString(), "");
  EXPECT_TRUE(stream.ShortRead());
  EXPECT_EQ(stream.Tell(), 10u);  // everything present was consumed
  stream.Close();
  // A damaged length far beyond the file costs no large buffer and reads empty.
  PutFile(path, std::string("\xF0\xFF\xFF\xFF" "abc", 7));
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.ReadString(), "");
  EXPECT_EQ(stream.Tell(), 7u);
  stream.Close();
  PutFile(path, std::string("\x05\0" "ab", 4));
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.ReadShortString(), "");
  stream.Close();
  PutFile(path, std::string("\x05\0\0", 3));
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.ReadString(), "");
  EXPECT_TRUE(stream.ShortRead());
}

TEST_P(FileStreamTest, SeekAndTell) {
  const std::string path = In("seek.bin");
  PutFile(path, "0123456789");
  FileStream stream;
  EXPECT_EQ(stream.Tell(), ~uint64_t{0});  // no file
  EXPECT_FALSE(stream.Seek(0));
  char byte;
  EXPECT_EQ(stream.Read(&byte, 1), 0u);
  EXPECT_EQ(stream.Write("x", 1), 0u);
  EXPECT_EQ(stream.AtEnd(), 1);
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.Tell(), 0u);
  EXPECT_TRUE(stream.Seek(7));
  EXPECT_EQ(stream.Tell(), 7u);
  EXPECT_EQ(stream.ReadU8(), '7');
  EXPECT_TRUE(stream.Seek(100));  // beyond the end is a position like any other
  EXPECT_EQ(stream.Tell(), 100u);
  EXPECT_EQ(stream.ReadU8(), 0);
  EXPECT_TRUE(stream.ShortRead());
  EXPECT_FALSE(stream.Seek(uint64_t{1} << 63));  // negative for the system
}

TEST_P(FileStreamTest, SizeIsCachedOnlyInReadMode) {
  const std::string path = In("size.bin");
  PutFile(path, "1234");
  FileStream reader;
  ASSERT_TRUE(reader.Open(path, 0));
  ASSERT_TRUE(reader.Close());
  PutFile(path, "12345678");  // the file changes once the stream lets go of it
  EXPECT_EQ(reader.Size(), 4u);
  FileStream writer;
  ASSERT_TRUE(writer.Open(path, 2));
  EXPECT_EQ(writer.Size(), 8u);
  ASSERT_TRUE(writer.Seek(8));
  writer.WriteText("9A");
  EXPECT_EQ(writer.Size(), 10u);
  ASSERT_TRUE(writer.Close());
  EXPECT_EQ(writer.Size(), 0u);  // asked again, and no file to ask
}

// Positions and sizes beyond 4 GiB, on a sparse file.
TEST_P(FileStreamTest, PositionsBeyondFourGigabytes) {
  const std::string path = In("large.bin");
  const uint64_t beyond = (uint64_t{5} << 30) + 12345;
  {
    FileStream stream;
    ASSERT_TRUE(stream.Open(path, 4));
    DWORD ignored = 0;  // keeps the test cheap on file systems that honour it
    DeviceIoControl(stream.Handle(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored,
                    nullptr);
    ASSERT_TRUE(stream.Seek(beyond));
    EXPECT_EQ(stream.Tell(), beyond);
    EXPECT_EQ(stream.WriteU32(0xC0FFEE11u), 4u);
    EXPECT_EQ(stream.Tell(), beyond + 4);
    EXPECT_EQ(stream.Size(), beyond + 4);
    ASSERT_TRUE(stream.Seek(beyond + 2));
    EXPECT_EQ(stream.ReadU16(), 0xC0FF);
  }
  FileStream stream;
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.Size(), beyond + 4);
  EXPECT_EQ(stream.AtEnd(), 0);
  ASSERT_TRUE(stream.Seek(beyond));
  EXPECT_EQ(stream.ReadU32(), 0xC0FFEE11u);
  EXPECT_FALSE(stream.ShortRead());
  ASSERT_TRUE(stream.Seek(beyond - (uint64_t{1} << 32)));  // same low word, other high word
  EXPECT_EQ(stream.ReadU32(), 0u);
  EXPECT_FALSE(stream.ShortRead());
  EXPECT_EQ(stream.Tell(), beyond - (uint64_t{1} << 32) + 4);
  // Whole-file loads stop at 4 GiB.
  FileStream loader;
  EXPECT_FALSE(loader.LoadWhole(path));
  EXPECT_TRUE(loader.Content().empty());
  EXPECT_EQ(loader.Handle(), INVALID_HANDLE_VALUE);
}

TEST_P(FileStreamTest, LoadWholeKeepsTheFileOpen) {
  const std::string path = In("whole.bin");
  std::string bytes(200000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  PutFile(path, bytes);
  FileStream stream;
  ASSERT_TRUE(stream.LoadWhole(path));
  EXPECT_EQ(std::string(stream.Content().begin(), stream.Content().end()), bytes);
  EXPECT_NE(stream.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(stream.Size(), bytes.size());
  stream.Unload();
  EXPECT_TRUE(stream.Content().empty());
  EXPECT_EQ(stream.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(stream.Size(), 0u);
  PutFile(path, "");
  ASSERT_TRUE(stream.LoadWhole(path));
  EXPECT_TRUE(stream.Content().empty());
  stream.Close();
  PutFile(path, "abc");
  ASSERT_TRUE(stream.LoadWhole(path));
  EXPECT_FALSE(stream.LoadWhole(In("missing.bin")));
  EXPECT_TRUE(stream.Content().empty());  // nothing left from the load before
}

TEST_P(FileStreamTest, LoadFromArchiveIsNotAvailableYet) {
  // Loading entries out of data archives needs the archive reader, which this library does
  // not have yet: even a path below an existing archive gives false.
  PutFile(In("pack.dat"), "GCAX");
  FileStream stream;
  EXPECT_FALSE(stream.LoadFromArchive(In("pack\\entry.bin")));
  EXPECT_FALSE(stream.LoadWhole(In("pack\\entry.bin")));
}

TEST_P(FileStreamTest, LoadAsyncRunsOneLoaderAtATime) {
  const std::string path = In("async.bin");
  const std::string bytes(3 << 20, 'z');
  PutFile(path, bytes);
  FileStream stream;
  ASSERT_TRUE(stream.LoadAsync(path));
  EXPECT_FALSE(stream.LoadAsync(path));  // the first loader's thread still exists
  for (int i = 0; i < 20000 && !stream.LoadSucceeded() && !stream.LoadFailed(); ++i) Sleep(1);
  ASSERT_EQ(stream.LoadSucceeded(), 1);
  EXPECT_EQ(stream.LoadFailed(), 0);
  EXPECT_EQ(stream.Content().size(), bytes.size());
  EXPECT_EQ(stream.Path(), path);
  EXPECT_FALSE(stream.LoadAsync(path));  // until Unload forgets the thread
  stream.Unload();
  ASSERT_TRUE(stream.LoadAsync(In("missing.bin")));
  for (int i = 0; i < 20000 && !stream.LoadSucceeded() && !stream.LoadFailed(); ++i) Sleep(1);
  EXPECT_EQ(stream.LoadFailed(), 1);
  EXPECT_EQ(stream.LoadSucceeded(), 0);
  stream.Unload();
  // Unloading or destroying a stream whose loader may still run is safe.
  ASSERT_TRUE(stream.LoadAsync(path));
  stream.Unload();
  EXPECT_TRUE(stream.Content().empty());
  EXPECT_EQ(stream.Handle(), INVALID_HANDLE_VALUE);
  auto* temporary = new FileStream;
  ASSERT_TRUE(temporary->LoadAsync(path));
  delete temporary;
}

TEST_P(FileStreamTest, LongPathsOnTheWideSide) {
  if (!IsWideSystem()) GTEST_SKIP() << "the ANSI entry points have no long-path form";
  const std::string dir = In(std::string(200, 'd'));
  ASSERT_TRUE(CreateDirectoryW(Utf8ToWide("\\\\?\\" + dir).c_str(), nullptr));
  const std::string path = dir + "\\" + std::string(120, 'f') + ".bin";
  ASSERT_GT(path.size(), static_cast<size_t>(MAX_PATH));
  FileStream stream;
  ASSERT_TRUE(stream.Open(path, 4));
  stream.WriteString("long");
  ASSERT_TRUE(stream.Reopen(0));
  EXPECT_EQ(stream.ReadString(), "long");
  stream.Close();
  DeleteFileW(Utf8ToWide("\\\\?\\" + path).c_str());
  RemoveDirectoryW(Utf8ToWide("\\\\?\\" + dir).c_str());
}

TEST_P(FileStreamTest, JapaneseFileNames) {
  const UINT expected = ExpectedCodePage();
  if (expected != 0) {
    ASSERT_EQ(GetACP(), expected) << "the test entry's locale did not apply";
  }
  // "日本語のファイル.bin"
  const std::string name = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x95\xE3"
                           "\x82\xA1\xE3\x82\xA4\xE3\x83\xAB.bin";
  const std::string path = In(name);
  FileStream stream;
  if (!IsWideSystem() && GetACP() != 932) {
    // The name has no form in this code page: its characters reach the system as question
    // marks, which no file name may hold, so nothing is opened or created.
    EXPECT_FALSE(stream.Open(path, 4));
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((dir_ + "\\*.bin").c_str(), &entry);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return;
  }
  {
    // Wine keeps file names in the host's character set; without a UTF-8 host locale it
    // can store no Japanese name at all, whatever the entry point.
    const std::wstring probe = Utf8ToWide(In("probe_" + name));
    HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      GTEST_SKIP() << "the system cannot store this file name in this locale";
    }
    CloseHandle(h);
    DeleteFileW(probe.c_str());
  }
  ASSERT_TRUE(stream.Open(path, 4));
  stream.WriteString("jp");
  ASSERT_TRUE(stream.Close());
  // Found again through the other side's entry points.
  SetWideSystemOverride(GetParam() ? 0 : 1);
  if (!IsWideSystem() && GetACP() != 932) return;
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.ReadString(), "jp");
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(Utf8ToWide(dir_ + "\\*.bin").c_str(), &entry);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WideToUtf8(entry.cFileName), name);
  FindClose(search);
}

// A wide system whose library lacks the wide entry point falls back to the ANSI one.
TEST_P(FileStreamTest, MissingWideEntryFallsBackToAnsi) {
  const auto saved = WideApi.CreateFileW;
  WideApi.CreateFileW = nullptr;
  FileStream stream;
  const bool opened = stream.Open(In("fallback.bin"), 4);
  WideApi.CreateFileW = saved;
  ASSERT_TRUE(opened);
  EXPECT_EQ(stream.WriteU32(7), 4u);
  EXPECT_TRUE(Exists(In("fallback.bin")));
}

// A name of the run's code page (in 932 with the trail byte 0x5C, the backslash) goes
// through either side and is the same file for both.
TEST_P(FileStreamTest, NamesOfTheCodePage) {
  const std::string sub = In(platform_test::LocalName());
  ASSERT_TRUE(CreateDirectoryW(Utf8ToWide(sub).c_str(), nullptr));
  const std::string path = sub + "\\" + platform_test::LocalName() + ".bin";
  FileStream stream;
  ASSERT_TRUE(stream.Open(path, 4));
  stream.WriteString("cp");
  ASSERT_TRUE(stream.Close());
  SetWideSystemOverride(GetParam() ? 0 : 1);
  ASSERT_TRUE(stream.Open(path, 0));
  EXPECT_EQ(stream.ReadString(), "cp");
  EXPECT_TRUE(stream.LoadWhole(path));
  EXPECT_EQ(stream.Content().size(), 6u);
}

}  // namespace
