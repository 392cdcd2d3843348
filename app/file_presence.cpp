#include "app/file_presence.h"

#include "platform/platform.h"

namespace tarnwick {

bool FileIsPresent(const std::string& name) {
  return platform::LookUpName(name) == platform::NameKind::Other;
}

}  // namespace tarnwick
