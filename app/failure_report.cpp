#include "app/failure_report.h"

#include "app/console.h"
#include "app/failure.h"
#include "app/process_end.h"
#include "platform/platform.h"

namespace tarnwick {
namespace {

std::string EightHexDigits(uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kDigits[value & 0xF];
  return text;
}

}  // namespace

std::string FormatFailureReport(const std::string& kind, const std::string& module,
                                uint64_t image_offset, const std::string& message) {
  const bool needs_period = !message.empty() && message.back() != '.';
  return "Exception " + kind + " in module " + module + " at " + EightHexDigits(image_offset) +
         ".\r\n" + message + (needs_period ? "." : "") + "\r\n";
}

void ReportUncaughtFailure(const std::string& kind, const std::string& message,
                           const void* location) {
  std::string report_kind = kind;
  std::string report_message = message;
  const void* report_location = location;
  if (StandardOutputIsOpen()) {
    HandOverHeldOutput();
    if (const int32_t code = TakePendingIoCode(); code != 0) {
      report_kind = "IoFailure";
      report_message = IoFailureMessage(code);
      report_location = CallerLocation();
    }
  }
  // Linux consoles take the bytes as they are: there is no code page to convert to.
  const std::string report =
      FormatFailureReport(report_kind, platform::OwnModuleName(),
                          platform::ImageOffsetOf(report_location), report_message);
  platform::WriteStandardError(report.data(), report.size());
  platform::WriteStandardError("\r\n", 2);
  EndProcess(1);
}

}  // namespace tarnwick
