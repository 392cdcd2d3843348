#include "engine/binary_file.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "app/failure.h"
#include "platform/platform.h"

namespace tarnwick {
namespace {

int DescriptorOrRaise(const platform::Result& opened, const void* location) {
  if (opened.error != 0) throw IoFailure(opened.error, location);
  return static_cast<int>(opened.value);
}

// A transfer that moved fewer bytes than asked is a failure even when the system saw none.
void RaiseUnlessWhole(const platform::Result& moved, size_t asked, const void* location) {
  if (moved.error != 0) throw IoFailure(moved.error, location);
  if (static_cast<size_t>(moved.value) != asked) {
    throw IoFailure(platform::ShortTransferError(), location);
  }
}

}  // namespace

BinaryFile BinaryFile::OpenForReading(const std::string& name) {
  return BinaryFile(
      DescriptorOrRaise(platform::OpenExclusive(name, platform::Access::Read), CallerLocation()));
}

BinaryFile BinaryFile::OpenForReadingAndWriting(const std::string& name) {
  return BinaryFile(DescriptorOrRaise(platform::OpenExclusive(name, platform::Access::ReadWrite),
                                      CallerLocation()));
}

BinaryFile BinaryFile::CreateEmpty(const std::string& name) {
  return BinaryFile(DescriptorOrRaise(platform::CreateExclusive(name), CallerLocation()));
}

BinaryFile::BinaryFile(BinaryFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), position_(other.position_), size_(other.size_) {}

BinaryFile& BinaryFile::operator=(BinaryFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    position_ = other.position_;
    size_ = other.size_;
  }
  return *this;
}

BinaryFile::~BinaryFile() { Close(); }

int64_t BinaryFile::Size() {
  // Measured once a hold: the hold keeps every other open away and the program never changes a
  // file's length, so the length cannot change while the file is held.
  if (!size_) {
    const platform::Result size = platform::SizeOf(fd_);
    if (size.error != 0) throw IoFailure(size.error, CallerLocation());
    size_ = size.value;
  }
  return *size_;
}

void BinaryFile::Close() {
  if (fd_ < 0) return;
  platform::Close(fd_);
  fd_ = -1;
}

void CopyBytes(BinaryFile& source, BinaryFile& destination, int64_t n) {
  const size_t buffer_size = static_cast<size_t>(std::min<int64_t>(n, CopyChunkSize));
  const std::unique_ptr<char[]> buffer(new char[buffer_size]);
  for (int64_t remaining = n; remaining > 0;) {
    const size_t step = static_cast<size_t>(std::min<int64_t>(remaining, CopyChunkSize));
    RaiseUnlessWhole(platform::ReadAt(source.fd_, source.position_, buffer.get(), step), step,
                     CallerLocation());
    source.position_ += static_cast<int64_t>(step);
    RaiseUnlessWhole(platform::WriteAt(destination.fd_, destination.position_, buffer.get(), step),
                     step, CallerLocation());
    destination.position_ += static_cast<int64_t>(step);
    remaining -= static_cast<int64_t>(step);
  }
}

}  // namespace tarnwick
