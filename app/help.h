#pragma once

namespace tarnwick {

// Writes the 18 lines of the help screen.
void WriteHelpScreen();

// Reads standard input up to the first LF, Ctrl-Z or end of input and discards it: the pause
// after the help screen, so that a window opened by a double click stays readable.
void WaitForOneLine();

}  // namespace tarnwick
