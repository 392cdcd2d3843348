#pragma once

#include <filesystem>

namespace tarnwick::fuzz {

// A folder of this process's own for the files of its runs: on a memory file system where the
// machine has one (thousands of runs a second write their files there), removed when the process
// exits.
const std::filesystem::path& ScratchFolder();

}  // namespace tarnwick::fuzz
