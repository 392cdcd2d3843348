#pragma once

namespace tarnwick {

// The whole program for its argument list, to the end of the process: the front end, then the
// uncaught-failure report (status 1) for what nothing caught, or the end with status 0.
[[noreturn]] void RunProgram(int argc, const char* const* argv);

}  // namespace tarnwick
