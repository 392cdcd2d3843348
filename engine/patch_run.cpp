#include "engine/patch_run.h"

#include <cstdint>
#include <optional>

#include "app/console.h"
#include "engine/binary_file.h"
#include "engine/entry_application.h"
#include "patchlist/int64_field.h"
#include "patchlist/patch_list_reader.h"

namespace tarnwick {
namespace {

constexpr int64_t kSkippedOffset = -1;

BinaryFile OpenTarget(const std::string& name, PatchMode mode) {
  return mode == PatchMode::Forward ? BinaryFile::OpenForReadingAndWriting(name)
                                    : BinaryFile::OpenForReading(name);
}

// Guard C: an offset line that is no number makes the entry one that is skipped without a word.
int64_t ParseOffsetOrSkip(const std::string& offset_line) {
  try {
    return ParseInt64Field(offset_line);
  } catch (...) {
    return kSkippedOffset;
  }
}

}  // namespace

void RunPatch(const std::string& target_name, const std::string& list_name, PatchMode mode) {
  PatchListReader list;
  int64_t declared_size = 0;
  try {  // Guard A
    list.OpenList(list_name);
    declared_size = ParseInt64Field(list.NextLine());
  } catch (...) {
    WriteMessage("TXT file open error!");
    return;
  }

  std::optional<BinaryFile> target;
  try {  // Guard B
    target = OpenTarget(target_name, mode);
    if (target->Size() != declared_size) {
      WriteMessage("Size of target file is different from size described in TXT!");
      return;
    }
  } catch (...) {
    WriteMessage("Target file open error!");
    target.reset();
    return;
  }

  bool any_entry_failed = false;
  while (!list.AtEnd()) {
    const std::string offset_line = list.NextLine();
    const std::string data_file_name = list.NextLine();
    const int64_t offset = ParseOffsetOrSkip(offset_line);
    try {  // Guard D
      ApplyEntry(offset, data_file_name, mode, *target, any_entry_failed);
    } catch (...) {
      WriteMessage("FATAL ERROR!");
      return;
    }
  }
  WriteMessage(any_entry_failed ? "Wrong patch." : "Successfully patched!");
  list.CloseList();
}

}  // namespace tarnwick
