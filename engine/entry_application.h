#pragma once

#include <cstdint>
#include <string>

#include "engine/binary_file.h"
#include "engine/patch_mode.h"

namespace tarnwick {

// Carries out one patch entry against the open target: Forward writes the whole data file at the
// offset, Reverse reads as many bytes as the data file holds from the offset over its content.
// Writes at most one line about the entry. Sets any_entry_failed, never clears it, on the two entry
// errors (a missing data file in Forward, bytes past the target's end). An entry with a negative
// offset is passed over without a word. Any other problem raises, and nothing done is undone.
void ApplyEntry(int64_t offset, const std::string& data_file_name, PatchMode mode,
                BinaryFile& target, bool& any_entry_failed);

}  // namespace tarnwick
