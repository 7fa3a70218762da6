// The choice between shipping a changed file as a delta or whole.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace builder {

// SHA-512 of bytes in memory as hex text.
std::string DigestOf(const std::vector<uint8_t>& bytes);

// The delta stream from the old content to the new, when it is smaller than the new
// content once both are coded by the block codec; checked by applying it. False: ship
// the new content whole. `base`: the name of the file the old content is, in the entry
// names' code page, when it is not the file the delta makes (a renamed file); `coded`,
// when given, receives the size the chosen delta codes to.
bool ChooseDelta(const std::vector<uint8_t>& old_bytes, const std::vector<uint8_t>& new_bytes,
                 const std::string& old_digest, std::vector<uint8_t>& delta,
                 const std::string& base = std::string(), uint64_t* coded = nullptr);

}  // namespace builder
