// Files that are already in use: held by another process, or named twice within one run (under
// the same name or another name of the same file). None of them can be opened a second time.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

struct HoldRow {
  const char* name;
  std::vector<std::string> arguments;
  std::string list;            // list.txt
  const char* held = nullptr;  // a file another process holds during the run
  std::vector<std::string> lines;
  std::vector<int64_t> fix_offsets;  // where fix.bin stands in the target afterwards
};

// Rows show as their names in test output.
void PrintTo(const HoldRow& row, std::ostream* out) { *out << row.name; }

class ExclusiveUseRows : public ::testing::TestWithParam<HoldRow> {};

TEST_P(ExclusiveUseRows, AFileInUseCannotBeOpenedAgain) {
  const HoldRow& row = GetParam();
  Scratch scratch;
  const std::string target = DistinctBytes(256, 1);
  scratch.Write("target.bin", target);
  scratch.Write("list.txt", row.list);
  scratch.Write("fix.bin", "ABCD");
  fs::create_symlink("target.bin", scratch.path() / "target-link.bin");
  fs::create_hard_link(scratch.path() / "target.bin", scratch.path() / "target-hard.bin");
  fs::create_symlink("list.txt", scratch.path() / "list-link.txt");
  std::unique_ptr<HeldFile> held;
  if (row.held != nullptr) held = std::make_unique<HeldFile>(scratch / row.held);

  const Outcome outcome = RunProgram(scratch, {.arguments = row.arguments});

  EXPECT_EQ(outcome.output, Lines(row.lines));
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.exit_status, 0);
  const std::string after = scratch.Read("target.bin");
  std::vector<ByteRange> ranges;
  for (const int64_t offset : row.fix_offsets) {
    ranges.push_back({offset, 4});
    EXPECT_EQ(after.substr(static_cast<size_t>(offset), 4), "ABCD");
  }
  ExpectUnchangedOutside(target, after, ranges);
  EXPECT_EQ(scratch.Read("list.txt"), row.list);
  EXPECT_EQ(scratch.Read("fix.bin"), "ABCD");
}

const std::vector<std::string> kForward = {"target.bin", "list.txt"};
const std::vector<std::string> kReverse = {"target.bin", "list.txt", "reverse"};
constexpr const char* kOneEntry = "256\n0\nfix.bin\n";
// A list that declares its own length, so that only the hold keeps it from being its own target.
constexpr const char* kListOfItsOwnSize = "13\n0\nfix.bin\n";

INSTANTIATE_TEST_SUITE_P(
    HeldByAnotherProcess, ExclusiveUseRows,
    ::testing::Values(
        HoldRow{"TargetForward", kForward, kOneEntry, "target.bin", {"Target file open error!"}},
        HoldRow{"TargetReverse",
                kReverse,
                kOneEntry,
                "target.bin",
                {"Reverse patching!", "Target file open error!"}},
        HoldRow{"ListForward", kForward, kOneEntry, "list.txt", {"TXT file open error!"}},
        HoldRow{"ListReverse",
                kReverse,
                kOneEntry,
                "list.txt",
                {"Reverse patching!", "TXT file open error!"}},
        HoldRow{"DataFileForward", kForward, kOneEntry, "fix.bin", {"FATAL ERROR!"}},
        HoldRow{"DataFileReverse",
                kReverse,
                kOneEntry,
                "fix.bin",
                {"Reverse patching!", "FATAL ERROR!"}},
        HoldRow{"DataFileAfterAnEntryThatFitsNot",
                kForward,
                "256\n300\nfix.bin\n0\nfix.bin\n",
                "fix.bin",
                {"FATAL ERROR!"}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    OneFileTwoNames, ExclusiveUseRows,
    ::testing::Values(
        HoldRow{"TargetIsTheList",
                {"list.txt", "list.txt"},
                kListOfItsOwnSize,
                nullptr,
                {"Target file open error!"}},
        HoldRow{"TargetIsTheListReverse",
                {"list.txt", "list.txt", "reverse"},
                kListOfItsOwnSize,
                nullptr,
                {"Reverse patching!", "Target file open error!"}},
        HoldRow{"TargetIsTheListUnderALink",
                {"list-link.txt", "./list.txt"},
                kListOfItsOwnSize,
                nullptr,
                {"Target file open error!"}},
        HoldRow{"DataFileIsTheTarget", kForward, "256\n0\ntarget.bin\n", nullptr, {"FATAL ERROR!"}},
        HoldRow{"DataFileIsTheTargetReverse",
                kReverse,
                "256\n0\ntarget.bin\n",
                nullptr,
                {"Reverse patching!", "FATAL ERROR!"}},
        HoldRow{"DataFileIsTheTargetWithDotSlash",
                kForward,
                "256\n0\n./target.bin\n",
                nullptr,
                {"FATAL ERROR!"}},
        HoldRow{"DataFileIsTheTargetUnderASymlink",
                kForward,
                "256\n0\ntarget-link.bin\n",
                nullptr,
                {"FATAL ERROR!"}},
        HoldRow{"DataFileIsTheTargetUnderAHardLink",
                kReverse,
                "256\n0\ntarget-hard.bin\n",
                nullptr,
                {"Reverse patching!", "FATAL ERROR!"}},
        HoldRow{"DataFileIsTheTargetAfterAGoodEntry",
                kForward,
                "256\n0\nfix.bin\n0\ntarget.bin\n",
                nullptr,
                {"OK: Patched at offset 0; bytes: 4", "FATAL ERROR!"},
                {0}},
        HoldRow{"DataFileIsTheList", kForward, "256\n0\nlist.txt\n", nullptr, {"FATAL ERROR!"}},
        HoldRow{"DataFileIsTheListReverse",
                kReverse,
                "256\n0\nlist-link.txt\n",
                nullptr,
                {"Reverse patching!", "FATAL ERROR!"}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(ExclusiveUse, AFileIsFreeAgainOnceItsHolderHasGone) {
  Scratch scratch;
  scratch.Write("target.bin", DistinctBytes(256, 2));
  scratch.Write("list.txt", kOneEntry);
  scratch.Write("fix.bin", "ABCD");
  const e2e::Run run = {.arguments = kForward};
  {
    const HeldFile held(scratch / "fix.bin");
    EXPECT_EQ(RunProgram(scratch, run).output, Lines({"FATAL ERROR!"}));
  }
  EXPECT_EQ(RunProgram(scratch, run).output,
            Lines({"OK: Patched at offset 0; bytes: 4", "Successfully patched!"}));
  EXPECT_EQ(scratch.Read("target.bin").substr(0, 4), "ABCD");
}

}  // namespace
}  // namespace tarnwick::e2e
