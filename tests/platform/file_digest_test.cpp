// Whole-file SHA-512 over the platform file stream, on both sides of the system interface.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "codec/sha512.h"
#include "platform/wide_api.h"

namespace {

std::string ScratchFile(const char* name) {
  char temp[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof temp, temp);
  std::string path(temp, length);
  if (!path.empty() && path.back() != '\\') path.push_back('\\');
  return path + "gu_digest_" + std::to_string(GetCurrentProcessId()) + "_" + name;
}

void PutFile(const std::string& path, const std::string& bytes) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  ASSERT_EQ(written, bytes.size());
}

class FileDigestTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { SetWideSystemOverride(GetParam()); }
  void TearDown() override {
    DeleteFileA(path_.c_str());
    SetWideSystemOverride(-1);
  }
  std::string path_ = ScratchFile(GetParam() ? "w.bin" : "a.bin");
};

INSTANTIATE_TEST_SUITE_P(Sides, FileDigestTest, ::testing::Values(1, 0),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param ? "Wide" : "Ansi");
                         });

TEST_P(FileDigestTest, StandardVectors) {
  PutFile(path_, "");
  EXPECT_EQ(FileSha512Hex(path_),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
  PutFile(path_, "abc");
  EXPECT_EQ(FileSha512Hex(path_),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  // One million 'a': fifteen whole 64 KiB pieces and a short last one.
  PutFile(path_, std::string(1000000, 'a'));
  EXPECT_EQ(FileSha512Hex(path_),
            "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
            "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
}

TEST_P(FileDigestTest, PieceBoundaries) {
  for (size_t size : {65535u, 65536u, 65537u, 131072u}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + (i >> 8));
    PutFile(path_, bytes);
    gca::Sha512Digest digest;
    digest.Reset();
    digest.Update(bytes.data(), static_cast<uint32_t>(bytes.size()));
    digest.Finish();
    EXPECT_EQ(FileSha512Hex(path_), digest.HexText()) << size;
  }
}

TEST_P(FileDigestTest, UnreadableFilesGiveTheEmptyText) {
  EXPECT_EQ(FileSha512Hex(path_ + ".missing"), "");
  EXPECT_EQ(FileSha512Hex(""), "");
  // A file held open by a writer that shares nothing cannot be opened for reading.
  HANDLE h = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FileSha512Hex(path_), "");
  CloseHandle(h);
}

}  // namespace
