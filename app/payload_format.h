// Layout of the patch payload appended behind the updater's image: tagged records, the
// value forms, the tag search and the writer used by the patch builder. Portable: the
// updater and the patch builder share this code so that they can never disagree.
//
// No full 16-byte tag exists as a literal anywhere: tags are assembled at run time from
// their short names, so that the first occurrence of a tag in a patch file is the
// payload's own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kTagSize = 16;
constexpr size_t kTextFieldSize = 32;
constexpr size_t kDigestFieldSize = 128;
// Records are searched for in the first 1 MiB of the program file only.
constexpr uint64_t kSearchWindow = 0x100000;

// The one-character padding string of the tags.
extern const char PadString[];

// Short names of the records.
extern const char TitleName[];
extern const char VersionOldName[];
extern const char VersionNewName[];
extern const char CheckFileOldName[];
extern const char CheckFileNewName[];
extern const char CheckOldHashName[];
extern const char CheckNewHashName[];
extern const char DatTimeName[];
extern const char DeleteName[];
extern const char ArchiveName[];
extern const char DataName[];

// A short name followed by PadString up to 16 bytes (empty when the name is longer).
std::string AssembleTag(const std::string& short_name);
// ArchiveName, one PadString, DataName, then padding.
std::string ArchiveTag();

// Size of the search window for a file of the given size.
uint64_t SearchWindowSize(uint64_t file_size);
// First position i in [0, size - 16] where the 16 bytes equal the tag, or -1.
int32_t FindTag(const uint8_t* bytes, size_t size, const std::string& tag);

// Value of a 32-byte text field: the text up to the first zero among its first 31 bytes.
std::string TextFieldValue(const uint8_t* field);
// Value of a 128-byte digest field: the text up to the first zero, at most 128 bytes.
std::string DigestFieldValue(const uint8_t* field);

// One entry of the time-stamp list: a path relative to the installation directory
// (UTF-8, backslash-separated) and its last-write time (FILETIME).
struct TimeStamp {
  std::string Name;
  uint64_t WriteTime = 0;
};

// One entry of the deletion list: a loose file, a data archive ("n.dat"), a directory, or
// a data-archive member ("___\\n\\..."), relative to the installation (UTF-8,
// backslash-separated), that the old version has and the new one does not.
struct Deletion {
  std::string Name;
  bool Directory = false;
};
constexpr uint32_t kDeletionDirectory = 1;

// A relative entry name that names a file below the directory it is joined to: not empty,
// no leading backslash, no drive colon, no forward slash, no control byte or wildcard, no
// empty component, none of dots and spaces only, none that names a device (con, nul,
// com1, lpt1.txt, ...).
bool IsSafeRelativeName(const std::string& name);

// The characters that the updater's longest paths for an entry leave for the
// installation directory's own path, under the classic limits of the ANSI entry points
// that the archive code uses (MAX_PATH - 1 for a file, MAX_PATH - 13 for a directory): a
// loose file is staged as tmp\NAME and kept aside as tmp\___old\NAME, a data-archive
// member ("A\..." inside data archive A) is unpacked as tmp\___\NAME. The name is in the
// archives' code page, backslash-separated; negative when no directory would do.
int InstallDirectoryRoom(const std::string& name, bool member);
// Less room than this is refused by the patch builder unless the publisher allows it.
constexpr int kLeastInstallDirectoryRoom = 100;

// How the updater rebuilds the data archives it merges into. kUnpack unpacks each one
// into the work tree and packs it again, stored; kStream takes the members the patch does
// not change straight from the old archive into the rebuilt one, which is byte for byte
// what kUnpack writes but for the times of directory entries; kKeep streams as well and
// keeps the old archive's options (compressed, scrambled, solid), copying the coded bytes
// of unchanged members where it can.
enum class RebuildWay : uint32_t { kUnpack = 0, kStream = 1, kKeep = 2 };
// "unpack", "stream", "keep".
const char* RebuildWayName(RebuildWay way);
bool ParseRebuildWay(const std::string& text, RebuildWay& way);

// The records of one payload, as the patch builder fills them.
struct PayloadRecords {
  std::string Title;
  std::string OldVersion;
  std::string NewVersion;
  std::string OldCheckFile;
  std::string NewCheckFile;
  std::string OldCheckHash;
  std::string NewCheckHash;
  std::vector<TimeStamp> Times;
  // Written only when not empty: a patch without deletions has today's records.
  std::vector<Deletion> Deletions;
  // Written only when not kUnpack (u32 way, behind the deletion list): a patch that
  // unpacks has today's records.
  RebuildWay Rebuild = RebuildWay::kUnpack;
};

// Where one record, or one entry of the time-stamp list, lies in the file: from its tag
// (or the entry's first byte) to the end of its value. What names it in messages.
struct PayloadSpan {
  std::string What;   // "the title", "the time-stamp entry \"a.txt\"", ...
  std::string Tag;    // the record's tag; empty for a time-stamp entry
  uint64_t Begin = 0;
  uint64_t End = 0;
};

// Writes the records in their order, each tag on a 16-byte boundary of the file, into
// out; start is the file offset at which out will be placed (the end of the image), and
// out begins with the zero bytes that bring it to the next multiple of 16. The last
// record written is the archive tag: the archive follows directly. Returns false with a
// message when a text does not fit its field (more than 31 bytes, or a zero byte), a
// digest is not 128 lowercase hexadecimal characters, a time-stamp name is unsafe, or a
// tag would end beyond the search window. spans, when given, receives where each record
// and each time-stamp entry lies (file offsets).
bool WritePayloadRecords(const PayloadRecords& records, uint64_t start, std::vector<uint8_t>& out,
                         std::string& error, std::vector<PayloadSpan>* spans = nullptr);

// The first occurrence of every record's tag in the file's first bytes (the image
// followed by the payload, from offset 0) must be the record's own: the readers take the
// first match. False with a message naming the record (or the image) that holds an
// earlier copy of a tag.
bool CheckTagPlacement(const uint8_t* file, size_t size, const std::vector<PayloadSpan>& spans, std::string& error);

// A patch file as the payload readers see it. Every lookup opens it afresh and reads at
// absolute positions. The updater reads its own program file through it and the patch
// builder the patch it has just written, so both apply the same rules.
class PayloadFile {
 public:
  virtual ~PayloadFile() = default;
  virtual bool Open() = 0;
  virtual uint64_t Size() = 0;
  virtual bool Seek(uint64_t position) = 0;
  // Bytes read; fewer at the end of the file.
  virtual uint32_t Read(void* buffer, uint32_t n) = 0;
  virtual void Close() = 0;
};

// Position of the tag in the file's search window (the first 1 MiB, or the whole file
// when smaller), first match; -1 when missing or the window cannot be read whole.
int32_t FindRecordIn(PayloadFile& file, const std::string& tag);
// The fixed-field readers: the tag is searched for, the file opened again and the field
// read whole behind the tag; false when the tag is missing or the file ends inside it.
bool ReadTextRecordIn(PayloadFile& file, const char* short_name, std::string& value);
bool ReadDigestRecordIn(PayloadFile& file, const char* short_name, std::string& value);
// The time-stamp list as the update restores it: found only at a position above 0, read
// up to the first short read (a name running past the end of the file is one). False
// when there is no list; complete tells whether all counted entries were read.
bool ReadTimeStampsIn(PayloadFile& file, std::vector<TimeStamp>& stamps, bool& complete);

// The deletion list, found like the time-stamp list: u32 count, then per entry u32 flags
// (bit 0: a directory), u32 name length and the UTF-8 name. False when there is none;
// complete tells whether all counted entries were read (the updater refuses a list cut
// short rather than delete part of it).
bool ReadDeletionsIn(PayloadFile& file, std::vector<Deletion>& deletions, bool& complete);

// The rebuild way: kUnpack when the patch has no such record. False when the record is
// there but cut short or names a way this updater does not know (the patch is refused
// rather than rebuilt some other way).
bool ReadRebuildWayIn(PayloadFile& file, RebuildWay& way);

// The parsed records of a patch file's first bytes (the search window), as the updater
// finds them: each field by its tag, the time-stamp list read up to its first short read.
struct PayloadView {
  bool HasTitle = false, HasVersions = false, HasOldCheck = false, HasNewCheck = false;
  PayloadRecords Records;
  bool HasTimes = false;
  bool TimesComplete = false;
  int32_t ArchiveTagPosition = -1;
};
PayloadView ParsePayload(const uint8_t* window, size_t size);

// Offset at which the last section of a PE image ends (the largest raw-data end of its
// section table), or 0 when the bytes are not a PE image.
uint64_t PeImageEnd(const uint8_t* bytes, size_t size);
