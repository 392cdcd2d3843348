#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwick::test_support {

// Bytes that differ from one position to the next and from one seed to another, so that a byte
// copied to the wrong place, or not copied, shows.
inline std::string DistinctBytes(size_t n, unsigned seed) {
  std::string bytes(n, '\0');
  uint32_t state = 2654435761u * (seed + 1);
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

}  // namespace tarnwick::test_support
