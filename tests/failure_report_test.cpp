// The uncaught-failure report: its exact text, and what happens to held output around it.

#include "app/failure_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "app/console.h"
#include "platform/syscalls.h"

namespace tarnwick {
namespace {

struct ReportRow {
  const char* name;
  std::string kind;
  std::string module;
  uint64_t offset;
  std::string message;
  std::string report;
};

class ReportRows : public ::testing::TestWithParam<ReportRow> {};

TEST_P(ReportRows, FormsTheReportByteForByte) {
  const ReportRow& row = GetParam();
  EXPECT_EQ(FormatFailureReport(row.kind, row.module, row.offset, row.message), row.report);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReportRows,
    ::testing::Values(
        ReportRow{"MessageGetsAPeriod", "IoFailure", "tarnwick", 0x1A2B, "Disk full",
                  "Exception IoFailure in module tarnwick at 00001A2B.\r\nDisk full.\r\n"},
        ReportRow{"MessageWithAPeriodGetsNoSecond", "IoFailure", "tarnwick", 0x10, "Done.",
                  "Exception IoFailure in module tarnwick at 00000010.\r\nDone.\r\n"},
        ReportRow{"EmptyMessageGetsNoPeriod", "IoFailure", "tarnwick", 0x10, "",
                  "Exception IoFailure in module tarnwick at 00000010.\r\n\r\n"},
        ReportRow{"PeriodInsideTheMessageCountsNot", "IoFailure", "tarnwick", 0x10, "a.b c",
                  "Exception IoFailure in module tarnwick at 00000010.\r\na.b c.\r\n"},
        ReportRow{"PeriodBeforeATrailingBlankCountsNot", "IoFailure", "tarnwick", 0x10, "end. ",
                  "Exception IoFailure in module tarnwick at 00000010.\r\nend. .\r\n"},
        ReportRow{"OffsetZero", "OutOfMemory", "tarnwick", 0, "Out of memory",
                  "Exception OutOfMemory in module tarnwick at 00000000.\r\nOut of memory.\r\n"},
        ReportRow{"UpperCaseDigits", "IoFailure", "Tarnwick.exe", 0xABCDEF, "I/O error 32",
                  "Exception IoFailure in module Tarnwick.exe at 00ABCDEF.\r\nI/O error 32.\r\n"},
        ReportRow{"AllEightDigitsUsed", "IoFailure", "tarnwick", 0xFEDCBA98, "I/O error 105",
                  "Exception IoFailure in module tarnwick at FEDCBA98.\r\nI/O error 105.\r\n"},
        // No code page to convert to here: bytes above 127 go out as they are.
        ReportRow{"HighBytesUnconverted", "IoFailure", "t\xe9st", 0x1, "\xe9t\xe9",
                  "Exception IoFailure in module t\xe9st at 00000001.\r\n\xe9t\xe9.\r\n"}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(FormatFailureReport, OffsetIsAlwaysEightDigits) {
  const std::string report = FormatFailureReport("IoFailure", "m", 0x123456789ULL, "x");
  const std::string head = "Exception IoFailure in module m at ";
  ASSERT_EQ(report.substr(0, head.size()), head);
  EXPECT_EQ(report.find(".\r\n"), head.size() + 8) << report;
}

// Standard output, seen by the channel as a regular file whose writes go to standard error, so
// that a death test can see the held output and the report in the order they were written.
int OutputLooksLikeAFile(int fd, struct stat* status) {
  if (fd != STDOUT_FILENO) return platform::RealSyscalls().fstat(fd, status);
  *status = {};
  status->st_mode = S_IFREG | 0644;
  return 0;
}

ssize_t OutputGoesToStandardError(int fd, const void* bytes, size_t n) {
  return platform::RealSyscalls().write(fd == STDOUT_FILENO ? STDERR_FILENO : fd, bytes, n);
}

ssize_t OutputDiskFull(int fd, const void* bytes, size_t n) {
  if (fd != STDOUT_FILENO) return platform::RealSyscalls().write(fd, bytes, n);
  errno = ENOSPC;
  return -1;
}

void ReportWithHeldOutput(ssize_t (*output_write)(int, const void*, size_t)) {
  ResetStandardOutputForTesting();
  platform::Syscalls().fstat = OutputLooksLikeAFile;
  platform::Syscalls().write = output_write;
  WriteMessage("held line");
  ReportUncaughtFailure("IoFailure", "I/O error 104",
                        reinterpret_cast<const void*>(&ReportWithHeldOutput));
}

using ReportDeathTest = ::testing::Test;

TEST_F(ReportDeathTest, HeldOutputGoesOutBeforeTheReportAndTheStatusIsOne) {
  EXPECT_EXIT(ReportWithHeldOutput(OutputGoesToStandardError), ::testing::ExitedWithCode(1),
              "^held line\r\n"
              "Exception IoFailure in module failure_report_test at [0-9A-F]{8}\\.\r\n"
              "I/O error 104\\.\r\n"
              "\r\n$");
}

TEST_F(ReportDeathTest, HeldOutputThatCannotBeWrittenIsReportedInstead) {
  EXPECT_EXIT(ReportWithHeldOutput(OutputDiskFull), ::testing::ExitedWithCode(1),
              "^Exception IoFailure in module failure_report_test at [0-9A-F]{8}\\.\r\n"
              "Disk full\\.\r\n"
              "\r\n$");
}

TEST_F(ReportDeathTest, WithNoOutputOpenTheReportIsAllThereIs) {
  EXPECT_EXIT(
      {
        ResetStandardOutputForTesting();
        ReportUncaughtFailure("OutOfMemory", "Out of memory", nullptr);
      },
      ::testing::ExitedWithCode(1),
      "^Exception OutOfMemory in module failure_report_test at [0-9A-F]{8}\\.\r\n"
      "Out of memory\\.\r\n"
      "\r\n$");
}

}  // namespace
}  // namespace tarnwick
