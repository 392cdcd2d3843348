#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Splits a raw command line into its arguments, the program's own name left out. Bytes 1 to 32
// separate words; a double quote opens a stretch, ended by the next one or by the end of the line,
// in which separators are ordinary; a word that comes out empty is no word. The line ends at its
// first byte 0.
std::vector<std::string> SplitCommandLine(std::string_view raw);

// The arguments of an argument list already split, in order, the empty ones dropped as the
// splitter drops them.
std::vector<std::string> ArgumentsFromList(int count, const char* const* values);

}  // namespace tarnwick
