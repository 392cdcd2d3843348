// How the program's output reaches each kind of standard output, and how a failed write ends it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

struct ChannelRow {
  const char* name;
  Channel input;
  Channel output;
  int exit_status;
  const char* report_message;  // the report's second line, or nullptr for no report
};

class OutputChannelRows : public ::testing::TestWithParam<ChannelRow> {};

TEST_P(OutputChannelRows, HelpScreenEndsAsTheChannelAllows) {
  const ChannelRow& row = GetParam();
  Scratch scratch;
  const Outcome outcome = RunProgram(scratch, {.input_channel = row.input, .output_channel = row.output});
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, row.exit_status);
  if (row.report_message == nullptr) {
    EXPECT_EQ(outcome.error, "");
  } else {
    EXPECT_THAT(outcome.error, ::testing::MatchesRegex(
                                   "Exception IoFailure in module tarnwick at [0-9A-F]{8}\\.\r\n" +
                                   std::string(row.report_message) + "\r\n\r\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Channels, OutputChannelRows,
    ::testing::Values(ChannelRow{"File", Channel::File, Channel::File, 0, nullptr},
                      ChannelRow{"Pipe", Channel::File, Channel::Pipe, 0, nullptr},
                      ChannelRow{"DevNull", Channel::File, Channel::DevNull, 0, nullptr},
                      ChannelRow{"Closed", Channel::File, Channel::Closed, 1, "I/O error 105\\."},
                      ChannelRow{"DevFull", Channel::File, Channel::DevFull, 1, "Disk full\\."},
                      ChannelRow{"ReaderGone", Channel::File, Channel::BrokenPipe, 1, "I/O error 32\\."},
                      ChannelRow{"InputClosed", Channel::Closed, Channel::File, 1, "I/O error 104\\."}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

}  // namespace
}  // namespace tarnwick::e2e
