// GcaArchive: the one object through which GCA archives are read, extracted and built,
// and ArchiveHandle, the small owner through which the updater uses its reading side.
// Narrow strings (paths, entry names) are in the players' code page.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/byte_stream.h"
#include "archive/gca_format.h"

namespace gca {

class GcaArchive;

// Notice codes posted to the notice callback.
enum ArchiveNotice : uint32_t {
  kNoticeBadHeader = 0x0c800400,
  kNoticeScrambledDirectory = 0x04240400,
  kNoticeBadCheckWord = 0x0c240400,
  kNoticeDirectoryCrc = 0x0c200400,
  kNoticeSolidIndex = 0x08840400,
  kNoticeExtractStart = 0x040a0800,
  kNoticeExtractDone = 0x040b0800,
  kNoticeCannotCreateDirectory = 0x0c280c00,
  kNoticeTargetExists = 0x100c0800,
  kNoticeEntryCrc = 0x0c200800,
  kNoticeAddFile = 0x04060800,
  kNoticeCannotOpenSource = 0x0c100800,
  kNoticeBuildReadError = 0x0c180800,
  kNoticeBuildWriteError = 0x0c1c0400,
  // An entry name that would leave the output directory, names a device or holds a
  // control character: the entry is not extracted.
  kNoticeUnsafeName = 0x0c281000,
  // The target path runs through a link or something else that is not a directory, or
  // the target is not a regular file (a FIFO, device, socket or directory): the entry
  // is not extracted. Text: the path found.
  kNoticeUnsafeTarget = 0x0c2c0800,
  // Build met a source name that the archive code page cannot hold; Build fails
  // whatever the answer. Text: the path in the host's own form.
  kNoticeUnrepresentableSource = 0x0c101000,
  // Build left out an entry of a source tree that is neither a file nor a directory (a
  // FIFO, device, socket, link to a directory, dangling link). Text: the path in the
  // host's own form; the answer is not looked at.
  kNoticeSkippedSource = 0x04070800,
  // Build left out the archive file it is writing (or the one it replaces), found among
  // the sources. Text: the archive path; the answer is not looked at.
  kNoticeSkippedArchive = 0x04080800,
};

// One entry of an archive built from a list (BuildFromList): a directory, a file on
// disk, or an entry of another archive whose directory has been read.
struct ListItem {
  std::string Name;            // the stored name, in the archive code page
  uint32_t Attributes = 0;     // stored as given; bit 0x10 makes a directory entry
  uint64_t WriteTime = 0;      // stored as given (FILETIME)
  std::string Path;            // the file that holds the contents, when From is null
  GcaArchive* From = nullptr;  // or the archive that holds them,
  int32_t Index = -1;          // as this entry
};

// One entry of an archive written by BuildFromList, in the built archive's order: what
// the check of its data (CheckEntries) needs to know.
struct BuiltEntry {
  bool Copied = false;     // its stored bytes were copied from the source archive as they are
  uint32_t StoredCrc = 0;  // then: CRC-32 of those stored bytes as they were read from the source
};

// (code, text, archive) -> answer. Without a callback every notice is answered -1.
using NoticeCallback = std::function<int32_t(uint32_t code, const std::string& text, GcaArchive* archive)>;
// (done, total, archive) -> result nobody looks at.
using ProgressCallback = std::function<int32_t(uint64_t done, uint64_t total, GcaArchive* archive)>;

class GcaArchive {
 public:
  GcaArchive();
  ~GcaArchive();
  GcaArchive(const GcaArchive&) = delete;
  GcaArchive& operator=(const GcaArchive&) = delete;

  // Options: plain fields. The reader sets CompressData, ScrambleData, Solid and EntryCrc
  // from the archive; the writer takes all of them as given.
  bool CompressData = true;
  bool EntryCrc = true;
  bool ScrambleData = false;
  bool CompressDirectory = true;
  bool VerifyDirectoryCrc = true;
  bool ScrambleDirectory = false;
  bool Solid = false;
  // A build starts the disk on the archive's bytes while it writes them (see
  // FlushBehindFile), for a caller that flushes the archive once it is built.
  bool FlushWhileWriting = false;

  // Frees and allocates all codec work buffers; nonzero when every allocation succeeded.
  int PrepareBuffers();
  // Close, then free the codec buffers.
  void ReleaseBuffers();
  // Workers that code the frames of entries and solid streams side by side (1, the
  // default: every frame is coded on the calling thread). The output is the same for
  // any number. Their buffers are allocated on first use and freed by ReleaseBuffers.
  void SetThreads(unsigned threads);
  unsigned Threads() const;

  void SetArchivePath(const std::string& path);
  // Reads the archive from these bytes instead of the archive path (until the next
  // SetArchivePath).
  void SetArchiveMemory(std::string bytes);
  void SetStartOffset(int32_t offset);
  void SetOutputDirectory(const std::string& path);
  void SetKeyString(const std::string& key);
  void SetProgressCallback(ProgressCallback callback);
  void SetNoticeCallback(NoticeCallback callback);

  // Reading side.
  bool ReadDirectory();
  int32_t EntryCount();
  std::string EntryName(int32_t index);
  uint32_t EntryAttributes(int32_t index);
  // The whole record of an entry; a zero record when out of range.
  EntryRecord EntryInfo(int32_t index);
  bool ExtractEntry(int32_t index);
  bool DecodeEntry(ByteStream& out, int32_t index, const std::string& text);
  bool Close();
  // How the directory read was stored: compressed, scrambled.
  bool DirectoryCompressed() const;
  bool DirectoryScrambled() const;
  // One pass over the data of the archive read, blocks decoded on the workers: every
  // entry decoded and checked against its CRC, except the entries that `built` (indexed
  // like the directory; empty: none) marks as copied, whose stored bytes are checked
  // against the CRC of the bytes they were copied from. False at the first entry that
  // fails, whose index goes to *failed (-1 when the directory itself cannot be read).
  bool CheckEntries(const std::vector<BuiltEntry>& built, int32_t* failed);

  // Writing side.
  void SetSourceList(std::vector<std::string> sources);
  bool Build();
  bool WriteArchive(ByteStream& out);
  // Builds the archive at the archive path from the items, put in the order Build gives
  // the items of one source (a stable sort by the same key, so a list that names what a
  // scan of a directory finds, as the scan reports it, in any order, gives the bytes
  // Build of that directory gives). An entry taken from another archive (whose
  // directory has been read; never this object) is decoded, its CRC checked, and coded
  // with this archive's options; its stored bytes are copied as they are, without
  // decoding, when both archives store it alike (neither solid, the same CompressData,
  // ScrambleData and key, and when scrambled the same stored name, which the key holds).
  // Directory items store nothing. Every file item posts the add notice (text: its path, or its name when it comes from an
  // archive). Progress counts the unpacked bytes of all items. built, when given,
  // receives one BuiltEntry per entry written, in archive order. Failures as Build's: a
  // source file that cannot be opened, a short read or write; a source entry that does
  // not decode, or not to its CRC, or is cut short, posts the entry-CRC notice on the
  // archive that holds it (text: its name there), as decoding it there would, and ends
  // it with false; a solid source whose index its own notice answer declines posts the
  // read-error notice here. Copied bytes are not decoded here: damage they carry is the
  // source archive's, found by decoding it. The archive path must not be a source
  // archive's own (the new file is renamed over it while the source is open).
  bool BuildFromList(std::vector<ListItem> items, std::vector<BuiltEntry>* built = nullptr);

  int32_t Notify(uint32_t code, const std::string& text);

  // Implementation detail, defined inside the archive library.
  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Owner of one heap GcaArchive; forwards one to one.
class ArchiveHandle {
 public:
  ArchiveHandle() = default;
  ~ArchiveHandle() { Destroy(); }
  ArchiveHandle(const ArchiveHandle&) = delete;
  ArchiveHandle& operator=(const ArchiveHandle&) = delete;

  void Create();
  void Destroy();
  GcaArchive* Archive() { return archive_.get(); }

  int PrepareBuffers();
  void ReleaseBuffers();
  void SetArchivePath(const std::string& path);
  void SetStartOffset(int32_t offset);
  void SetOutputDirectory(const std::string& path);
  bool Open();
  bool Close();
  int32_t EntryCount();
  std::string EntryName(int32_t index);
  uint32_t EntryAttributes(int32_t index);
  bool ExtractEntry(int32_t index);

 private:
  std::unique_ptr<GcaArchive> archive_;
  uint32_t reserved_[3] = {0, 0, 0};
};

}  // namespace gca
