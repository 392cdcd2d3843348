#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace tarnwick {

// A failure the program raises. The uncaught-failure report shows its kind (one word), its
// message and the code address it was raised at; the guards of the patch run show none of it.
class Failure : public std::exception {
 public:
  Failure(std::string kind, std::string message, const void* location)
      : kind_(std::move(kind)), message_(std::move(message)), location_(location) {}

  const std::string& kind() const { return kind_; }
  const std::string& message() const { return message_; }
  const void* location() const { return location_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string kind_;
  std::string message_;
  const void* location_;
};

// The address in the calling function just after the call: where a failure raised there is
// reported to be.
[[gnu::noinline]] const void* CallerLocation();

// An input/output failure with the system's error number, or one of the text channels' own codes.
class IoFailure : public Failure {
 public:
  IoFailure(int32_t code, const void* location);
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

// The text channels' own codes, beside the system's error numbers.
constexpr int32_t kInputChannelNotOpen = 104;
constexpr int32_t kOutputChannelNotOpen = 105;

// The message that goes with a code, chosen by the error's meaning, not its number.
std::string IoFailureMessage(int32_t code);

// Every failed text-channel operation stores its code here, over any code already pending; 0
// when none is. Only CheckIo raises it.
void StorePendingIoCode(int32_t code);
int32_t PendingIoCode();
// Takes the pending code and leaves none pending.
int32_t TakePendingIoCode();

// Raises IoFailure for a pending code, located in the caller just after the check.
[[gnu::noinline]] void CheckIo();

}  // namespace tarnwick
