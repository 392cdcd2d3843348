#include "fuzz/reference_model.h"

#include <algorithm>

namespace tarnwick::fuzz {
namespace {

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) {
  return IsDecimalDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
  if (IsDecimalDigit(c)) return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

bool Consume(std::string_view& text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

std::optional<int64_t> HexNumber(std::string_view digits, bool negative) {
  digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.size() > 16) return std::nullopt;
  uint64_t pattern = 0;
  for (const char c : digits) pattern = pattern << 4 | HexValue(c);
  if (negative) pattern = ~pattern + 1;
  return static_cast<int64_t>(pattern);
}

std::optional<int64_t> DecimalNumber(std::string_view digits, bool negative) {
  // Wide enough to hold any value just outside the range; past it, the exact value no longer
  // matters.
  constexpr __int128 kBeyondRange = static_cast<__int128>(1) << 65;
  __int128 value = 0;
  for (const char c : digits) value = std::min(value * 10 + (c - '0'), kBeyondRange);
  if (negative) value = -value;
  if (value < INT64_MIN || value > INT64_MAX) return std::nullopt;
  return static_cast<int64_t>(value);
}

}  // namespace

std::optional<int64_t> ReferenceNumber(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) text.remove_prefix(1);
  const bool hexadecimal = Consume(text, "0x") || Consume(text, "0X") || Consume(text, "$") ||
                           Consume(text, "x") || Consume(text, "X");
  if (text.empty()) return std::nullopt;
  if (!std::ranges::all_of(text, hexadecimal ? IsHexDigit : IsDecimalDigit)) return std::nullopt;
  return hexadecimal ? HexNumber(text, negative) : DecimalNumber(text, negative);
}

std::vector<std::string> ReferenceLines(std::string_view bytes) {
  const std::string_view data = bytes.substr(0, bytes.find('\x1a'));
  size_t position = 0;
  auto next_line = [&] {
    if (position >= data.size()) return std::string();
    const size_t line_feed = data.find('\n', position);
    const size_t end = line_feed == std::string_view::npos ? data.size() : line_feed;
    std::string line(data.substr(position, end - position));
    std::erase(line, '\r');
    position = line_feed == std::string_view::npos ? data.size() : line_feed + 1;
    return line;
  };
  std::vector<std::string> lines = {next_line()};
  while (position < data.size()) {
    lines.push_back(next_line());
    lines.push_back(next_line());
  }
  return lines;
}

}  // namespace tarnwick::fuzz
