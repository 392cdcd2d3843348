#include "engine/entry_application.h"

#include "app/console.h"
#include "app/file_presence.h"

namespace tarnwick {
namespace {

// Reverse makes an absent data file, empty, so that a later run can fill it; the line comes
// first, so that a creation that fails still shows which name it was.
void CreateAbsentDataFile(const std::string& name) {
  WriteMessage("WARNING: new data file created (" + name + ")");
  BinaryFile::CreateEmpty(name).Close();
}

BinaryFile OpenDataFile(const std::string& name, PatchMode mode) {
  return mode == PatchMode::Forward ? BinaryFile::OpenForReading(name)
                                    : BinaryFile::OpenForReadingAndWriting(name);
}

}  // namespace

void ApplyEntry(int64_t offset, const std::string& data_file_name, PatchMode mode,
                BinaryFile& target, bool& any_entry_failed) {
  if (offset < 0) return;
  if (!FileIsPresent(data_file_name)) {
    if (mode == PatchMode::Reverse) {
      CreateAbsentDataFile(data_file_name);
    } else {
      WriteMessage("ERROR: a data file does not exist!");
      any_entry_failed = true;
    }
    return;
  }
  BinaryFile data_file = OpenDataFile(data_file_name, mode);
  target.SeekFromStart(offset);
  const int64_t data_size = data_file.Size();
  const int64_t target_size = target.Size();
  // Both sizes are non-negative, so the difference cannot wrap where offset + data_size could.
  if (offset > target_size - data_size) {
    WriteMessage("ERROR: an offset too big!");
    any_entry_failed = true;
  } else if (data_size == 0) {
    WriteMessage("SKIP: offset " + std::to_string(offset) + "; bytes: 0");
  } else {
    if (mode == PatchMode::Forward) {
      CopyBytes(data_file, target, data_size);
    } else {
      CopyBytes(target, data_file, data_size);
    }
    WriteMessage("OK: Patched at offset " + std::to_string(offset) +
                 "; bytes: " + std::to_string(data_size));
  }
  data_file.Close();
}

}  // namespace tarnwick
