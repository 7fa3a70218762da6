// Byte-level builders of test archives: "GCA3" archives with arbitrary names and
// contents, and the older "GCA0"/"GCA1" directories, written from the format's layout
// independently of the archive writer.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "codec/archive_cipher.h"
#include "codec/crc32.h"

namespace gca_test {

struct RawEntry {
  std::string name;
  std::string data;
  uint32_t attributes = 0x20;
  uint64_t write_time = 130000000000000000ull;
  bool crc_ok = true;
};

inline void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char(uint8_t(v >> (8 * i))));
}
inline void Put64(std::string& s, uint64_t v) {
  Put32(s, uint32_t(v));
  Put32(s, uint32_t(v >> 32));
}
inline void Set32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + size_t(i)] = char(uint8_t(v >> (8 * i)));
}
inline uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(s[at + size_t(i)]);
  return v;
}

inline uint32_t Crc(const std::string& s, uint32_t crc = 0) {
  gca::Crc32 c;
  return c.Update(s.data(), uint32_t(s.size()), crc);
}

// A stored, plain-directory "GCA3" archive. Data of entries is stored as given;
// `frame_data` wraps each entry's data into one "GCF0" frame and sets CompressData.
inline std::string BuildGca3(const std::vector<RawEntry>& entries, bool frame_data = false) {
  std::string a = "GCAX";
  Put32(a, 0);
  Put64(a, 0);
  std::string records, names;
  for (const RawEntry& e : entries) {
    std::string stored = e.data;
    if (frame_data && !e.data.empty()) {
      stored = "GCF0";
      Put32(stored, uint32_t(e.data.size()));
      stored += e.data;
    }
    a += stored;
    const bool dir = (e.attributes & 0x10) != 0;
    Put32(records, dir ? 0 : (e.crc_ok ? Crc(e.data) : Crc(e.data) ^ 1));
    Put32(records, e.attributes);
    Put64(records, e.write_time);
    Put64(records, dir ? 0 : e.data.size());
    Put64(records, dir ? 0 : stored.size());
    names.push_back(char(e.name.size() & 0xFF));
    names.push_back(char(e.name.size() >> 8));
    names += e.name;
  }
  const uint64_t dir_offset = a.size();
  std::string head = "GCA3";
  Put32(head, frame_data ? 0x10 : 0);
  Put64(head, 32 + records.size() + names.size());
  Put32(head, 0);
  Put32(head, 0);
  Put64(head, uint64_t(int64_t(int32_t(entries.size()))));
  std::string dir = head + records + names;
  Set32(dir, 20, Crc(dir));
  for (int i = 0; i < 8; ++i) a[8 + size_t(i)] = char(uint8_t(dir_offset >> (8 * i)));
  return a + dir;
}

struct OldOptions {
  bool solid = false;          // "GCA1"
  bool front_record = false;   // directory behind a "GCAX" front record
  bool with_crc = true;        // directory flag 0x2
  bool scrambled = false;      // directory flag 0x4, with the given directory key
  std::string directory_key;
  bool compressed = false;     // directory flag 0x1: one "GCF0" frame
  uint32_t entry_flags = 0x2;  // per record
  bool two_byte_lengths = false;  // force the two-byte name length form
};

// Name table entry of "GCA0"/"GCA1": one length byte when it suffices, else two.
inline std::string OldName(const std::string& name, bool force_two) {
  std::string s;
  const bool one = !force_two && name.size() <= 255 && !name.empty() && uint8_t(name[0]) >= 0x20;
  if (one) {
    s.push_back(char(name.size()));
  } else {
    s.push_back(char(name.size() & 0xFF));
    s.push_back(char(name.size() >> 8));
  }
  return s + name;
}

// An archive with a "GCA0"/"GCA1" directory at the front (or behind a front record)
// and the entries' data stored behind it.
inline std::string BuildOld(const std::vector<RawEntry>& entries, const OldOptions& o) {
  std::string records, names, data;
  for (const RawEntry& e : entries) {
    const bool dir = (e.attributes & 0x10) != 0;
    Put32(records, o.entry_flags);
    Put32(records, dir ? 0 : Crc(e.data));
    Put32(records, 0);
    Put32(records, uint32_t(dir ? 0 : e.data.size()));
    Put32(records, uint32_t(dir ? 0 : e.data.size()));
    Put32(records, e.attributes);
    Put64(records, e.write_time);
    names += OldName(e.name, o.two_byte_lengths);
    data += e.data;
  }
  std::string plain = records + names;
  std::string body;
  if (o.compressed) {
    Put32(body, uint32_t(plain.size()));
    body += "GCF0";
    Put32(body, uint32_t(plain.size()));
    body += plain;
  } else {
    body = plain;
  }
  body += std::string(8, '\0');  // check word, CRC
  std::string head = o.solid ? "GCA1" : "GCA0";
  uint32_t flags = (o.compressed ? 0x1 : 0) | (o.with_crc ? 0x2 : 0) | (o.scrambled ? 0x4 : 0);
  Put32(head, flags);
  Put32(head, uint32_t(entries.size()));
  Put32(head, uint32_t(16 + body.size()));
  const uint32_t c = Crc(body.substr(0, body.size() - 4), Crc(head));
  Set32(body, body.size() - 4, c);
  if (o.scrambled) {
    gca::ArchiveCipher cipher;
    cipher.SetKey(o.directory_key);
    cipher.Encrypt(&body[0], int32_t(body.size()));
  }
  std::string dir = head + body;
  if (!o.front_record) return dir + data;
  // Front record, data at 16, directory behind the data.
  std::string a = "GCAX";
  Put32(a, 0);
  Put64(a, 16 + data.size());
  return a + data + dir;
}

}  // namespace gca_test
