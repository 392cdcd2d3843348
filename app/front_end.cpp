#include "app/front_end.h"

#include "app/console.h"
#include "app/file_presence.h"
#include "app/help.h"
#include "engine/patch_run.h"
#include "platform/platform.h"

namespace tarnwick {
namespace {

// Beside the executable, whatever the current folder is: a target dropped on the program brings
// no list name of its own. With no path to go by, no name at all, which no file answers to.
std::string DefaultPatchListName() {
  const std::string own_path = platform::OwnExecutablePath();
  return own_path.empty() ? std::string() : own_path + ".txt";
}

}  // namespace

void RunFrontEnd(const std::vector<std::string>& arguments) {
  if (arguments.empty()) {
    WriteHelpScreen();
    WaitForOneLine();
    return;
  }
  const std::string& target_name = arguments[0];
  if (!FileIsPresent(target_name)) {
    WriteMessage("Target file error! Execute without arguments for help.");
    return;
  }
  const std::string list_name = arguments.size() >= 2 ? arguments[1] : DefaultPatchListName();
  const PatchMode mode = arguments.size() >= 3 ? PatchMode::Reverse : PatchMode::Forward;
  if (mode == PatchMode::Reverse) WriteMessage("Reverse patching!");
  if (!FileIsPresent(list_name)) {
    WriteMessage("TXT file error! Execute without arguments for help.");
    return;
  }
  RunPatch(target_name, list_name, mode);
}

}  // namespace tarnwick
