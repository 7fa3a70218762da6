// Private state of GcaArchive, shared by the files that implement it (object and
// buffers, directory, reader, writer). Not part of the archive's public interface.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/gca_archive.h"
#include "archive/gca_file.h"
#include "codec/archive_cipher.h"
#include "codec/block_codec.h"
#include "codec/block_pool.h"
#include "codec/crc32.h"

namespace gca {

// Directory key suffix: joined behind the pass phrase to key the directory's scrambling.
// Readers and writers of this format must use the same six letters.
constexpr char kDirectoryKeySuffix[] = "Vemdra";

// Stored bytes between two keystream snapshots of a solid index, at least.
constexpr uint64_t kSnapshotSpacing = 64u << 10;

struct GcaArchive::State {
  GcaArchive* self = nullptr;
  bool buffers_ready = false;
  bool scrambler_active = false;
  std::string key;
  std::string archive_path;
  bool from_memory = false;
  std::string memory;
  std::string output_directory;
  std::vector<std::string> sources;
  std::unique_ptr<GcaFile> file;
  bool directory_read = false;
  // How the directory read was stored.
  bool directory_compressed = false;
  bool directory_scrambled = false;
  int32_t count = 0;
  uint32_t data_start = 0;
  int32_t start_offset = 0;
  std::vector<std::string> names;
  std::vector<EntryRecord> records;
  // Data-area offset of every entry (sum of the packed sizes before it), one more
  // element than entries: the last is the end of the data area.
  std::vector<uint64_t> offsets;
  std::unique_ptr<BlockCodec> codec;
  // Workers that code frames (1: the codec above codes them on the calling thread), and
  // their pool, started on first use.
  unsigned threads = 1;
  std::unique_ptr<BlockPool> pool;
  // Read-ahead over the entries of an archive that is not solid: the pool holds frames
  // cut in archive order for the entries up to ahead_entry, of which ahead_left bytes
  // are not cut yet. Valid only while nothing else moved the file or the cipher.
  bool ahead_valid = false;
  bool ahead_stopped = false;
  int32_t ahead_entry = -1;
  uint64_t ahead_left = 0;
  ProgressCallback progress;
  NoticeCallback notice;
  Crc32 crc;
  uint32_t running_crc = 0;
  ArchiveCipher cipher;
  uint64_t progress_total = 0;
  uint64_t progress_done = 0;
  uint32_t solid_position = 0;
  uint32_t solid_fill = 0;
  bool solid_index_built = false;
  std::vector<ArchiveCipher> snapshots;
  std::vector<uint64_t> snapshot_position;  // file position of each snapshot, ascending
  std::vector<uint64_t> block_position;
  std::vector<int32_t> snapshot_number;
  std::vector<uint32_t> block_offset;
  // Which solid block the block buffer holds (-1: none), with the number of bytes it
  // decoded to; the file and the cipher then stand right behind that block.
  int32_t loaded_block = -1;
  uint32_t loaded_length = 0;
  std::vector<uint8_t> scratch;  // keystream runs over skipped bytes
  // Directories made for extracted files since the output directory was set (entries
  // of one directory are spread over the archive by the writer's order).
  std::unordered_set<std::string> made_parents;
  // Files the writer must not archive (the archive it writes), as FileIdentity pairs.
  std::vector<std::pair<uint64_t, uint64_t>> excluded;
  // File name of the new archive while it is written under a temporary name (Windows
  // does not let it be opened for reading meanwhile, so it is known by its name).
  std::string excluded_leaf;

  // The state of another archive object of this library.
  static State* Of(GcaArchive& archive) { return archive.state_.get(); }

  std::string PassPhrase() const { return key.empty() ? std::string(kDefaultArchiveKey) : key; }
  bool EnsureBuffers();
  uint8_t* BlockBuffer() { return codec->FrameBuffer(1); }
  uint8_t* RawBuffer() { return codec->FrameBuffer(0); }
  void ReportProgress();
  // The started pool, or null when frames are coded on this thread (one thread asked
  // for, or the pool could not get its memory).
  BlockPool* Pool();
  // Forgets the read-ahead (waiting for the workers), before the file or the cipher is
  // used otherwise.
  void DropReadAhead();
  void ClearDirectory();
  bool OpenArchiveFile();

  // Building blocks raising GflException.
  void ReadExactly(ByteStream& s, void* buffer, uint32_t n);
  void WriteOut(ByteStream& s, const void* buffer, uint32_t n);
  void ReadSource(ByteStream& s, void* buffer, uint32_t n);
  void WriteArchiveBytes(ByteStream& s, void* buffer, uint32_t n);
  void SkipForward(ByteStream& s, uint64_t n);

  // Directory (gca_directory.cpp).
  bool ReadDirectory();
  bool ReadOldDirectory(const uint8_t* head, uint64_t head_position, bool front_record, uint64_t file_size);
  bool ReadGca3Directory(uint64_t head_position, uint64_t file_size);
  bool ComputeOffsets();
  bool WriteDirectory(ByteStream& out, uint64_t p0);

  // Reader (gca_reader.cpp).
  bool DecodeEntry(ByteStream& out, int32_t index, const std::string& text);
  // DecodeEntry without the CRC notice (running_crc holds the CRC of what came out):
  // false for an entry out of range or a solid index declined; damage raises.
  bool DecodeEntryData(ByteStream& out, int32_t index);
  // The one-pass check of the data area (CheckEntries): false with the index of the
  // first entry that fails in *failed, or -1 when the archive as a whole cannot be
  // checked. Damage outside an entry's frames raises.
  bool CheckData(const std::vector<BuiltEntry>& built, int32_t* failed);
  // DecodeEntry's three ways, raising GflException on damaged data.
  void DecodePooledEntry(ByteStream& out, int32_t index, BlockPool& pool, FrameSource& source);
  void DecodePlainEntry(ByteStream& out, int32_t index, FrameSource& source);
  bool DecodeSolidEntry(ByteStream& out, int32_t index, FrameSource& source);
  bool BuildSolidIndex();
  // Sets the cipher to the keystream state at a block's file position.
  void RestoreCipher(uint64_t position);
  void FillAhead(FrameSource& source);
  bool ExtractEntry(int32_t index);
  bool ExtractDirectory(const std::string& target, const std::string& full, os::PathKind kind, uint32_t attributes);
  bool PrepareParents(const std::string& name);

  // Writer (gca_writer.cpp).
  bool WriteArchive(ByteStream& out);
  bool WriteList(ByteStream& out, std::vector<ListItem>& list, std::vector<BuiltEntry>* built);
  // Writes an archive at the archive path under a temporary name beside it, renamed
  // into place only when write succeeded; sources that are the new file or the file it
  // replaces are excluded.
  template <typename Write>
  bool BuildAtPath(const Write& write);
};

// Frame source over the archive's byte stream: read exactly, descrambled when the
// scrambler is active.
class ArchiveFrameSource : public FrameSource {
 public:
  ArchiveFrameSource(GcaArchive::State& state, ByteStream& stream) : state_(state), stream_(stream) {}
  void ReadExactly(void* buffer, uint32_t n) override { state_.ReadExactly(stream_, buffer, n); }
  void SkipForward(uint64_t n) override { state_.SkipForward(stream_, n); }

 private:
  GcaArchive::State& state_;
  ByteStream& stream_;
};

// Frame source over bytes in memory (a decoded directory body).
class MemoryFrameSource : public FrameSource {
 public:
  MemoryFrameSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  void ReadExactly(void* buffer, uint32_t n) override;
  void SkipForward(uint64_t n) override;
  size_t Position() const { return position_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// Little-endian helpers over byte arrays.
inline uint32_t Load32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t Load64(const uint8_t* p) { return uint64_t(Load32(p)) | (uint64_t(Load32(p + 4)) << 32); }
inline void Store32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void Store64(uint8_t* p, uint64_t v) {
  Store32(p, uint32_t(v));
  Store32(p + 4, uint32_t(v >> 32));
}

}  // namespace gca
