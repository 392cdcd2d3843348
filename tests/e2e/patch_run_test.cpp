// The patch run from outside: the road of one ordinary run, the patch list's size and offset
// lines as the run takes them, and runs of several entries where one of them goes wrong.

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

using namespace std::string_literals;

constexpr size_t kTargetSize = 256;

struct DataFile {
  std::string name;
  std::string bytes;
};

// A data file whose content must stand in the target at the offset afterwards.
struct Placed {
  int64_t offset;
  std::string data_file;
};

// Checks the target against its bytes before the run: every placed data file stands at its
// offset, and nothing else changed.
void ExpectPlaced(const Scratch& scratch, const std::string& before, const std::string& target,
                  const std::vector<Placed>& placed) {
  const std::string after = scratch.Read(target);
  std::vector<ByteRange> ranges;
  for (const Placed& place : placed) {
    const std::string bytes = scratch.Read(place.data_file);
    ranges.push_back({place.offset, static_cast<int64_t>(bytes.size())});
    EXPECT_EQ(after.substr(static_cast<size_t>(place.offset), bytes.size()), bytes)
        << place.data_file << " at " << place.offset;
  }
  ExpectUnchangedOutside(before, after, ranges);
}

// --- The road of one run -----------------------------------------------------------------------

TEST(RoadOfOneRun, TheTargetAloneTakesThePatchListFromBesideTheProgram) {
  Scratch scratch;
  const std::string program = CopyProgram(scratch, "tools/Tarnwick.exe");
  scratch.Write("tools/Tarnwick.exe.txt", "256\n16\nfix1.bin\n");
  // A list of that name in the current folder is not the one beside the program.
  scratch.Write("Tarnwick.exe.txt", "255\n0\nfix1.bin\n");
  const std::string before = DistinctBytes(kTargetSize, 1);
  scratch.Write("game.dat", before);
  scratch.Write("fix1.bin", "\x01\x02\x03\xff\x00\x7f"s);

  const Outcome outcome = RunProgram(scratch, {.arguments = {"game.dat"}, .program = program});

  EXPECT_EQ(outcome.output, "OK: Patched at offset 16; bytes: 6\r\nSuccessfully patched!\r\n");
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_FALSE(outcome.timed_out);
  ExpectPlaced(scratch, before, "game.dat", {{16, "fix1.bin"}});
  EXPECT_EQ(scratch.Read("fix1.bin"), "\x01\x02\x03\xff\x00\x7f"s);
}

// --- Rows of one run each ----------------------------------------------------------------------

struct RunRow {
  const char* name;
  std::string list;
  std::vector<std::string> lines;
  std::vector<Placed> placed;
  const char* held = nullptr;  // a data file that another process holds during the run
  size_t target_size = kTargetSize;
};

// Rows show as their names in test output.
void PrintTo(const RunRow& row, std::ostream* out) { *out << row.name; }

const std::vector<DataFile> kDataFiles = {
    {"fix1.bin", "ABCD"}, {"fix2.bin", "wxyz"}, {"fix3.bin", "123456"}, {"held.bin", "HELD"}};

class PatchRunRows : public ::testing::TestWithParam<RunRow> {};

TEST_P(PatchRunRows, WriteTheirLinesAndPatchOnlyTheirEntries) {
  const RunRow& row = GetParam();
  Scratch scratch;
  const std::string before = DistinctBytes(row.target_size, 2);
  scratch.Write("target.bin", before);
  scratch.Write("list.txt", row.list);
  for (const DataFile& file : kDataFiles) scratch.Write(file.name, file.bytes);
  std::unique_ptr<HeldFile> held;
  if (row.held != nullptr) held = std::make_unique<HeldFile>(scratch / row.held);

  const Outcome outcome = RunProgram(scratch, {.arguments = {"target.bin", "list.txt"}});

  EXPECT_EQ(outcome.output, Lines(row.lines));
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.exit_status, 0);
  ExpectPlaced(scratch, before, "target.bin", row.placed);
  for (const DataFile& file : kDataFiles) EXPECT_EQ(scratch.Read(file.name), file.bytes);
  EXPECT_EQ(scratch.Read("list.txt"), row.list);
}

constexpr const char* kSuccess = "Successfully patched!";
constexpr const char* kWrongPatch = "Wrong patch.";
constexpr const char* kListError = "TXT file open error!";
constexpr const char* kSizeDiffers = "Size of target file is different from size described in TXT!";

INSTANTIATE_TEST_SUITE_P(
    SizeAndOffsetLines, PatchRunRows,
    ::testing::Values(
        RunRow{"DecimalSizeLine",
               "256\n16\nfix1.bin\n",
               {"OK: Patched at offset 16; bytes: 4", kSuccess},
               {{16, "fix1.bin"}}},
        RunRow{"HexadecimalSizeLine",
               "$100\n16\nfix1.bin\n",
               {"OK: Patched at offset 16; bytes: 4", kSuccess},
               {{16, "fix1.bin"}}},
        RunRow{"HexadecimalSizeAndOffsetWith0x",
               "0X100\n0x1f\nfix1.bin\n",
               {"OK: Patched at offset 31; bytes: 4", kSuccess},
               {{31, "fix1.bin"}}},
        RunRow{"LeadingSpaces",
               "   256\n  16\nfix1.bin\n",
               {"OK: Patched at offset 16; bytes: 4", kSuccess},
               {{16, "fix1.bin"}}},
        RunRow{"CarriageReturnLineEnds",
               "256\r\n16\r\nfix1.bin\r\n",
               {"OK: Patched at offset 16; bytes: 4", kSuccess},
               {{16, "fix1.bin"}}},
        RunRow{"LastLineWithoutLineEnd",
               "256\n16\nfix1.bin",
               {"OK: Patched at offset 16; bytes: 4", kSuccess},
               {{16, "fix1.bin"}}},
        RunRow{"SpaceAfterTheSizeLine", "256 \n16\nfix1.bin\n", {kListError}},
        RunRow{"TabBeforeTheSizeLine", "\t256\n16\nfix1.bin\n", {kListError}},
        RunRow{"EmptyList", "", {kListError}},
        RunRow{"EmptySizeLine", "\n16\nfix1.bin\n", {kListError}},
        RunRow{"MinusOneAsSize", "-1\n16\nfix1.bin\n", {kSizeDiffers}},
        RunRow{"TargetOneByteLongerThanDeclared", "255\n16\nfix1.bin\n", {kSizeDiffers}},
        RunRow{"TargetOneByteShorterThanDeclared", "257\n16\nfix1.bin\n", {kSizeDiffers}},
        RunRow{"SizeLineOnly", "256\n", {kSuccess}},
        RunRow{"SizeLineOnlyWithoutLineEnd", "256", {kSuccess}},
        RunRow{"RefusedOffsetsAreSkippedWithoutALine",
               "256\n16 \nfix1.bin\n1e3\nfix2.bin\n\t8\nfix3.bin\n40\nfix1.bin\n",
               {"OK: Patched at offset 40; bytes: 4", kSuccess},
               {{40, "fix1.bin"}}},
        RunRow{"TrailingBlankLinesChangeNothing",
               "256\n16\nfix1.bin\n\n\n\n",
               {"OK: Patched at offset 16; bytes: 4", kSuccess},
               {{16, "fix1.bin"}}},
        RunRow{"OffsetLineWithoutNameLine",
               "256\n16\nfix1.bin\n20",
               {"OK: Patched at offset 16; bytes: 4", "ERROR: a data file does not exist!",
                kWrongPatch},
               {{16, "fix1.bin"}}},
        RunRow{"CtrlZEndsTheList",
               "256\n16\nfix1.bin\x1a\n20\nfix2.bin\n",
               {"OK: Patched at offset 16; bytes: 4", kSuccess},
               {{16, "fix1.bin"}}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SeveralEntries, PatchRunRows,
    ::testing::Values(RunRow{"FailureInTheThirdEntryKeepsTheFirstTwo",
                             "256\n0\nfix1.bin\n10\nfix2.bin\n20\nheld.bin\n30\nfix3.bin\n",
                             {"OK: Patched at offset 0; bytes: 4",
                              "OK: Patched at offset 10; bytes: 4", "FATAL ERROR!"},
                             {{0, "fix1.bin"}, {10, "fix2.bin"}},
                             "held.bin"},
                      RunRow{"ErrorsThenGoodEntriesApplyThemAll",
                             "256\n0\nfix1.bin\n1\nabsent.bin\n253\nfix1.bin\n100\nfix2.bin\n"
                             "9223372036854775807\nfix3.bin\n200\nfix3.bin\n",
                             {"OK: Patched at offset 0; bytes: 4",
                              "ERROR: a data file does not exist!", "ERROR: an offset too big!",
                              "OK: Patched at offset 100; bytes: 4", "ERROR: an offset too big!",
                              "OK: Patched at offset 200; bytes: 6", kWrongPatch},
                             {{0, "fix1.bin"}, {100, "fix2.bin"}, {200, "fix3.bin"}}},
                      RunRow{"SkippedEntriesLeaveTheSummaryAlone",
                             "256\n-1\nabsent.bin\nx\nfix1.bin\n"
                             "252\nfix2.bin\n",
                             {"OK: Patched at offset 252; bytes: 4", kSuccess},
                             {{252, "fix2.bin"}}},
                      RunRow{"OneDataFileInTwoEntries",
                             "256\n0\nfix1.bin\n252\nfix1.bin\n",
                             {"OK: Patched at offset 0; bytes: 4",
                              "OK: Patched at offset 252; bytes: 4", kSuccess},
                             {{0, "fix1.bin"}, {252, "fix1.bin"}}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(PatchRun, OverlappingEntriesLeaveTheLaterBytesOnTop) {
  Scratch scratch;
  const std::string before = DistinctBytes(kTargetSize, 3);
  scratch.Write("target.bin", before);
  scratch.Write("list.txt", "256\n10\nlong.bin\n12\nshort.bin\n");
  scratch.Write("long.bin", "LLLLLL");
  scratch.Write("short.bin", "ss");
  const Outcome outcome = RunProgram(scratch, {.arguments = {"target.bin", "list.txt"}});
  EXPECT_EQ(outcome.output, Lines({"OK: Patched at offset 10; bytes: 6",
                                   "OK: Patched at offset 12; bytes: 2", kSuccess}));
  std::string expected = before;
  expected.replace(10, 6, "LLssLL");
  EXPECT_EQ(scratch.Read("target.bin"), expected);
}

TEST(PatchRun, AReverseFailureInTheThirdEntryKeepsWhatTheFirstTwoRead) {
  Scratch scratch;
  const std::string target = DistinctBytes(kTargetSize, 4);
  scratch.Write("target.bin", target);
  scratch.Write("list.txt", "256\n5\nfirst.bin\n50\nsecond.bin\n100\nheld.bin\n150\nfourth.bin\n");
  scratch.Write("first.bin", "----");
  scratch.Write("second.bin", "--------");
  scratch.Write("held.bin", "HELD");
  scratch.Write("fourth.bin", "----");
  const HeldFile held(scratch / "held.bin");

  const Outcome outcome = RunProgram(scratch, {.arguments = {"target.bin", "list.txt", "reverse"}});

  EXPECT_EQ(outcome.output, Lines({"Reverse patching!", "OK: Patched at offset 5; bytes: 4",
                                   "OK: Patched at offset 50; bytes: 8", "FATAL ERROR!"}));
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(scratch.Read("first.bin"), target.substr(5, 4));
  EXPECT_EQ(scratch.Read("second.bin"), target.substr(50, 8));
  EXPECT_EQ(scratch.Read("held.bin"), "HELD");
  EXPECT_EQ(scratch.Read("fourth.bin"), "----");
  EXPECT_EQ(scratch.Read("target.bin"), target);
}

TEST(PatchRun, AReverseRunWithTheWrongSizeTouchesNoDataFile) {
  Scratch scratch;
  const std::string target = DistinctBytes(kTargetSize, 5);
  scratch.Write("target.bin", target);
  scratch.Write("list.txt", "100\n0\nfix1.bin\n0\nabsent.bin\n");
  scratch.Write("fix1.bin", "ABCD");
  const Outcome outcome = RunProgram(scratch, {.arguments = {"target.bin", "list.txt", "reverse"}});
  EXPECT_EQ(outcome.output, Lines({"Reverse patching!", kSizeDiffers}));
  EXPECT_EQ(scratch.Read("fix1.bin"), "ABCD");
  EXPECT_FALSE(scratch.Exists("absent.bin"));
  EXPECT_EQ(scratch.Read("target.bin"), target);
}

}  // namespace
}  // namespace tarnwick::e2e
