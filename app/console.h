#pragma once

#include <string_view>

namespace tarnwick {

// Writes one message line, the text and CR LF, to standard output, then CheckIo. Output is held
// in a block of 128 bytes that reaches the system only when it is full, except that on a
// character device every line is handed over at its end.
void WriteMessage(std::string_view text);

bool StandardOutputIsOpen();

// Hands the held bytes to the system; a failure is stored as the pending code.
void HandOverHeldOutput();

// Forgets the channel's state, so that a test can start from a process's first write.
void ResetStandardOutputForTesting();

}  // namespace tarnwick
