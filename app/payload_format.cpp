#include "app/payload_format.h"

#include <cstring>

const char PadString[] = "_";

const char TitleName[] = "TITLE";
const char VersionOldName[] = "VERSION_OLD";
const char VersionNewName[] = "VERSION_NEW";
const char CheckFileOldName[] = "CHECK_FILE_OLD";
const char CheckFileNewName[] = "CHECK_FILE_NEW";
const char CheckOldHashName[] = "CHECK_OLD_HASH";
const char CheckNewHashName[] = "CHECK_NEW_HASH";
const char DatTimeName[] = "DAT_TIME";
const char DeleteName[] = "DELETE";
const char RebuildName[] = "REBUILD";
const char ArchiveName[] = "ARCHIVE";
const char DataName[] = "DATA";

std::string AssembleTag(const std::string& short_name) {
  if (short_name.size() > kTagSize) return std::string();
  std::string tag = short_name;
  while (tag.size() < kTagSize) tag += PadString;
  return tag;
}

std::string ArchiveTag() {
  std::string name = ArchiveName;
  name += PadString;
  name += DataName;
  return AssembleTag(name);
}

uint64_t SearchWindowSize(uint64_t file_size) {
  return file_size < kSearchWindow ? file_size : kSearchWindow;
}

int32_t FindTag(const uint8_t* bytes, size_t size, const std::string& tag) {
  if (tag.size() != kTagSize || size < kTagSize || bytes == nullptr) return -1;
  const size_t last = size - kTagSize;
  for (size_t i = 0; i <= last; ++i) {
    if (bytes[i] == static_cast<uint8_t>(tag[0]) && std::memcmp(bytes + i, tag.data(), kTagSize) == 0) {
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

std::string TextFieldValue(const uint8_t* field) {
  size_t length = 0;
  while (length < kTextFieldSize - 1 && field[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(field), length);
}

std::string DigestFieldValue(const uint8_t* field) {
  size_t length = 0;
  while (length < kDigestFieldSize && field[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(field), length);
}

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Components the system does not take as names of their own: "." and "..", and those of
// dots and spaces only, which the system shortens to one of them.
bool IsDotsAndSpaces(const std::string& part) {
  return part.find_first_not_of(". ") == std::string::npos;
}

// A device name (con, prn, aux, nul, com1-9, lpt1-9, conin$, conout$), whatever its
// letter case and with or without an extension: the system opens the device, not a file
// in the directory. Trailing spaces before the extension do not hide it either.
bool IsDeviceName(const std::string& part) {
  std::string base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = Lower(c);
  if (base == "con" || base == "prn" || base == "aux" || base == "nul" || base == "conin$" || base == "conout$") {
    return true;
  }
  if (base.size() < 4 || (base.compare(0, 3, "com") != 0 && base.compare(0, 3, "lpt") != 0)) return false;
  const std::string number = base.substr(3);
  // The digits 1 to 9, and the superscripts one, two and three, which the system takes
  // for them.
  return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
         number == "\xC2\xB2" || number == "\xC2\xB3";
}

// Bytes no file name may hold: control characters and the characters the system reserves
// for wildcards, redirection and quoting.
bool HasForbiddenByte(const std::string& name) {
  for (char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*') return true;
  }
  return false;
}

}  // namespace

bool IsSafeRelativeName(const std::string& name) {
  if (name.empty() || name[0] == '\\') return false;
  if (name.find(':') != std::string::npos || name.find('/') != std::string::npos) return false;
  if (HasForbiddenByte(name)) return false;
  size_t start = 0;
  while (true) {
    const size_t end = name.find('\\', start);
    const std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || IsDotsAndSpaces(part) || IsDeviceName(part)) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutU64(std::vector<uint8_t>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PadTo16(std::vector<uint8_t>& out, uint64_t start) {
  while ((start + out.size()) % 16 != 0) out.push_back(0);
}

void PutTag(std::vector<uint8_t>& out, const std::string& tag) { out.insert(out.end(), tag.begin(), tag.end()); }

bool PutText(std::vector<uint8_t>& out, const char* short_name, const std::string& text, const char* what,
             std::string& error) {
  if (text.size() > kTextFieldSize - 1) {
    error = std::string(what) + " is " + std::to_string(text.size()) + " bytes long; a text field holds at most 31";
    return false;
  }
  if (text.find('\0') != std::string::npos) {
    error = std::string(what) + " contains a zero byte";
    return false;
  }
  PutTag(out, AssembleTag(short_name));
  const size_t at = out.size();
  out.resize(at + kTextFieldSize, 0);
  std::memcpy(out.data() + at, text.data(), text.size());
  return true;
}

bool IsLowerHexDigest(const std::string& text) {
  if (text.size() != kDigestFieldSize) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool PutDigest(std::vector<uint8_t>& out, const char* short_name, const std::string& digest, const char* what,
               std::string& error) {
  if (!IsLowerHexDigest(digest)) {
    error = std::string(what) + " is not 128 lowercase hexadecimal characters";
    return false;
  }
  PutTag(out, AssembleTag(short_name));
  out.insert(out.end(), digest.begin(), digest.end());
  return true;
}

// Reads one fixed field behind the tag found in the window; false when it runs short.
bool FieldAt(const uint8_t* window, size_t size, const std::string& tag, size_t field_size, const uint8_t** field) {
  const int32_t at = FindTag(window, size, tag);
  if (at < 0) return false;
  const size_t start = static_cast<size_t>(at) + kTagSize;
  if (start > size || size - start < field_size) return false;
  *field = window + start;
  return true;
}

}  // namespace

bool WritePayloadRecords(const PayloadRecords& r, uint64_t start, std::vector<uint8_t>& out, std::string& error,
                         std::vector<PayloadSpan>* spans) {
  out.clear();
  std::vector<PayloadSpan> layout;
  PadTo16(out, start);
  struct Text {
    const char* short_name;
    const std::string* value;
    const char* what;
  };
  const Text texts[] = {{TitleName, &r.Title, "the title"},
                        {VersionOldName, &r.OldVersion, "the old version text"},
                        {VersionNewName, &r.NewVersion, "the new version text"},
                        {CheckFileOldName, &r.OldCheckFile, "the old check file name"},
                        {CheckFileNewName, &r.NewCheckFile, "the new check file name"}};
  for (const Text& text : texts) {
    const uint64_t at = start + out.size();
    if (!PutText(out, text.short_name, *text.value, text.what, error)) return false;
    layout.push_back({text.what, AssembleTag(text.short_name), at, start + out.size()});
  }
  const Text digests[] = {{CheckOldHashName, &r.OldCheckHash, "the old check digest"},
                          {CheckNewHashName, &r.NewCheckHash, "the new check digest"}};
  for (const Text& digest : digests) {
    const uint64_t at = start + out.size();
    if (!PutDigest(out, digest.short_name, *digest.value, digest.what, error)) return false;
    layout.push_back({digest.what, AssembleTag(digest.short_name), at, start + out.size()});
  }
  const uint64_t list_at = start + out.size();
  PutTag(out, AssembleTag(DatTimeName));
  if (r.Times.size() > 0xFFFFFFFFu) {
    error = "too many time stamps";
    return false;
  }
  PutU32(out, static_cast<uint32_t>(r.Times.size()));
  layout.push_back({"the time-stamp list", AssembleTag(DatTimeName), list_at, start + out.size()});
  const uint64_t entries_at = start + out.size();
  for (const TimeStamp& stamp : r.Times) {
    if (!IsSafeRelativeName(stamp.Name)) {
      error = "time-stamp name \"" + stamp.Name + "\" is not a relative path below the installation";
      return false;
    }
    if (stamp.Name.size() > 0xFFFFFFFFu) {
      error = "time-stamp name \"" + stamp.Name.substr(0, 64) + "...\" is too long";
      return false;
    }
    const uint64_t at = start + out.size();
    PutU32(out, static_cast<uint32_t>(stamp.Name.size()));
    out.insert(out.end(), stamp.Name.begin(), stamp.Name.end());
    PutU64(out, stamp.WriteTime);
    layout.push_back({"the time-stamp entry \"" + stamp.Name + "\"", std::string(), at, start + out.size()});
  }
  const uint64_t entries_end = start + out.size();
  PadTo16(out, start);
  if (!r.Deletions.empty()) {
    const uint64_t deletions_at = start + out.size();
    PutTag(out, AssembleTag(DeleteName));
    PutU32(out, static_cast<uint32_t>(r.Deletions.size()));
    layout.push_back({"the deletion list", AssembleTag(DeleteName), deletions_at, start + out.size()});
    for (const Deletion& deletion : r.Deletions) {
      if (!IsSafeRelativeName(deletion.Name) || deletion.Name.size() > 0xFFFFFFFFu) {
        error = "deleted name \"" + deletion.Name + "\" is not a relative path below the installation";
        return false;
      }
      const uint64_t at = start + out.size();
      PutU32(out, deletion.Directory ? kDeletionDirectory : 0);
      PutU32(out, static_cast<uint32_t>(deletion.Name.size()));
      out.insert(out.end(), deletion.Name.begin(), deletion.Name.end());
      layout.push_back({"the deletion entry \"" + deletion.Name + "\"", std::string(), at, start + out.size()});
    }
    PadTo16(out, start);
  }
  if (r.Rebuild != RebuildWay::kUnpack) {
    const uint64_t rebuild_at = start + out.size();
    PutTag(out, AssembleTag(RebuildName));
    PutU32(out, static_cast<uint32_t>(r.Rebuild));
    layout.push_back({"the rebuild way", AssembleTag(RebuildName), rebuild_at, start + out.size()});
    PadTo16(out, start);
  }
  const uint64_t archive_at = start + out.size();
  PutTag(out, ArchiveTag());
  layout.push_back({"the archive record", ArchiveTag(), archive_at, start + out.size()});
  if (start + out.size() > kSearchWindow) {
    // The fixed records are small; what outgrows the window is the image or the list.
    if (entries_at + kTagSize > kSearchWindow) {
      error = "the records end at byte " + std::to_string(start + out.size()) +
              ", beyond the first 1,048,576 bytes of the file where the updater searches for them: the updater "
              "image is too large";
    } else {
      // The list may run up to the archive tag, which must end within the window.
      const uint64_t room = kSearchWindow - kTagSize - entries_at;
      error = "the time-stamp list of " + std::to_string(r.Times.size()) + " entries needs " +
              std::to_string(entries_end - entries_at) + " bytes, but only " + std::to_string(room) +
              " fit behind this updater image in the first 1,048,576 bytes of the file, where the updater "
              "searches for the records (each entry takes 12 bytes and its name); ship fewer files or shorter "
              "names";
      if (!r.Deletions.empty()) error += " (the deletion list of " + std::to_string(r.Deletions.size()) + " entries shares the room)";
    }
    return false;
  }
  if (spans != nullptr) *spans = std::move(layout);
  return true;
}

bool CheckTagPlacement(const uint8_t* file, size_t size, const std::vector<PayloadSpan>& spans, std::string& error) {
  const size_t window = static_cast<size_t>(SearchWindowSize(size));
  for (const PayloadSpan& record : spans) {
    if (record.Tag.empty()) continue;
    const int32_t found = FindTag(file, window, record.Tag);
    if (found >= 0 && static_cast<uint64_t>(found) == record.Begin) continue;
    if (found < 0) {
      error = record.What + ": its tag is not found in the first 1,048,576 bytes of the file";
      return false;
    }
    const uint64_t at = static_cast<uint64_t>(found);
    std::string holder = "the updater image";
    for (const PayloadSpan& span : spans) {
      // The copy may begin in one record and run into the next; the one it begins in holds it.
      if (at >= span.Begin && at < span.End) {
        holder = span.What;
        break;
      }
    }
    error = holder + " would hold \"" + record.Tag + "\", the tag of " + record.What +
            ": the updater takes the first occurrence and would read the wrong bytes";
    return false;
  }
  return true;
}

int32_t FindRecordIn(PayloadFile& file, const std::string& tag) {
  if (tag.size() != kTagSize) return -1;
  if (!file.Open()) return -1;
  const uint64_t window = SearchWindowSize(file.Size());
  std::vector<uint8_t> buffer(static_cast<size_t>(window));
  const uint32_t got = window == 0 ? 0 : file.Read(buffer.data(), static_cast<uint32_t>(window));
  file.Close();
  if (got != window) return -1;
  return FindTag(buffer.data(), buffer.size(), tag);
}

namespace {

// Reads the fixed field behind a tag into a buffer one zero byte longer than the field.
bool ReadFieldIn(PayloadFile& file, const std::string& tag, size_t field_size, std::vector<uint8_t>& field) {
  const int32_t position = FindRecordIn(file, tag);
  if (position < 0) return false;
  if (!file.Open()) return false;
  field.assign(field_size + 1, 0);
  const bool ok = file.Seek(static_cast<uint64_t>(position) + kTagSize) &&
                  file.Read(field.data(), static_cast<uint32_t>(field_size)) == field_size;
  file.Close();
  return ok;
}

bool ReadU32In(PayloadFile& file, uint32_t& value) {
  uint8_t bytes[4];
  if (file.Read(bytes, 4) != 4) return false;
  value = GetU32(bytes);
  return true;
}

}  // namespace

bool ReadTextRecordIn(PayloadFile& file, const char* short_name, std::string& value) {
  std::vector<uint8_t> field;
  if (!ReadFieldIn(file, AssembleTag(short_name), kTextFieldSize, field)) return false;
  value = TextFieldValue(field.data());
  return true;
}

bool ReadDigestRecordIn(PayloadFile& file, const char* short_name, std::string& value) {
  std::vector<uint8_t> field;
  if (!ReadFieldIn(file, AssembleTag(short_name), kDigestFieldSize, field)) return false;
  value = DigestFieldValue(field.data());
  return true;
}

namespace {

// A counted list record: u32 count, then entries that each end with a counted name read
// by read_entry (after its fixed fields, before its trailing ones). False when the record
// is missing or the file does not open; complete when every counted entry was read. The
// list ends at the first short read.
template <typename Entry, typename ReadEntry>
bool ReadCountedListIn(PayloadFile& file, const char* short_name, std::vector<Entry>& entries, bool& complete,
                       ReadEntry read_entry) {
  entries.clear();
  complete = false;
  const int32_t position = FindRecordIn(file, AssembleTag(short_name));
  if (position <= 0) return false;
  if (!file.Open()) return false;
  const uint64_t at = static_cast<uint64_t>(position) + kTagSize;
  uint32_t count = 0;
  if (!file.Seek(at) || !ReadU32In(file, count)) {
    file.Close();
    return true;
  }
  const uint64_t size = file.Size();
  uint64_t read = at + 4;
  uint32_t i = 0;
  for (; i < count; ++i) {
    Entry entry;
    if (!read_entry(entry, read, size)) break;
    entries.push_back(std::move(entry));
  }
  complete = i == count;
  file.Close();
  return true;
}

// A name of the given length at the position read so far, within the file's size.
bool ReadNameIn(PayloadFile& file, uint32_t length, uint64_t& read, uint64_t size, std::string& name) {
  if (read > size || size - read < length) return false;
  name.assign(length, '\0');
  if (length != 0 && file.Read(&name[0], length) != length) return false;
  read += length;
  return true;
}

}  // namespace

bool ReadTimeStampsIn(PayloadFile& file, std::vector<TimeStamp>& stamps, bool& complete) {
  return ReadCountedListIn(file, DatTimeName, stamps, complete, [&](TimeStamp& stamp, uint64_t& read, uint64_t size) {
    uint32_t length = 0, low = 0, high = 0;
    if (!ReadU32In(file, length)) return false;
    read += 4;
    if (!ReadNameIn(file, length, read, size, stamp.Name)) return false;
    if (!ReadU32In(file, low) || !ReadU32In(file, high)) return false;
    read += 8;
    stamp.WriteTime = static_cast<uint64_t>(low) | (static_cast<uint64_t>(high) << 32);
    return true;
  });
}

bool ReadDeletionsIn(PayloadFile& file, std::vector<Deletion>& deletions, bool& complete) {
  return ReadCountedListIn(file, DeleteName, deletions, complete, [&](Deletion& deletion, uint64_t& read, uint64_t size) {
    uint32_t flags = 0, length = 0;
    if (!ReadU32In(file, flags) || !ReadU32In(file, length)) return false;
    read += 8;
    if (!ReadNameIn(file, length, read, size, deletion.Name)) return false;
    deletion.Directory = (flags & kDeletionDirectory) != 0;
    return true;
  });
}

const char* RebuildWayName(RebuildWay way) {
  switch (way) {
    case RebuildWay::kStream:
      return "stream";
    case RebuildWay::kKeep:
      return "keep";
    default:
      return "unpack";
  }
}

bool ParseRebuildWay(const std::string& text, RebuildWay& way) {
  for (RebuildWay known : {RebuildWay::kUnpack, RebuildWay::kStream, RebuildWay::kKeep}) {
    if (text == RebuildWayName(known)) {
      way = known;
      return true;
    }
  }
  return false;
}

bool ReadRebuildWayIn(PayloadFile& file, RebuildWay& way) {
  way = RebuildWay::kUnpack;
  const int32_t position = FindRecordIn(file, AssembleTag(RebuildName));
  if (position <= 0) return true;
  if (!file.Open()) return false;
  uint32_t value = 0;
  const bool read = file.Seek(static_cast<uint64_t>(position) + kTagSize) && ReadU32In(file, value);
  file.Close();
  if (!read || value > static_cast<uint32_t>(RebuildWay::kKeep)) return false;
  way = static_cast<RebuildWay>(value);
  return true;
}

PayloadView ParsePayload(const uint8_t* window, size_t size) {
  PayloadView view;
  PayloadRecords& r = view.Records;
  const uint8_t* field = nullptr;
  if (FieldAt(window, size, AssembleTag(TitleName), kTextFieldSize, &field)) {
    r.Title = TextFieldValue(field);
    view.HasTitle = true;
  }
  if (FieldAt(window, size, AssembleTag(VersionOldName), kTextFieldSize, &field)) {
    r.OldVersion = TextFieldValue(field);
    if (FieldAt(window, size, AssembleTag(VersionNewName), kTextFieldSize, &field)) {
      r.NewVersion = TextFieldValue(field);
      view.HasVersions = true;
    }
  }
  if (FieldAt(window, size, AssembleTag(CheckFileOldName), kTextFieldSize, &field)) {
    r.OldCheckFile = TextFieldValue(field);
    if (FieldAt(window, size, AssembleTag(CheckOldHashName), kDigestFieldSize, &field)) {
      r.OldCheckHash = DigestFieldValue(field);
      view.HasOldCheck = true;
    }
  }
  if (FieldAt(window, size, AssembleTag(CheckFileNewName), kTextFieldSize, &field)) {
    r.NewCheckFile = TextFieldValue(field);
    if (FieldAt(window, size, AssembleTag(CheckNewHashName), kDigestFieldSize, &field)) {
      r.NewCheckHash = DigestFieldValue(field);
      view.HasNewCheck = true;
    }
  }
  const int32_t times = FindTag(window, size, AssembleTag(DatTimeName));
  if (times > 0) {
    view.HasTimes = true;
    size_t at = static_cast<size_t>(times) + kTagSize;
    if (at <= size && size - at >= 4) {
      uint32_t count = GetU32(window + at);
      at += 4;
      uint32_t i = 0;
      for (; i < count; ++i) {
        if (size - at < 4) break;
        const uint32_t length = GetU32(window + at);
        at += 4;
        if (size - at < length) break;
        TimeStamp stamp;
        stamp.Name.assign(reinterpret_cast<const char*>(window + at), length);
        at += length;
        if (size - at < 8) break;
        stamp.WriteTime = static_cast<uint64_t>(GetU32(window + at)) | (static_cast<uint64_t>(GetU32(window + at + 4)) << 32);
        at += 8;
        r.Times.push_back(stamp);
      }
      view.TimesComplete = i == count;
    }
  }
  view.ArchiveTagPosition = FindTag(window, size, ArchiveTag());
  return view;
}

uint64_t PeImageEnd(const uint8_t* bytes, size_t size) {
  if (size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return 0;
  const uint32_t pe = GetU32(bytes + 0x3c);
  if (pe > size || size - pe < 24 || std::memcmp(bytes + pe, "PE\0\0", 4) != 0) return 0;
  const uint32_t sections = static_cast<uint32_t>(bytes[pe + 6]) | (static_cast<uint32_t>(bytes[pe + 7]) << 8);
  const uint32_t optional_size = static_cast<uint32_t>(bytes[pe + 20]) | (static_cast<uint32_t>(bytes[pe + 21]) << 8);
  const uint64_t table = static_cast<uint64_t>(pe) + 24 + optional_size;
  if (sections == 0 || table + 40ull * sections > size) return 0;
  uint64_t end = 0;
  for (uint32_t i = 0; i < sections; ++i) {
    const uint8_t* section = bytes + table + 40ull * i;
    const uint64_t raw_size = GetU32(section + 16);
    const uint64_t raw_pointer = GetU32(section + 20);
    if (raw_size != 0 && raw_pointer + raw_size > end) end = raw_pointer + raw_size;
  }
  if (end < table + 40ull * sections) end = table + 40ull * sections;
  return end;
}

int InstallDirectoryRoom(const std::string& name, bool member) {
  constexpr int kFileLimit = 259, kDirectoryLimit = 247;
  // A separator and tmp, ___ and a separator before a member; a separator and tmp, ___old
  // and a separator before a loose file kept aside.
  const int prefix = member ? 9 : 12;
  const size_t slash = name.rfind('\\');
  const int file = kFileLimit - prefix - static_cast<int>(name.size());
  if (slash == std::string::npos) return file;
  const int directory = kDirectoryLimit - prefix - static_cast<int>(slash);
  return file < directory ? file : directory;
}
