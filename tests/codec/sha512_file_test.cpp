// Whole-file digest over stdio.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codec/sha512.h"
#include "tests/codec/codec_test_data.h"

namespace {

#include "tests/codec/codec_vectors.inc"

class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& content) {
    char name[] = "/tmp/sha512_file_test_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path_ = name;
    if (!content.empty()) {
      EXPECT_EQ(write(fd, content.data(), content.size()),
                static_cast<ssize_t>(content.size()));
    }
    close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(FileSha512Hex, EmptyFileGivesDigestOfEmptyMessage) {
  TempFile file({});
  EXPECT_EQ(FileSha512Hex(file.path()), kPatternSha512[0]);
}

TEST(FileSha512Hex, WholeFileAcrossSeveralPieces) {
  // 200,003 bytes: three full 64 KiB pieces and a short last one.
  TempFile file(codec_test::PatternBytes(kLongPatternLength));
  EXPECT_EQ(FileSha512Hex(file.path()), kLongPatternSha512);
  TempFile small(codec_test::PatternBytes(113));
  EXPECT_EQ(FileSha512Hex(small.path()), kPatternSha512[113]);
}

TEST(FileSha512Hex, MissingFileOrDirectoryGivesEmptyString) {
  EXPECT_EQ(FileSha512Hex("/nonexistent/dir/file.bin"), "");
  EXPECT_EQ(FileSha512Hex(""), "");
  EXPECT_EQ(FileSha512Hex("/tmp"), "");  // a directory cannot be read as a file
}

// Files of the kernel's attribute tree report a size of one page but hold fewer bytes:
// a read that comes up short must give the empty string, not a digest of what was read.
TEST(FileSha512Hex, ShortReadGivesEmptyString) {
  for (const char* candidate : {"/sys/devices/system/cpu/online", "/sys/kernel/profiling",
                                "/sys/kernel/mm/transparent_hugepage/enabled"}) {
    struct stat info;
    if (stat(candidate, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) continue;
    std::FILE* f = std::fopen(candidate, "rb");
    if (f == nullptr) continue;
    std::vector<char> buf(static_cast<size_t>(info.st_size) + 1);
    const size_t got = std::fread(buf.data(), 1, buf.size(), f);
    std::fclose(f);
    if (got >= static_cast<size_t>(info.st_size)) continue;
    EXPECT_EQ(FileSha512Hex(candidate), "") << candidate;
    return;
  }
  GTEST_SKIP() << "no file shorter than its reported size on this system";
}

}  // namespace
