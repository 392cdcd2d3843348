// Read-only targets, data files and folders, with the program run as an unprivileged user (the
// system lets the superuser write to any file): each direction asks only for the access it needs.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kReadOnly =
    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
constexpr fs::perms kWritable =
    kReadOnly | fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

enum class Moved { Nothing, DataIntoTarget, TargetIntoData };

struct ReadOnlyRow {
  const char* name;
  bool reverse;
  bool target_read_only;
  bool data_read_only;
  std::vector<std::string> lines;
  Moved moved;
};

// Rows show as their names in test output.
void PrintTo(const ReadOnlyRow& row, std::ostream* out) { *out << row.name; }

class ReadOnlyRows : public ::testing::TestWithParam<ReadOnlyRow> {};

TEST_P(ReadOnlyRows, EachDirectionAsksOnlyForTheAccessItNeeds) {
  if (!CanRunUnprivileged()) GTEST_SKIP() << "runs as an unprivileged user need root";
  const ReadOnlyRow& row = GetParam();
  Scratch scratch;
  const std::string program = CopyProgram(scratch, "bin/tarnwick");
  const std::string target = DistinctBytes(100, 1);
  scratch.Write("target.bin", target);
  scratch.Write("list.txt", "100\n16\nfix.bin\n");
  scratch.Write("fix.bin", "xyz");
  scratch.OpenToEveryone();
  fs::permissions(scratch / "target.bin", row.target_read_only ? kReadOnly : kWritable);
  fs::permissions(scratch / "fix.bin", row.data_read_only ? kReadOnly : kWritable);
  fs::permissions(scratch / "list.txt", kReadOnly);

  std::vector<std::string> arguments = {"target.bin", "list.txt"};
  if (row.reverse) arguments.push_back("reverse");
  const Outcome outcome =
      RunProgram(scratch, {.arguments = arguments, .program = program, .unprivileged = true});

  EXPECT_EQ(outcome.output, Lines(row.lines));
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.exit_status, 0);
  std::string expected_target = target;
  std::string expected_data = "xyz";
  if (row.moved == Moved::DataIntoTarget) expected_target.replace(16, 3, "xyz");
  if (row.moved == Moved::TargetIntoData) expected_data = target.substr(16, 3);
  EXPECT_EQ(scratch.Read("target.bin"), expected_target);
  EXPECT_EQ(scratch.Read("fix.bin"), expected_data);
}

INSTANTIATE_TEST_SUITE_P(
    Access, ReadOnlyRows,
    ::testing::Values(ReadOnlyRow{"ForwardBothWritable",
                                  false,
                                  false,
                                  false,
                                  {"OK: Patched at offset 16; bytes: 3", "Successfully patched!"},
                                  Moved::DataIntoTarget},
                      ReadOnlyRow{"ForwardReadOnlyTarget",
                                  false,
                                  true,
                                  false,
                                  {"Target file open error!"},
                                  Moved::Nothing},
                      ReadOnlyRow{"ForwardReadOnlyDataFile",
                                  false,
                                  false,
                                  true,
                                  {"OK: Patched at offset 16; bytes: 3", "Successfully patched!"},
                                  Moved::DataIntoTarget},
                      ReadOnlyRow{"ReverseBothWritable",
                                  true,
                                  false,
                                  false,
                                  {"Reverse patching!", "OK: Patched at offset 16; bytes: 3",
                                   "Successfully patched!"},
                                  Moved::TargetIntoData},
                      ReadOnlyRow{"ReverseReadOnlyTarget",
                                  true,
                                  true,
                                  false,
                                  {"Reverse patching!", "OK: Patched at offset 16; bytes: 3",
                                   "Successfully patched!"},
                                  Moved::TargetIntoData},
                      ReadOnlyRow{"ReverseReadOnlyDataFile",
                                  true,
                                  false,
                                  true,
                                  {"Reverse patching!", "FATAL ERROR!"},
                                  Moved::Nothing}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(ReadOnlyFolder, AReverseCreationThereFailsAfterItsWarningLine) {
  if (!CanRunUnprivileged()) GTEST_SKIP() << "runs as an unprivileged user need root";
  Scratch scratch;
  const std::string program = CopyProgram(scratch, "bin/tarnwick");
  const std::string target = DistinctBytes(100, 2);
  scratch.Write("target.bin", target);
  scratch.Write("list.txt", "100\n0\nlocked/new.bin\n");
  fs::create_directory(scratch.path() / "locked");
  scratch.OpenToEveryone();
  fs::permissions(scratch / "locked", fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);

  const Outcome outcome = RunProgram(scratch, {.arguments = {"target.bin", "list.txt", "reverse"},
                                               .program = program,
                                               .unprivileged = true});

  EXPECT_EQ(outcome.output,
            Lines({"Reverse patching!", "WARNING: new data file created (locked/new.bin)",
                   "FATAL ERROR!"}));
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_FALSE(scratch.Exists("locked/new.bin"));
  EXPECT_EQ(scratch.Read("target.bin"), target);
}

}  // namespace
}  // namespace tarnwick::e2e
