#include "app/failure.h"

#include "platform/platform.h"

namespace tarnwick {
namespace {

int32_t g_pending_io_code = 0;

}  // namespace

const void* CallerLocation() { return __builtin_extract_return_addr(__builtin_return_address(0)); }

IoFailure::IoFailure(int32_t code, const void* location)
    : Failure("IoFailure", IoFailureMessage(code), location), code_(code) {}

std::string IoFailureMessage(int32_t code) {
  if (code == kInputChannelNotOpen || code == kOutputChannelNotOpen) {
    return "I/O error " + std::to_string(code);
  }
  switch (platform::MeaningOf(code)) {
    case platform::ErrorMeaning::FileNotFound:
      return "File not found";
    case platform::ErrorMeaning::InvalidFilename:
      return "Invalid filename";
    case platform::ErrorMeaning::TooManyOpenFiles:
      return "Too many open files";
    case platform::ErrorMeaning::AccessDenied:
      return "File access denied";
    case platform::ErrorMeaning::DiskFull:
      return "Disk full";
    case platform::ErrorMeaning::Other:
      break;
  }
  return "I/O error " + std::to_string(code);
}

void StorePendingIoCode(int32_t code) { g_pending_io_code = code; }

int32_t PendingIoCode() { return g_pending_io_code; }

int32_t TakePendingIoCode() {
  const int32_t code = g_pending_io_code;
  g_pending_io_code = 0;
  return code;
}

void CheckIo() {
  if (g_pending_io_code == 0) return;
  throw IoFailure(TakePendingIoCode(), __builtin_extract_return_addr(__builtin_return_address(0)));
}

}  // namespace tarnwick
