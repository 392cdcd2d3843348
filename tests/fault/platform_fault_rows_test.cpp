// Rows for single system calls whose failure the program must ride out, each driven through the
// fault-injecting build.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/fault/fault_log.h"

namespace tarnwick::e2e {
namespace {

// A standard descriptor that the program cannot even look at when it starts (the look fails with
// an error other than "not open") must count as closed: its number may be free, and the patch
// list or the target would take it, and then receive the messages or the report.
struct UnseenRow {
  const char* name;
  Channel input;
  Channel output;
  Channel error;
  const char* plan;  // the looks at standard input, output and error are the first three calls
  int exit_status;
};

// Rows show as their names in test output.
void PrintTo(const UnseenRow& row, std::ostream* out) { *out << row.name; }

class UnseenDescriptorRows : public ::testing::TestWithParam<UnseenRow> {};

TEST_P(UnseenDescriptorRows, NeverLeadMessagesIntoTheFilesOfTheRun) {
  const UnseenRow& row = GetParam();
  Scratch scratch;
  const auto [target, list] = WriteBlockFillingRun(scratch);

  const Outcome outcome =
      RunProgram(scratch, {.arguments = {"target.dat", "list.txt"},
                           .input_channel = row.input,
                           .output_channel = row.output,
                           .error_channel = row.error,
                           .program = TARNWICK_FAULT_PROGRAM,
                           .environment = {std::string(fault::kPlanVariable) + "=" + row.plan}});

  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, row.exit_status);
  // Without standard output the first entry's line fails and ends the run: only that entry is in.
  EXPECT_EQ(scratch.Read("target.dat"), "AB" + target.substr(2));
  EXPECT_EQ(scratch.Read("list.txt"), list);
}

INSTANTIATE_TEST_SUITE_P(
    LookFails, UnseenDescriptorRows,
    ::testing::Values(
        // The list would take number 0 and the target number 1, the messages' number.
        UnseenRow{"InputAndOutput", Channel::Closed, Channel::Closed, Channel::File, "1:EIO,2:EIO",
                  1},
        // Standard input is open and only its look fails: the spare that would hold its number
        // lands on the free number 1 instead, and the messages would vanish into it unseen.
        UnseenRow{"OpenInputLookFailsOutputClosed", Channel::File, Channel::Closed, Channel::File,
                  "1:EIO", 1},
        // The list would take number 0 and the target number 2, where the report goes when the
        // first line cannot be written, nor "FATAL ERROR!" after it.
        UnseenRow{"InputAndError", Channel::Closed, Channel::DevFull, Channel::Closed,
                  "1:EIO,3:EIO", 1}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

// The report names the program's module even when the program's own path cannot be read: the
// name that it was started by stands in.
TEST(ReportWithoutOwnPath, StillNamesTheModule) {
  Scratch scratch;
  const Scratch logs;
  const std::string log = std::string(fault::kLogVariable) + "=" + (logs / "calls");
  // Without standard output the help screen's first line fails: the report follows.
  e2e::Run run = {
      .output_channel = Channel::Closed, .program = TARNWICK_FAULT_PROGRAM, .environment = {log}};
  ASSERT_EQ(RunProgram(scratch, run).exit_status, 1);
  const fault::RecordedCalls clean = fault::ReadFaultLog(logs / "calls");
  const auto readlink =
      std::find_if(clean.listed.begin(), clean.listed.end(),
                   [](const auto& call) { return call.call == fault::Call::Readlink; });
  ASSERT_NE(readlink, clean.listed.end());

  run.environment.push_back(std::string(fault::kPlanVariable) + "=" +
                            std::to_string(readlink - clean.listed.begin() + 1) + ":EIO");
  const Outcome outcome = RunProgram(scratch, run);
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_THAT(outcome.error,
              ::testing::MatchesRegex("Exception IoFailure in module tarnwick-fault at "
                                      "[0-9A-F]{8}\\.\r\nI/O error 105\\.\r\n\r\n"));
}

}  // namespace
}  // namespace tarnwick::e2e
