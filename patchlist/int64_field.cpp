#include "patchlist/int64_field.h"

#include <string>

namespace tarnwick {
namespace {

constexpr uint64_t kHexGuard = uint64_t{1} << 60;
// (2^63 - 1) div 10: one more decimal digit could not fit a signed 64-bit number.
constexpr uint64_t kDecimalGuard = 922337203685477580;

int DigitValue(char c, bool hexadecimal) {
  if (c >= '0' && c <= '9') return c - '0';
  if (!hexadecimal) return -1;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Passes over a hexadecimal prefix, if there is one.
bool TakeHexPrefix(std::string_view text, size_t& i) {
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    ++i;
    return true;
  }
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    i += 2;
    return true;
  }
  return false;
}

// Whether the word may take one more digit. The unsigned comparison with the decimal guard
// also refuses a word whose signed reading is negative.
bool CanTakeDigit(uint64_t word, bool hexadecimal) {
  return hexadecimal ? word < kHexGuard : word <= kDecimalGuard;
}

// Appended piece by piece: at -O3, GCC 12 reads "'" + std::string(text) as a copy that may
// overlap itself (-Wrestrict), which fails the optimised build.
std::string NotAnIntegerMessage(std::string_view text) {
  std::string message = "'";
  message.append(text);
  message.append("' is not a valid integer value");
  return message;
}

}  // namespace

ConversionFailure::ConversionFailure(std::string_view text, const void* location)
    : Failure("ConversionFailure", NotAnIntegerMessage(text), location) {}

int64_t ParseInt64Field(std::string_view whole_text) {
  const std::string_view text = whole_text.substr(0, whole_text.find('\0'));
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  const bool hexadecimal = TakeHexPrefix(text, i);
  const unsigned base = hexadecimal ? 16 : 10;

  uint64_t word = 0;
  size_t digits = 0;
  for (; i < text.size(); ++i, ++digits) {
    const int digit = DigitValue(text[i], hexadecimal);
    if (digit < 0 || !CanTakeDigit(word, hexadecimal)) break;
    word = word * base + static_cast<unsigned>(digit);
  }
  if (negative) word = 0 - word;

  const bool sign_flipped =
      !hexadecimal && word != 0 && (static_cast<int64_t>(word) < 0) != negative;
  if (digits == 0 || i != text.size() || sign_flipped) {
    throw ConversionFailure(whole_text, CallerLocation());
  }
  return static_cast<int64_t>(word);
}

}  // namespace tarnwick
