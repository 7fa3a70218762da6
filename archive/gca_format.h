// Byte layout of GCA archives: the "GCAX" front record, the "GCA3" directory and the
// older "GCA0"/"GCA1" directories. All integers are little-endian.
#pragma once
#include <cstdint>

namespace gca {

// One archive entry, as stored in a "GCA3" directory (32 bytes) and as kept in memory
// for every archive version.
struct EntryRecord {
  uint32_t Crc = 0;           // CRC-32 of the unpacked contents; 0 for directories
  uint32_t Attributes = 0;    // Win32 attribute word; 0x10 marks a directory
  uint64_t WriteTime = 0;     // FILETIME, 100 ns units since 1601-01-01 UTC
  uint64_t UnpackedSize = 0;  // 0 for directories
  uint64_t PackedSize = 0;    // bytes in the data area; 0 for directories and solid archives
};

// The Win32 attribute bits, as entries carry them and every layer reads them.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrSystem = 0x04;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kAttrTemporary = 0x100;
// The bits a file keeps through extraction and packing.
constexpr uint32_t kAttrKept = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrDirectory | kAttrArchive;
// What the system answers for a path that is not there.
constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;

}  // namespace gca
