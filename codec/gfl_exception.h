// The archive library's exception. It is raised only inside the data loops of the
// archive code and the block codec, and never leaves a public archive operation.
#pragma once
#include <cstdint>
#include <string>

namespace gca {

enum : uint32_t {
  kGflDataError = 5,   // short read, or damaged frame data
  kGflShortWrite = 6,  // fewer bytes written than asked
};

class GflException {
 public:
  explicit GflException(uint32_t code, std::string message = std::string())
      : Code(code), Message(std::move(message)) {}
  virtual ~GflException() = default;

  uint32_t Value = 0;
  uint32_t Code;
  std::string Message;
};

// Raised by the transform when its sort exceeds the work budget; caught by the
// compressor, which adds noise to the block and sorts again.
class GflGCAAddNoise : public GflException {
 public:
  GflGCAAddNoise() : GflException(0) {}
};

}  // namespace gca
