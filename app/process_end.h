#pragma once

namespace tarnwick {

// Writes out held output (a failure here changes nothing) and ends the process. Files still open
// are released by the end of the process; nothing else is closed.
[[noreturn]] void EndProcess(int status);

}  // namespace tarnwick
