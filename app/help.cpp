#include "app/help.h"

#include "app/console.h"
#include "app/failure.h"
#include "platform/platform.h"

namespace tarnwick {
namespace {

constexpr const char* kHelpScreen[] = {
    "",
    "Patches any file. To create a patch data, you must define a text document with structure "
    "like this:",
    "",
    "{Size of target file}",
    "{First offset for patch}",
    "{First filename} (with actually data to be written on <First offset>)",
    "{Second offset}",
    "{Second filename}",
    ". . .",
    "",
    "It means that Tarnwick will read that TXT and write all indicated files to target file with "
    "specified offsets.",
    "If any (<offset>+size of <filename>) exceeds <size of target file> than that action is "
    "ignored.",
    "Also if <filename> does not exists. But reading error may terminate program!",
    "If <size of target file> is different from real size of patching file, than all operation "
    "are aborted.",
    "Usage: Just drag-and-drop target file to this program! In this case TXT will be interpreted "
    "as (<Tarnwick real filename>+.txt)",
    "But if you wish to change name of list, you must use second command line parameter:",
    "Tarnwick.exe <Target file> <TXT list file>",
    "If you specify any third parameter, patch will be <reverse> and will write to its files "
    "rather then read from.",
};

constexpr char kLineFeed = '\n';
constexpr char kCtrlZ = 26;

}  // namespace

void WriteHelpScreen() {
  for (const char* line : kHelpScreen) WriteMessage(line);
}

void WaitForOneLine() {
  if (!platform::StandardInputIsOpen()) {
    StorePendingIoCode(kInputChannelNotOpen);
  } else {
    char byte = 0;
    for (;;) {
      const platform::Result read = platform::ReadStandardInputByte(&byte);
      if (read.error != 0) StorePendingIoCode(read.error);
      if (read.error != 0 || read.value == 0 || byte == kLineFeed || byte == kCtrlZ) break;
    }
  }
  CheckIo();
}

}  // namespace tarnwick
