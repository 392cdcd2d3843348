#pragma once

#include <string>

namespace tarnwick {

// Reads the patch list line by line, front to back, never more than 128 bytes a read and never
// past a Ctrl-Z. A line ends at LF or CR LF; a CR followed by anything else is dropped; the data
// ends at the end of the file or at the first Ctrl-Z. Each operation stores a failure's code and
// ends with CheckIo, so a failed one raises IoFailure.
class PatchListReader {
 public:
  PatchListReader() = default;
  PatchListReader(const PatchListReader&) = delete;
  PatchListReader& operator=(const PatchListReader&) = delete;
  ~PatchListReader();

  // Opens the existing list for reading, shared with other readers only.
  void OpenList(const std::string& name);

  // The next line's text, its line end passed over; empty text once the data has ended.
  std::string NextLine();

  // Whether no line remains; consumes nothing.
  bool AtEnd();

  void CloseList();

 private:
  enum class Fill { Bytes, EndOfFile, Failed };
  static constexpr size_t kBufferSize = 128;

  Fill FillIfEmpty();
  void AppendOrdinaryBytes(std::string& text);

  int fd_ = -1;
  bool end_met_ = false;
  size_t begin_ = 0;
  size_t end_ = 0;
  char buffer_[kBufferSize];
};

}  // namespace tarnwick
