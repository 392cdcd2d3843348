#pragma once

#include <string>
#include <vector>

namespace tarnwick {

// The program's work for its arguments: the help screen and its pause when there are none;
// otherwise the checks of the target and the patch list, then the patch run. Returns at each of
// its endings; failures that nothing caught are raised to the caller.
void RunFrontEnd(const std::vector<std::string>& arguments);

}  // namespace tarnwick
