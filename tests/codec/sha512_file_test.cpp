// Whole-file digest over stdio.
#include <gtest/gtest.h>

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

}  // namespace
