// A standard descriptor that arrives closed stays absent for the program's channels, and no file
// that the run opens may take its number: messages must never land in the target or the list.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

struct ClosedRow {
  const char* name;
  Channel input;
  Channel output;
  Channel error;
  int exit_status;
  const char* report;  // standard error's bytes (a regex), when it is a file
};

class ClosedDescriptorRows : public ::testing::TestWithParam<ClosedRow> {};

TEST_P(ClosedDescriptorRows, FilesOfTheRunNeverReceiveMessages) {
  const ClosedRow& row = GetParam();
  Scratch scratch;
  const auto [target, list] = WriteBlockFillingRun(scratch);

  const Outcome outcome = RunProgram(scratch, {.arguments = {"target.dat", "list.txt"},
                                               .input_channel = row.input,
                                               .output_channel = row.output,
                                               .error_channel = row.error});

  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, row.exit_status);
  EXPECT_THAT(outcome.error, ::testing::MatchesRegex(row.report));
  // Without standard output the first entry's line fails and ends the run; with it, every entry
  // is applied. Nothing else reaches either file.
  const std::string patched = row.output == Channel::Closed
                                  ? "AB" + target.substr(2)
                                  : "ABABABABABABABAB" + target.substr(16);
  EXPECT_EQ(scratch.Read("target.dat"), patched);
  EXPECT_EQ(scratch.Read("list.txt"), list);
}

constexpr const char* kReport105 =
    "Exception IoFailure in module tarnwick at [0-9A-F]{8}\\.\r\nI/O error 105\\.\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Closed, ClosedDescriptorRows,
    ::testing::Values(
        ClosedRow{"Output", Channel::File, Channel::Closed, Channel::File, 1, kReport105},
        ClosedRow{"InputAndOutput", Channel::Closed, Channel::Closed, Channel::File, 1, kReport105},
        ClosedRow{"All", Channel::Closed, Channel::Closed, Channel::Closed, 1, ""},
        ClosedRow{"InputOnly", Channel::Closed, Channel::File, Channel::File, 0, ""}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

// A name read from the list that holds a byte 0 cannot be handed to the file system whole; cut
// short it would name another file, which must not be patched or created in its place.
TEST(NamesWithByteZero, DesignateNoFile) {
  Scratch scratch;
  scratch.Write("target.dat", std::string(8, 'T'));
  scratch.Write("fix.bin", "AB");
  scratch.Write("list.txt", std::string("8\n0\nfix.bin\0.old\n", 18));

  const Outcome forward = RunProgram(scratch, {.arguments = {"target.dat", "list.txt"}});
  EXPECT_EQ(forward.output, Lines({"ERROR: a data file does not exist!", "Wrong patch."}));
  EXPECT_EQ(scratch.Read("target.dat"), std::string(8, 'T'));

  const Outcome reverse = RunProgram(scratch, {.arguments = {"target.dat", "list.txt", "r"}});
  EXPECT_EQ(
      reverse.output,
      Lines({"Reverse patching!", std::string("WARNING: new data file created (fix.bin\0.old)", 45),
             "FATAL ERROR!"}));
  EXPECT_EQ(scratch.Read("fix.bin"), "AB");
}

}  // namespace
}  // namespace tarnwick::e2e
