// Memory of `gca list`, `test` and `extract` is bounded by what the archive file holds:
// two small archives that claim far more than they contain (a compressed directory of
// millions of entries, a solid stream of tens of thousands of tiny frames) are run
// through the tool in a child process, and the child's peak resident size, from the
// system's own accounting, must stay below 64 MiB + 4 times the archive's size.
// Linux only: the tool path comes from the command line.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/archive_cipher.h"
#include "codec/block_codec.h"
#include "tests/archive/archive_builder.h"
#include "tests/archive/archive_test_util.h"

using namespace gca_test;

namespace {

std::string g_tool;

// Frames coding `total` zero bytes in blocks of at most 1 MiB.
std::string ZeroFrames(gca::BlockCodec& codec, uint64_t total) {
  std::vector<uint8_t> zeros(gca::kBlockSize, 0);
  std::vector<uint8_t> frame(gca::kFrameBufferSize);
  std::string one_full;
  std::string out;
  while (total != 0) {
    const uint32_t piece = total < gca::kBlockSize ? uint32_t(total) : gca::kBlockSize;
    if (piece == gca::kBlockSize && !one_full.empty()) {
      out += one_full;
    } else {
      const uint32_t n = codec.CompressBlock(zeros.data(), piece, frame.data());
      std::string f(reinterpret_cast<const char*>(frame.data()), n);
      if (piece == gca::kBlockSize) one_full = f;
      out += f;
    }
    total -= piece;
  }
  return out;
}

// "GCAX" + data + "GCA3" directory with the given flags, count and body.
std::string Wrap(const std::string& data, uint32_t flags, uint32_t count, const std::string& body) {
  std::string a = "GCAX";
  Put32(a, 0);
  Put64(a, 16 + data.size());
  a += data;
  std::string head = "GCA3";
  Put32(head, flags);
  Put64(head, 32 + body.size());
  Put32(head, 0);
  Put32(head, 0);
  Put64(head, count);
  std::string dir = head + body;
  Set32(dir, 20, Crc(dir));
  return a + dir;
}

// A compressed directory claiming 15 million entries with empty names, whose decoded
// name table is one byte short: about 20 KB on disk, half a gigabyte decoded.
std::string HugeDirectory(gca::BlockCodec& codec) {
  const uint64_t n = 15000000;
  std::string body;
  Put64(body, n * 34 - 1);
  body += ZeroFrames(codec, n * 32);
  body += ZeroFrames(codec, n * 2 - 1);
  return Wrap(std::string(), 0x1, uint32_t(n), body);
}

// A scrambled solid stream of 65,536 frames of 1 MiB of zeros (some 1.5 MB of frame
// heads) and one entry claiming one byte more than they hold.
std::string ManySolidFrames(gca::BlockCodec& codec) {
  std::string data = ZeroFrames(codec, uint64_t(65536) * gca::kBlockSize);
  gca::ArchiveCipher cipher;
  cipher.SetKey(gca::kDefaultArchiveKey);
  cipher.Encrypt(&data[0], int32_t(data.size()));
  std::string body;
  Put32(body, 0);
  Put32(body, 0x20);
  Put64(body, 130000000000000000ull);
  Put64(body, uint64_t(65536) * gca::kBlockSize + 1);
  Put64(body, 0);
  body += std::string("\x05\x00" "a.bin", 7);
  return Wrap(data, 0x10 | 0x20 | 0x100, 1, body);
}

// Runs the tool with these arguments; returns its peak resident size in bytes (0 when
// it could not be run) and its exit code.
uint64_t PeakOf(const std::vector<std::string>& args, int* exit_code) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) return 0;
  if (pid == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(g_tool.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) _exit(126);
    execv(g_tool.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  std::memset(&usage, 0, sizeof(usage));
  if (wait4(pid, &status, 0, &usage) != pid) return 0;
  *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return uint64_t(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

TEST(Memory, AmplifyingArchivesStayWithinTheirBound) {
  ASSERT_FALSE(g_tool.empty()) << "usage: archive_memory_test GCA_TOOL";
  gca::BlockCodec codec;
  ASSERT_TRUE(codec.Allocate());
  ScratchDir dir;
  struct Case {
    const char* file;
    std::string bytes;
  } cases[] = {{"dir.gca", HugeDirectory(codec)}, {"solid.gca", ManySolidFrames(codec)}};
  for (const Case& c : cases) {
    const std::string path = dir / c.file;
    WriteFile(path, c.bytes);
    std::string host_path = path;
    for (char& ch : host_path) {
      if (ch == '\\') ch = '/';
    }
    const uint64_t limit = (64ull << 20) + 4 * uint64_t(c.bytes.size());
    const std::string out = (dir / "out");
    std::string host_out = out;
    for (char& ch : host_out) {
      if (ch == '\\') ch = '/';
    }
    const std::vector<std::vector<std::string>> runs = {
        {"list", host_path}, {"test", host_path}, {"extract", "-C", host_out, host_path}};
    for (const auto& run : runs) {
      int code = -2;
      const uint64_t peak = PeakOf(run, &code);
      std::printf("%s %s: %zu bytes, peak %.1f MiB (limit %.1f MiB), exit %d\n", run[0].c_str(), c.file,
                  c.bytes.size(), double(peak) / 1048576.0, double(limit) / 1048576.0, code);
      ASSERT_NE(peak, 0u);
      // Listing the solid archive reads only its directory, which is sound.
      const bool listing_solid = run[0] == "list" && std::strcmp(c.file, "solid.gca") == 0;
      EXPECT_EQ(code, listing_solid ? 0 : 1) << run[0] << " " << c.file;
      EXPECT_LE(peak, limit) << run[0] << " " << c.file;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) g_tool = argv[1];
  return RUN_ALL_TESTS();
}
