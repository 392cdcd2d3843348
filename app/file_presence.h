#pragma once

#include <string>

namespace tarnwick {

// Whether the name designates something other than a directory. Never fails and changes
// nothing; a yes promises nothing about a later open.
bool FileIsPresent(const std::string& name);

}  // namespace tarnwick
