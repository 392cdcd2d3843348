#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick {

// Copies move through one buffer of at most this many bytes, whatever the file sizes.
constexpr size_t CopyChunkSize = 61440;

// An open file held for exclusive use: while it is held no other open of the same file succeeds,
// in this process or another, under any name. Its position is the program's own, a signed 64-bit
// count from the start; the system sees it only when bytes move. Every failure raises IoFailure.
class BinaryFile {
 public:
  static BinaryFile OpenForReading(const std::string& name);
  static BinaryFile OpenForReadingAndWriting(const std::string& name);
  // Creates a file of that name, which must not exist, with length 0, opened for reading and
  // writing.
  static BinaryFile CreateEmpty(const std::string& name);

  BinaryFile(BinaryFile&& other) noexcept;
  BinaryFile& operator=(BinaryFile&& other) noexcept;
  BinaryFile(const BinaryFile&) = delete;
  BinaryFile& operator=(const BinaryFile&) = delete;
  ~BinaryFile();

  // The length of a regular file or the capacity of a block device; 0 for other kinds.
  int64_t Size();
  int64_t Position() const { return position_; }
  // Any non-negative position, beyond the end too: nothing happens to the file until bytes move.
  void SeekFromStart(int64_t position) { position_ = position; }
  // Ends the hold. Never fails.
  void Close();

  // Moves n bytes (n >= 1) from the source's position to the destination's; both advance by n.
  // A step that moves fewer bytes than asked fails, and what was written before it stays.
  friend void CopyBytes(BinaryFile& source, BinaryFile& destination, int64_t n);

 private:
  explicit BinaryFile(int fd) : fd_(fd) {}

  int fd_;
  int64_t position_ = 0;
  std::optional<int64_t> size_;
};

}  // namespace tarnwick
