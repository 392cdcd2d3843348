// How the program's output reaches each kind of standard output, and how a failed write ends it.

#include <elf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <vector>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

// The first line of a report, with the 8 hexadecimal digits of the failing point captured.
const char* const kReportHead = "Exception IoFailure in module tarnwick at ([0-9A-F]{8})\\.\r\n";

// The failing point's offset, as the report on standard error gives it.
std::optional<uint64_t> ReportedOffset(const std::string& report) {
  std::smatch match;
  if (!std::regex_search(report, match, std::regex(kReportHead))) return std::nullopt;
  return std::stoull(match[1].str(), nullptr, 16);
}

// Whether the offset, counted from the start of the program's loaded image, falls in a segment
// of the program file that is loaded executable: a point in the program's own code.
bool IsInExecutableCode(const std::string& program, uint64_t offset) {
  std::ifstream file(program, std::ios::binary);
  Elf64_Ehdr header;
  if (!file.read(reinterpret_cast<char*>(&header), sizeof header) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) {
    ADD_FAILURE() << program << " is no 64-bit ELF file";
    return false;
  }
  std::vector<Elf64_Phdr> segments(header.e_phnum);
  file.seekg(static_cast<std::streamoff>(header.e_phoff));
  file.read(reinterpret_cast<char*>(segments.data()),
            static_cast<std::streamsize>(segments.size() * sizeof(Elf64_Phdr)));
  if (!file) {
    ADD_FAILURE() << "cannot read the program headers of " << program;
    return false;
  }
  uint64_t image_start = UINT64_MAX;
  for (const Elf64_Phdr& segment : segments) {
    if (segment.p_type == PT_LOAD) image_start = std::min(image_start, segment.p_vaddr);
  }
  const uint64_t address = image_start + offset;
  for (const Elf64_Phdr& segment : segments) {
    if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0 && address >= segment.p_vaddr &&
        address < segment.p_vaddr + segment.p_memsz) {
      return true;
    }
  }
  return false;
}

struct ChannelRow {
  const char* name;
  Channel input;
  Channel output;
  int exit_status;
  const char* report_message;  // the report's second line, or nullptr for no report
  bool whole_help_on_output;   // standard output holds the whole help screen afterwards
};

class OutputChannelRows : public ::testing::TestWithParam<ChannelRow> {};

TEST_P(OutputChannelRows, HelpScreenEndsAsTheChannelAllows) {
  const ChannelRow& row = GetParam();
  Scratch scratch;
  const Outcome outcome =
      RunProgram(scratch, {.input_channel = row.input, .output_channel = row.output});
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, row.exit_status);
  if (row.whole_help_on_output) {
    EXPECT_EQ(outcome.output, HelpScreen());
  }
  if (row.report_message == nullptr) {
    EXPECT_EQ(outcome.error, "");
    return;
  }
  EXPECT_THAT(outcome.error,
              ::testing::MatchesRegex(std::string(kReportHead) + row.report_message + "\r\n\r\n"));

  // The offset is the failing point's place in the program, whatever address the image was
  // loaded at: in the program's code, and the same in another run of the same case.
  const std::optional<uint64_t> offset = ReportedOffset(outcome.error);
  ASSERT_TRUE(offset.has_value()) << outcome.error;
  EXPECT_TRUE(IsInExecutableCode(ProgramPath(), *offset)) << std::hex << *offset;
  const Outcome again =
      RunProgram(scratch, {.input_channel = row.input, .output_channel = row.output});
  EXPECT_EQ(ReportedOffset(again.error), offset);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, OutputChannelRows,
    ::testing::Values(
        ChannelRow{"File", Channel::File, Channel::File, 0, nullptr, true},
        ChannelRow{"Pipe", Channel::File, Channel::Pipe, 0, nullptr, true},
        ChannelRow{"DevNull", Channel::File, Channel::DevNull, 0, nullptr, false},
        ChannelRow{"InputDevNull", Channel::DevNull, Channel::File, 0, nullptr, true},
        ChannelRow{"InputPipeClosedByItsWriter", Channel::Pipe, Channel::File, 0, nullptr, true},
        ChannelRow{"Closed", Channel::File, Channel::Closed, 1, "I/O error 105\\.", false},
        ChannelRow{"DevFull", Channel::File, Channel::DevFull, 1, "Disk full\\.", false},
        ChannelRow{"ReaderGone", Channel::File, Channel::BrokenPipe, 1, "I/O error 32\\.", false},
        // The help screen is all out before the wait finds no standard input.
        ChannelRow{"InputClosed", Channel::Closed, Channel::File, 1, "I/O error 104\\.", true},
        ChannelRow{"InputClosedOutputPipe", Channel::Closed, Channel::Pipe, 1, "I/O error 104\\.",
                   true}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(OutputChannel, ReportNamesTheProgramFileWithoutItsFolders) {
  Scratch scratch;
  const std::string program = CopyProgram(scratch, "bin/Tarnwick.exe");
  const Outcome outcome =
      RunProgram(scratch, {.output_channel = Channel::Closed, .program = program});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_THAT(outcome.error,
              ::testing::MatchesRegex("Exception IoFailure in module Tarnwick\\.exe at "
                                      "[0-9A-F]{8}\\.\r\nI/O error 105\\.\r\n\r\n"));
}

TEST(OutputChannel, AReportWithNowhereToGoStillEndsWithStatusOne) {
  Scratch scratch;
  const Outcome outcome =
      RunProgram(scratch, {.output_channel = Channel::Closed, .error_channel = Channel::Closed});
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, 1);
}

// While the program waits after the help screen, a file on standard output has received whole
// 128-byte blocks only: reading standard input does not hand over held output.
TEST(OutputChannel, WhileWaitingAFileHoldsOnlyTheWholeBlocks) {
  const std::string help = HelpScreen();
  const std::string blocks = help.substr(0, help.size() / 128 * 128);
  ASSERT_NE(blocks.size(), help.size()) << "the help screen should end inside a block";
  Scratch scratch;
  StartedProgram program(scratch, {.input_channel = Channel::Pipe});
  // The blocks arrive before the wait begins; give a slow machine time to get there.
  for (int tries = 0; tries < 500 && program.OutputSoFar().size() < blocks.size(); ++tries) {
    usleep(10'000);
  }
  usleep(300'000);
  EXPECT_FALSE(program.HasEnded());
  EXPECT_EQ(program.OutputSoFar(), blocks);

  program.Feed("\n");
  const Outcome outcome = program.Wait();
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, help);
  EXPECT_EQ(outcome.error, "");
}

struct SharedRow {
  const char* name;
  Channel output;
};

class SharedOutputRows : public ::testing::TestWithParam<SharedRow> {};

// With standard error on standard output's own file or pipe, the report comes after every line
// written before the failure: the held rest of the help screen goes out first.
TEST_P(SharedOutputRows, ReportFollowsEveryLineWrittenBeforeIt) {
  Scratch scratch;
  const Outcome outcome = RunProgram(scratch, {.input_channel = Channel::Closed,
                                               .output_channel = GetParam().output,
                                               .error_channel = Channel::SameAsOutput});
  EXPECT_EQ(outcome.exit_status, 1);
  ASSERT_GE(outcome.output.size(), HelpScreen().size());
  EXPECT_EQ(outcome.output.substr(0, HelpScreen().size()), HelpScreen());
  EXPECT_THAT(outcome.output.substr(HelpScreen().size()),
              ::testing::MatchesRegex(std::string(kReportHead) + "I/O error 104\\.\r\n\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedOutputRows,
                         ::testing::Values(SharedRow{"File", Channel::File},
                                           SharedRow{"Pipe", Channel::Pipe}),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

}  // namespace
}  // namespace tarnwick::e2e
