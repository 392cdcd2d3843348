#pragma once

namespace tarnwick {

// Forward writes each data file into the target; Reverse reads the target back into them.
enum class PatchMode { Forward, Reverse };

}  // namespace tarnwick
