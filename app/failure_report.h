#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// The report's text: "Exception KIND in module MODULE at OFFSET." CR LF, then the message with a
// closing period unless it has one (or is empty), CR LF. OFFSET is 8 upper-case hex digits.
std::string FormatFailureReport(const std::string& kind, const std::string& module,
                                uint64_t image_offset, const std::string& message);

// For a failure that no guard caught: writes out held output, then the report on standard
// error, and ends the process with status 1. When the held output cannot be written, that
// failure is reported instead.
[[noreturn]] void ReportUncaughtFailure(const std::string& kind, const std::string& message,
                                        const void* location);

}  // namespace tarnwick
