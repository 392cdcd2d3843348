#pragma once

// The patch list's rules written a second way, straight from their statement rather than from the
// program's algorithm, for the fuzz targets to hold the program against.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::fuzz {

// The number of a size or offset line, or nullopt for a text that is refused. Leading spaces,
// one sign, then decimal digits, accepted exactly within the signed 64-bit range; or, after $, x,
// X, 0x or 0X, at most 16 significant hexadecimal digits, a two's-complement pattern that a minus
// sign negates. Nothing may follow the digits; a byte 0 ends the text.
std::optional<int64_t> ReferenceNumber(std::string_view text);

// The lines of a patch list as a run reads them: the size line, then two lines for as long as
// any data remains. The data ends at the end of the bytes or at the first Ctrl-Z; a line ends at
// LF, and every CR is removed (the one of a CR LF end with it).
std::vector<std::string> ReferenceLines(std::string_view bytes);

}  // namespace tarnwick::fuzz
