// Blocks coded on a pool of workers: archives written with any number of threads are the
// same bytes as with one, read back the same, report progress in order, and a damaged
// frame fails exactly where and how it fails on one thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archive/gca_archive.h"
#include "codec/block_codec.h"
#include "codec/block_pool.h"
#include "codec/gfl_exception.h"
#include "tests/archive/archive_test_util.h"

using namespace gca;
using namespace gca_test;

namespace {

class MemoryStream : public ByteStream {
 public:
  std::string data;
  uint64_t position = 0;
  uint32_t Read(void* buffer, uint32_t n) override {
    if (position >= data.size()) return 0;
    const uint32_t k = uint32_t(std::min<uint64_t>(n, data.size() - position));
    std::memcpy(buffer, data.data() + position, k);
    position += k;
    return k;
  }
  uint32_t Write(const void* buffer, uint32_t n) override {
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

struct Options {
  const char* name;
  bool compress, solid, scramble, scramble_dir, compress_dir;
};

// Store, compressed, solid, scrambled, scrambled solid, scrambled directory, plain directory.
const Options kOptionSets[] = {
    {"store", false, false, false, false, true},       {"compressed", true, false, false, false, true},
    {"solid", true, true, false, false, true},         {"scramble", true, false, true, false, true},
    {"solid-scramble", true, true, true, false, true}, {"scramble-dir", true, false, false, true, true},
    {"plain-dir", true, false, false, false, false},
};

// Entries of two blocks (a compressible one ending in a partial block, an
// incompressible one), entries smaller than a block, an empty one and a directory.
void MakeSource(const ScratchDir& src) {
  ASSERT_TRUE(CreateDirectoryTree(src / "t\\sub"));
  WriteFile(src / "t\\text.txt", TestBytes(1500000, 1));
  WriteFile(src / "t\\noise.bin", TestBytes(1100000, 2, false));
  WriteFile(src / "t\\sub\\mid.txt", TestBytes(300000, 3));
  WriteFile(src / "t\\sub\\tiny", "0123456789");
  WriteFile(src / "t\\empty", "");
  WriteFile(src / "t\\sub\\more.txt", TestBytes(700000, 4));
}

std::string Build(const ScratchDir& src, const Options& o, unsigned threads,
                  std::vector<uint64_t>* progress = nullptr) {
  GcaArchive a;
  EXPECT_TRUE(a.PrepareBuffers());
  a.SetThreads(threads);
  a.CompressData = o.compress;
  a.Solid = o.solid;
  a.ScrambleData = o.scramble;
  a.ScrambleDirectory = o.scramble_dir;
  a.CompressDirectory = o.compress_dir;
  if (progress) {
    a.SetProgressCallback([progress](uint64_t done, uint64_t, GcaArchive*) {
      progress->push_back(done);
      return 0;
    });
  }
  a.SetSourceList({src / "t"});
  MemoryStream out;
  EXPECT_TRUE(a.WriteArchive(out)) << o.name << " with " << threads << " threads";
  return out.data;
}

// What decoding every entry gives: per entry the result, the bytes written (also those
// written before a failure) and the notices.
struct Decoded {
  std::vector<bool> ok;
  std::vector<std::string> bytes;
  std::vector<std::pair<uint32_t, std::string>> notices;
  bool operator==(const Decoded& o) const { return ok == o.ok && bytes == o.bytes && notices == o.notices; }
};

// Decodes the entries in the given order (all of them in archive order when empty).
Decoded DecodeSome(const std::string& archive, unsigned threads, const std::vector<int32_t>& order) {
  Decoded d;
  GcaArchive a;
  EXPECT_TRUE(a.PrepareBuffers());
  a.SetThreads(threads);
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchiveMemory(archive);
  if (!a.ReadDirectory()) return d;
  for (int32_t i : order) {
    MemoryStream out;
    d.ok.push_back(a.DecodeEntry(out, i, a.EntryName(i)));
    d.bytes.push_back(out.data);
  }
  d.notices = log.seen;
  return d;
}

Decoded DecodeAll(const std::string& archive, unsigned threads, bool reverse = false) {
  Decoded d;
  GcaArchive a;
  EXPECT_TRUE(a.PrepareBuffers());
  a.SetThreads(threads);
  NoticeLog log;
  a.SetNoticeCallback(log.Callback());
  a.SetArchiveMemory(archive);
  if (!a.ReadDirectory()) return d;
  const int32_t n = a.EntryCount();
  for (int32_t k = 0; k < n; ++k) {
    const int32_t i = reverse ? n - 1 - k : k;
    MemoryStream out;
    d.ok.push_back(a.DecodeEntry(out, i, a.EntryName(i)));
    d.bytes.push_back(out.data);
  }
  d.notices = log.seen;
  return d;
}

// A frame source over bytes in memory.
class BytesSource : public FrameSource {
 public:
  explicit BytesSource(const std::string& bytes) : bytes_(bytes) {}
  void ReadExactly(void* buffer, uint32_t n) override {
    if (n > bytes_.size() - at_) throw GflException(kGflDataError);
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
  }
  void SkipForward(uint64_t n) override {
    if (n > bytes_.size() - at_) throw GflException(kGflDataError);
    at_ += size_t(n);
  }

 private:
  const std::string& bytes_;
  size_t at_ = 0;
};

}  // namespace

TEST(BlockPool, ArchivesAreTheSameBytesForAnyThreadCountAndReadBack) {
  ScratchDir src;
  MakeSource(src);
  for (const Options& o : kOptionSets) {
    const std::string one = Build(src, o, 1);
    ASSERT_FALSE(one.empty()) << o.name;
    for (unsigned threads : {2u, 3u}) {
      const std::string many = Build(src, o, threads);
      EXPECT_EQ(many.size(), one.size()) << o.name << " with " << threads << " threads";
      EXPECT_TRUE(many == one) << o.name << " with " << threads << " threads differs";
    }
    // Read back on one and on several threads, forwards, and a solid one backwards too
    // (each entry from its index position).
    const Decoded expected = DecodeAll(one, 1);
    ASSERT_EQ(expected.ok.size(), 8u) << o.name;  // t, t\sub and six files
    for (size_t i = 0; i < expected.ok.size(); ++i) EXPECT_TRUE(expected.ok[i]) << o.name << " entry " << i;
    EXPECT_TRUE(DecodeAll(one, 3) == expected) << o.name;
    if (o.solid) {
      EXPECT_TRUE(DecodeAll(one, 2, true) == DecodeAll(one, 1, true)) << o.name;
    }
  }
}

TEST(BlockPool, EntriesReadInAnyOrderMatchOneThread) {
  // Frames are decoded ahead across entries: skipping, going back and repeating an entry
  // must read from the right place with the right key.
  ScratchDir src;
  MakeSource(src);
  const std::vector<int32_t> order = {7, 0, 1, 2, 2, 5, 3, 4, 6, 7, 1, 6, 0, 3};
  for (const Options& o : {kOptionSets[3], kOptionSets[1]}) {
    const std::string archive = Build(src, o, 1);
    const Decoded one = DecodeSome(archive, 1, order);
    ASSERT_EQ(one.ok.size(), order.size());
    for (size_t k = 0; k < one.ok.size(); ++k) EXPECT_TRUE(one.ok[k]) << o.name << " " << order[k];
    EXPECT_TRUE(DecodeSome(archive, 2, order) == one) << o.name;
  }
}

TEST(BlockPool, ExtractedTreeMatchesTheSource) {
  ScratchDir src, out, dest;
  MakeSource(src);
  for (const Options& o : {kOptionSets[1], kOptionSets[4]}) {
    GcaArchive w;
    ASSERT_TRUE(w.PrepareBuffers());
    w.SetThreads(3);
    w.CompressData = o.compress;
    w.Solid = o.solid;
    w.ScrambleData = o.scramble;
    w.SetArchivePath(out / "t.gca");
    w.SetSourceList({src / "t"});
    ASSERT_TRUE(w.Build()) << o.name;

    GcaArchive a;
    ASSERT_TRUE(a.PrepareBuffers());
    a.SetThreads(3);
    NoticeLog log;
    a.SetNoticeCallback(log.Callback());
    a.SetArchivePath(out / "t.gca");
    ASSERT_TRUE(a.ReadDirectory());
    const std::string into = dest / o.name;
    ASSERT_TRUE(CreateDirectoryTree(into));
    a.SetOutputDirectory(into);
    for (int32_t i = 0; i < a.EntryCount(); ++i) EXPECT_TRUE(a.ExtractEntry(i)) << a.EntryName(i);
    for (const char* name : {"t\\text.txt", "t\\noise.bin", "t\\sub\\mid.txt", "t\\sub\\tiny", "t\\empty",
                             "t\\sub\\more.txt"}) {
      EXPECT_TRUE(ReadFile(JoinPath(into, name)) == ReadFile(src / name)) << o.name << " " << name;
    }
    EXPECT_EQ(log.Count(kNoticeEntryCrc), 0) << o.name;
  }
}

TEST(BlockPool, ProgressCountsBlocksInOrder) {
  ScratchDir src;
  MakeSource(src);
  const uint64_t total = 1500000 + 1100000 + 300000 + 10 + 700000;
  for (const Options& o : {kOptionSets[1], kOptionSets[2]}) {
    std::vector<uint64_t> seen;
    const std::string archive = Build(src, o, 3, &seen);
    // The data blocks count up to the total; the directory's own frame reports after.
    const auto end = std::find(seen.begin(), seen.end(), total);
    ASSERT_TRUE(end != seen.end()) << o.name;
    EXPECT_TRUE(std::is_sorted(seen.begin(), end + 1)) << o.name;

    // Decoding the two-block entry reports each block as it is delivered.
    GcaArchive a;
    ASSERT_TRUE(a.PrepareBuffers());
    a.SetThreads(3);
    NoticeLog log;
    a.SetNoticeCallback(log.Callback());
    a.SetArchiveMemory(archive);
    ASSERT_TRUE(a.ReadDirectory());
    int32_t text = -1;
    for (int32_t i = 0; i < a.EntryCount(); ++i) {
      if (a.EntryName(i) == "t\\text.txt") text = i;
    }
    ASSERT_GE(text, 0);
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    a.SetProgressCallback([&](uint64_t done, uint64_t all, GcaArchive*) {
      reports.emplace_back(done, all);
      return 0;
    });
    MemoryStream out;
    ASSERT_TRUE(a.DecodeEntry(out, text, "text"));
    ASSERT_FALSE(reports.empty());
    for (size_t k = 1; k < reports.size(); ++k) EXPECT_LE(reports[k - 1].first, reports[k].first) << o.name;
    EXPECT_EQ(reports.back().first, reports.back().second) << o.name;
    if (!o.solid) {
      // Two blocks: 1 MiB, then the whole entry.
      ASSERT_EQ(reports.size(), 2u);
      EXPECT_EQ(reports[0].first, uint64_t(kBlockSize));
      EXPECT_EQ(reports[1].first, 1500000u);
    }
  }
}

TEST(BlockPool, DamagedFrameFailsAsOnOneThread) {
  // Three blocks of one entry and a small one behind them.
  ScratchDir src;
  ASSERT_TRUE(CreateDirectoryTree(src / "t"));
  WriteFile(src / "t\\text.txt", TestBytes(2300000, 5));
  WriteFile(src / "t\\tiny.txt", TestBytes(3000, 6));
  for (const Options& o : {kOptionSets[1], kOptionSets[2], kOptionSets[4]}) {
    const std::string good = Build(src, o, 1);
    // Frame heads (magic, block length, stream lengths) where they can be found, and
    // payload bytes spread over the data area.
    std::vector<size_t> positions;
    // A spread sample: the magic, a length and the coded stream of each frame head.
    for (size_t at = good.find("GCF"); at != std::string::npos && positions.size() < 12;
         at = good.find("GCF", at + 1)) {
      for (size_t k : {3u, 10u, 40u}) positions.push_back(at + k);
    }
    const size_t data_end = good.size() - 200;
    for (size_t k = 1; k <= 8; ++k) positions.push_back(16 + (data_end - 16) * k / 9);
    int failures = 0;
    for (size_t at : positions) {
      if (at >= data_end) continue;
      for (uint8_t mask : {uint8_t(0xA5)}) {
        std::string bad = good;
        bad[at] = char(bad[at] ^ mask);
        const Decoded one = DecodeAll(bad, 1);
        const Decoded many = DecodeAll(bad, 3);
        EXPECT_TRUE(one == many) << o.name << ": byte " << at << " ^ " << int(mask);
        for (bool ok : one.ok) failures += !ok;
        for (const auto& notice : one.notices) failures += notice.first == kNoticeEntryCrc;
      }
    }
    // The damage was seen: entries fail or report their CRC.
    EXPECT_GT(failures, 0) << o.name;
  }
}

TEST(BlockPool, FirstFailureInStreamOrderIsRaisedInItsTurn) {
  // Five frames: 0 and 1 good, 2 with more literals than block bytes (found only by the
  // worker that decodes it), 3 good, 4 cut short (found by the reader, later in time).
  BlockCodec codec;
  ASSERT_TRUE(codec.Allocate());
  std::vector<std::string> blocks;
  std::string stream;
  std::vector<uint8_t> frame(kFrameBufferSize);
  for (uint32_t k = 0; k < 5; ++k) {
    blocks.push_back(TestBytes(kBlockSize, 10 + k, k % 2 == 0));
    const uint32_t n = codec.CompressBlock(reinterpret_cast<const uint8_t*>(blocks.back().data()), kBlockSize,
                                           frame.data());
    std::string f(reinterpret_cast<const char*>(frame.data()), n);
    if (k == 2) {
      ASSERT_EQ(f.compare(0, 3, "GCF"), 0);
      ASSERT_NE(f[3], '0');  // a coded frame, not a stored one
      f[11] = char(0x7f);
    }
    if (k == 4) f.resize(f.size() / 2);
    stream += f;
  }
  BlockPool pool(3);
  ASSERT_TRUE(pool.Start());
  BytesSource source(stream);
  PooledFrameReader reader(pool, source, 5ull * kBlockSize, true);
  std::vector<uint8_t> out(kBlockSize);
  for (int k = 0; k < 2; ++k) {
    ASSERT_EQ(reader.ReadFrame(out.data()), kBlockSize);
    EXPECT_EQ(std::memcmp(out.data(), blocks[size_t(k)].data(), kBlockSize), 0) << k;
  }
  try {
    reader.ReadFrame(out.data());
    ADD_FAILURE() << "the damaged frame was delivered";
  } catch (const GflException& e) {
    EXPECT_EQ(e.Code, uint32_t(kGflDataError));
    EXPECT_EQ(e.Message, "bad block lengths");
  }
}

TEST(BlockPool, WorkersCodeBlocksAsOneCodecDoes) {
  BlockCodec codec;
  ASSERT_TRUE(codec.Allocate());
  BlockPool pool(2);
  ASSERT_TRUE(pool.Start());
  EXPECT_EQ(pool.Workers(), 2u);
  // More blocks than slots, of every kind: text, noise, tiny, empty.
  std::vector<std::string> blocks;
  for (uint32_t k = 0; k < 9; ++k) {
    const size_t n = k == 3 ? 0 : k == 5 ? 7 : 200000 + 50000 * k;
    blocks.push_back(TestBytes(n, 30 + k, k % 3 != 1));
  }
  std::vector<uint8_t> frame(kFrameBufferSize);
  size_t next = 0;
  for (size_t done = 0; done < blocks.size();) {
    while (next < blocks.size() && !pool.Full()) {
      BlockPool::Slot& slot = pool.Next();
      std::memcpy(slot.input, blocks[next].data(), blocks[next].size());
      slot.input_length = uint32_t(blocks[next].size());
      slot.tag = next++;
      pool.Submit(BlockPool::Work::kEncode);
    }
    BlockPool::Slot& slot = pool.Oldest();
    ASSERT_FALSE(slot.failed);
    ASSERT_EQ(slot.tag, done);
    const uint32_t n = codec.CompressBlock(reinterpret_cast<const uint8_t*>(blocks[done].data()),
                                           uint32_t(blocks[done].size()), frame.data());
    ASSERT_EQ(slot.output_length, n) << done;
    EXPECT_EQ(std::memcmp(slot.output, frame.data(), n), 0) << done;
    pool.Pop();
    ++done;
  }
  EXPECT_TRUE(pool.Empty());
}
