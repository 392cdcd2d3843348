#include "app/command_line.h"

namespace tarnwick {
namespace {

bool IsSeparator(char byte) {
  const auto code = static_cast<unsigned char>(byte);
  return code >= 1 && code <= 32;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view raw) {
  raw = raw.substr(0, raw.find('\0'));
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  for (const char byte : raw) {
    if (byte == '"') {
      quoted = !quoted;
    } else if (!quoted && IsSeparator(byte)) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += byte;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  if (!words.empty()) words.erase(words.begin());
  return words;
}

std::vector<std::string> ArgumentsFromList(int count, const char* const* values) {
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) {
    if (values[i][0] != '\0') arguments.emplace_back(values[i]);
  }
  return arguments;
}

}  // namespace tarnwick
