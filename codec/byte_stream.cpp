#include "codec/byte_stream.h"

#include <vector>

namespace gca {

ByteStream::~ByteStream() = default;

uint8_t ByteStream::ReadU8() {
  uint8_t b[1] = {0};
  Read(b, 1);
  return b[0];
}

uint32_t ByteStream::WriteU8(uint8_t value) { return Write(&value, 1); }

uint16_t ByteStream::ReadU16() {
  uint8_t b[2] = {0, 0};
  Read(b, 2);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t ByteStream::WriteU16(uint16_t value) {
  const uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return Write(b, 2);
}

uint32_t ByteStream::ReadU32() {
  uint8_t b[4] = {0, 0, 0, 0};
  Read(b, 4);
  return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}

uint32_t ByteStream::WriteU32(uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return Write(b, 4);
}

namespace {
// Reads n bytes in pieces, so that a damaged length field cannot force one huge
// allocation before the short read is noticed.
std::string ReadCounted(ByteStream& s, uint32_t n) {
  std::string text;
  char piece[65536];
  while (n != 0) {
    const uint32_t want = n < sizeof(piece) ? n : uint32_t(sizeof(piece));
    if (s.Read(piece, want) != want) return std::string();
    text.append(piece, want);
    n -= want;
  }
  return text;
}
}  // namespace

std::string ByteStream::ReadString() {
  uint8_t b[4] = {0, 0, 0, 0};
  if (Read(b, 4) != 4) return std::string();
  const uint32_t n = uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
  return ReadCounted(*this, n);
}

void ByteStream::WriteString(const std::string& text) {
  WriteU32(static_cast<uint32_t>(text.size()));
  if (!text.empty()) Write(text.data(), static_cast<uint32_t>(text.size()));
}

std::string ByteStream::ReadShortString() {
  uint8_t b[2] = {0, 0};
  if (Read(b, 2) != 2) return std::string();
  return ReadCounted(*this, uint32_t(b[0]) | (uint32_t(b[1]) << 8));
}

void ByteStream::WriteShortString(const std::string& text) {
  const uint16_t n = static_cast<uint16_t>(text.size());
  WriteU16(n);
  if (n != 0) Write(text.data(), n);
}

}  // namespace gca
