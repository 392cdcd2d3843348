#pragma once

#include <string>

#include "engine/patch_mode.h"

namespace tarnwick {

// The patch run over one target: reads the declared size, opens the target with the mode's
// access, refuses a target of another size, applies the entries one by one as they are read, and
// ends with "Wrong patch." or "Successfully patched!". Four guards turn failures into the run's
// own lines; a failure outside them (reading an entry's lines, the summary, closing the list)
// is raised to the caller. Entries applied before a failure stay applied.
void RunPatch(const std::string& target_name, const std::string& list_name, PatchMode mode);

}  // namespace tarnwick
