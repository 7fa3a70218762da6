// ByteStream: the abstract byte stream of the archive library, with little-endian
// typed reads and writes implemented once on top of Read and Write.
#pragma once
#include <cstdint>
#include <string>

namespace gca {

class ByteStream {
 public:
  virtual ~ByteStream();

  // Set by a read that returned 0 bytes.
  virtual int32_t EndReached() const { return end_reached_; }
  virtual uint32_t Read(void* buffer, uint32_t n) = 0;
  virtual uint32_t Write(const void* buffer, uint32_t n) = 0;
  virtual bool Seek(uint64_t position) = 0;
  // Current position, all ones on failure.
  virtual uint64_t Tell() = 0;

  // Typed helpers. A read that gets fewer bytes than it needs yields 0 for the
  // missing bytes (the value is built from a zeroed buffer).
  virtual uint8_t ReadU8();
  virtual uint32_t WriteU8(uint8_t value);
  virtual uint16_t ReadU16();
  virtual uint32_t WriteU16(uint16_t value);
  virtual uint32_t ReadU32();
  virtual uint32_t WriteU32(uint32_t value);
  // 32-bit length, then the bytes; a short read gives the empty string.
  virtual std::string ReadString();
  virtual void WriteString(const std::string& text);
  // 16-bit length, then the bytes; the length is cut to 16 bits.
  virtual std::string ReadShortString();
  virtual void WriteShortString(const std::string& text);

 protected:
  int32_t end_reached_ = 0;
};

constexpr uint64_t kInvalidPosition = ~uint64_t(0);

}  // namespace gca
