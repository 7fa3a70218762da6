// The frame fuzz target's seeds reach the decoder: each gets an output capacity that
// holds its block, and decodes. A capacity that every frame shares (from a byte that
// never varies) refuses every frame of a large block before it is decoded.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/block_codec.h"
#include "codec/gfl_exception.h"
#include "tests/fuzz/frame_fuzz_capacity.h"

namespace gca {
namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::vector<uint8_t> data;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.insert(data.end(), buffer, buffer + got);
    std::fclose(f);
  }
  return data;
}

TEST(FrameFuzzSeeds, EverySeedGetsRoomForItsBlockAndDecodes) {
  const std::string dir = GU_FRAME_SEEDS;
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  ASSERT_FALSE(names.empty()) << dir;
  BlockCodec codec;
  ASSERT_TRUE(codec.Allocate());
  uint32_t largest = 0;
  for (const std::string& name : names) {
    const std::vector<uint8_t> frame = ReadAll(dir + "/" + name);
    ASSERT_GE(frame.size(), 8u) << name;
    const uint32_t n = uint32_t(frame[4]) | (uint32_t(frame[5]) << 8) |
                       (uint32_t(frame[6]) << 16) | (uint32_t(frame[7]) << 24);
    largest = std::max(largest, n);
    const uint32_t capacity = FrameFuzzCapacity(frame.data(), frame.size());
    EXPECT_GE(capacity, n) << name;
    std::vector<uint8_t> out(std::max<uint32_t>(capacity, 1));
    try {
      EXPECT_EQ(codec.DecompressFrame(frame.data(), static_cast<uint32_t>(frame.size()),
                                      out.data(), capacity),
                n)
          << name;
    } catch (const GflException& e) {
      ADD_FAILURE() << name << ": data error " << e.Code;
    }
  }
  EXPECT_GT(largest, 71u * 997u) << "a seed of a large block";
}

TEST(FrameFuzzSeeds, CapacityFollowsTheLastByte) {
  std::vector<uint8_t> frame = {'G', 'C', 'F', '1', 0, 0, 0, 0, 0};
  EXPECT_EQ(FrameFuzzCapacity(frame.data(), 0), kBlockSize);
  frame.back() = 0xFF;
  EXPECT_EQ(FrameFuzzCapacity(frame.data(), frame.size()), kBlockSize);
  frame.back() = 0;
  EXPECT_EQ(FrameFuzzCapacity(frame.data(), frame.size()), 0u);
  frame.back() = 0x7F;
  const uint32_t most = FrameFuzzCapacity(frame.data(), frame.size());
  EXPECT_LT(most, kBlockSize);
  EXPECT_GT(most, kBlockSize - 10000);
  frame.back() = 3;
  EXPECT_EQ(FrameFuzzCapacity(frame.data(), frame.size()), 3u * 8256u);
}

}  // namespace
}  // namespace gca
