#pragma once

#include <cstdint>
#include <string_view>

#include "app/failure.h"

namespace tarnwick {

// A text that is not a number of the patch list's syntax.
class ConversionFailure : public Failure {
 public:
  explicit ConversionFailure(std::string_view text, const void* location);
};

// The signed 64-bit number of a size or offset line. Leading spaces, one sign, then decimal
// digits, or hexadecimal ones after $, x, X, 0x or 0X. Decimal is exact within the signed 64-bit
// range; hexadecimal takes up to 16 significant digits as a two's-complement pattern, which a
// minus sign negates. Nothing may follow the digits; a byte 0 ends the text. Raises
// ConversionFailure for any other text.
int64_t ParseInt64Field(std::string_view text);

}  // namespace tarnwick
