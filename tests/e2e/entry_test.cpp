// Each outcome of one patch entry, seen from outside: the line about it, the summary, and the
// bytes of the target and the data files afterwards, in both directions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

constexpr size_t kTargetSize = 100;

struct DataFile {
  std::string name;
  std::string bytes;
};

// The patch list of a 100-byte target: the size line, then the entries' lines, each ended by LF.
std::string ListFor(const std::vector<std::string>& entry_lines) {
  std::string list = "100\n";
  for (const std::string& line : entry_lines) list += line + "\n";
  return list;
}

std::vector<std::string> FolderEntries(const Scratch& scratch) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(scratch.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> SortedNames(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// --- Forward -----------------------------------------------------------------------------------

// A data file whose content must stand in the target at the offset afterwards.
struct Placed {
  int64_t offset;
  std::string data_file;
};

struct ForwardRow {
  const char* name;
  std::vector<std::string> entry_lines;
  std::vector<DataFile> data_files;
  std::vector<std::string> lines;
  std::vector<Placed> placed;
};

// Rows show as their names in test output.
void PrintTo(const ForwardRow& row, std::ostream* out) { *out << row.name; }

class ForwardEntryRows : public ::testing::TestWithParam<ForwardRow> {};

TEST_P(ForwardEntryRows, PatchOnlyTheirOwnRangeAndReportIt) {
  const ForwardRow& row = GetParam();
  Scratch scratch;
  const std::string before = DistinctBytes(kTargetSize, 1);
  scratch.Write("target.bin", before);
  scratch.Write("list.txt", ListFor(row.entry_lines));
  std::vector<std::string> expected_names = {"target.bin", "list.txt"};
  for (const DataFile& file : row.data_files) {
    scratch.Write(file.name, file.bytes);
    expected_names.push_back(file.name);
  }

  const Outcome outcome = RunProgram(scratch, {.arguments = {"target.bin", "list.txt"}});

  EXPECT_EQ(outcome.output, Lines(row.lines));
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.exit_status, 0);
  const std::string after = scratch.Read("target.bin");
  std::vector<ByteRange> ranges;
  for (const Placed& placed : row.placed) {
    const std::string bytes = scratch.Read(placed.data_file);
    ranges.push_back({placed.offset, static_cast<int64_t>(bytes.size())});
    EXPECT_EQ(after.substr(static_cast<size_t>(placed.offset), bytes.size()), bytes)
        << placed.data_file << " at " << placed.offset;
  }
  ExpectUnchangedOutside(before, after, ranges);
  for (const DataFile& file : row.data_files) EXPECT_EQ(scratch.Read(file.name), file.bytes);
  EXPECT_EQ(FolderEntries(scratch), SortedNames(expected_names)) << "files were made or removed";
}

const std::vector<DataFile> kUsualFiles = {
    {"empty.bin", ""}, {"one.bin", "1"}, {"ten.bin", "0123456789"}, {"fix.bin", "ABCD"}};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ForwardEntryRows,
    ::testing::Values(
        ForwardRow{"EmptyFileAtTheTargetsEnd",
                   {"100", "empty.bin"},
                   kUsualFiles,
                   {"SKIP: offset 100; bytes: 0", "Successfully patched!"}},
        ForwardRow{"EmptyFileOnePastTheEnd",
                   {"101", "empty.bin"},
                   kUsualFiles,
                   {"ERROR: an offset too big!", "Wrong patch."}},
        ForwardRow{"EndsAtTheLastByte",
                   {"90", "ten.bin"},
                   kUsualFiles,
                   {"OK: Patched at offset 90; bytes: 10", "Successfully patched!"},
                   {{90, "ten.bin"}}},
        ForwardRow{"EndsOneBytePastTheEnd",
                   {"91", "ten.bin"},
                   kUsualFiles,
                   {"ERROR: an offset too big!", "Wrong patch."}},
        ForwardRow{
            "LargestOffsetAndTheRunGoesOn",
            {"9223372036854775807", "one.bin", "3", "fix.bin"},
            kUsualFiles,
            {"ERROR: an offset too big!", "OK: Patched at offset 3; bytes: 4", "Wrong patch."},
            {{3, "fix.bin"}}},
        ForwardRow{"OneByteAtTheLastByte",
                   {"99", "one.bin"},
                   kUsualFiles,
                   {"OK: Patched at offset 99; bytes: 1", "Successfully patched!"},
                   {{99, "one.bin"}}},
        ForwardRow{"AtOffsetZero",
                   {"0", "fix.bin"},
                   kUsualFiles,
                   {"OK: Patched at offset 0; bytes: 4", "Successfully patched!"},
                   {{0, "fix.bin"}}},
        ForwardRow{"OffsetShownAsItsParsedValue",
                   {"0x10", "ten.bin", "  007", "one.bin"},
                   kUsualFiles,
                   {"OK: Patched at offset 16; bytes: 10", "OK: Patched at offset 7; bytes: 1",
                    "Successfully patched!"},
                   {{16, "ten.bin"}, {7, "one.bin"}}},
        ForwardRow{"NegativeOffsetAbsentFile",
                   {"-5", "absent.bin"},
                   kUsualFiles,
                   {"Successfully patched!"}},
        ForwardRow{
            "NegativeOffsetPresentFile", {"-1", "fix.bin"}, kUsualFiles, {"Successfully patched!"}},
        ForwardRow{"UnparsableOffsetAbsentFile",
                   {"abc", "absent.bin"},
                   kUsualFiles,
                   {"Successfully patched!"}},
        ForwardRow{"AbsentDataFile",
                   {"0", "absent.bin"},
                   kUsualFiles,
                   {"ERROR: a data file does not exist!", "Wrong patch."}},
        ForwardRow{"EmptyName",
                   {"0", ""},
                   kUsualFiles,
                   {"ERROR: a data file does not exist!", "Wrong patch."}},
        ForwardRow{"FolderAsName",
                   {"0", "."},
                   kUsualFiles,
                   {"ERROR: a data file does not exist!", "Wrong patch."}},
        ForwardRow{"NameTakenByteForByte",
                   {"0", "fix.bin ", "1", " fix.bin"},
                   kUsualFiles,
                   {"ERROR: a data file does not exist!", "ERROR: a data file does not exist!",
                    "Wrong patch."}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

// --- Reverse -----------------------------------------------------------------------------------

// A data file that must hold the target's bytes from the offset afterwards, as many as it held.
struct Taken {
  std::string data_file;
  int64_t offset;
};

struct ReverseRow {
  const char* name;
  std::vector<std::string> entry_lines;
  std::vector<DataFile> data_files;
  std::vector<std::string> lines;  // after "Reverse patching!"
  std::vector<Taken> taken;
  std::vector<std::string> created;  // data files that must exist afterwards, empty
};

// Rows show as their names in test output.
void PrintTo(const ReverseRow& row, std::ostream* out) { *out << row.name; }

class ReverseEntryRows : public ::testing::TestWithParam<ReverseRow> {};

TEST_P(ReverseEntryRows, FillTheDataFilesAndLeaveTheTargetAlone) {
  const ReverseRow& row = GetParam();
  Scratch scratch;
  const std::string target = DistinctBytes(kTargetSize, 2);
  scratch.Write("target.bin", target);
  scratch.Write("list.txt", ListFor(row.entry_lines));
  fs::create_directory(scratch.path() / "folder");
  fs::create_symlink("nowhere.bin", scratch.path() / "dangling.bin");
  std::vector<std::string> expected_names = {"target.bin", "list.txt", "folder", "dangling.bin"};
  for (const DataFile& file : row.data_files) {
    scratch.Write(file.name, file.bytes);
    expected_names.push_back(file.name);
  }
  expected_names.insert(expected_names.end(), row.created.begin(), row.created.end());

  const Outcome outcome = RunProgram(scratch, {.arguments = {"target.bin", "list.txt", "reverse"}});

  std::vector<std::string> lines = {"Reverse patching!"};
  lines.insert(lines.end(), row.lines.begin(), row.lines.end());
  EXPECT_EQ(outcome.output, Lines(lines));
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(scratch.Read("target.bin"), target);
  for (const DataFile& file : row.data_files) {
    const auto taken = std::find_if(row.taken.begin(), row.taken.end(),
                                    [&](const Taken& t) { return t.data_file == file.name; });
    const std::string expected =
        taken == row.taken.end()
            ? file.bytes
            : target.substr(static_cast<size_t>(taken->offset), file.bytes.size());
    EXPECT_EQ(scratch.Read(file.name), expected) << file.name;
  }
  for (const std::string& name : row.created) {
    EXPECT_TRUE(fs::is_regular_file(scratch.path() / name)) << name;
    EXPECT_EQ(scratch.Read(name), "") << name;
  }
  EXPECT_EQ(FolderEntries(scratch), SortedNames(expected_names)) << "files were made or removed";
}

const std::vector<DataFile> kReverseFiles = {
    {"empty.bin", ""}, {"three.bin", "xyz"}, {"ten.bin", "----------"}};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ReverseEntryRows,
    ::testing::Values(
        ReverseRow{"ThreeBytesAt16",
                   {"16", "three.bin"},
                   kReverseFiles,
                   {"OK: Patched at offset 16; bytes: 3", "Successfully patched!"},
                   {{"three.bin", 16}}},
        ReverseRow{"EndsAtTheLastByte",
                   {"90", "ten.bin"},
                   kReverseFiles,
                   {"OK: Patched at offset 90; bytes: 10", "Successfully patched!"},
                   {{"ten.bin", 90}}},
        ReverseRow{"EndsOneBytePastTheEnd",
                   {"91", "ten.bin"},
                   kReverseFiles,
                   {"ERROR: an offset too big!", "Wrong patch."}},
        ReverseRow{"EmptyFileStaysEmpty",
                   {"100", "empty.bin"},
                   kReverseFiles,
                   {"SKIP: offset 100; bytes: 0", "Successfully patched!"}},
        ReverseRow{"AbsentFileIsCreatedEmpty",
                   {"16", "new.bin", "0", "three.bin"},
                   kReverseFiles,
                   {"WARNING: new data file created (new.bin)", "OK: Patched at offset 0; bytes: 3",
                    "Successfully patched!"},
                   {{"three.bin", 0}},
                   {"new.bin"}},
        ReverseRow{"CreatedFileServesALaterEntry",
                   {"5", "new.bin", "5", "new.bin"},
                   kReverseFiles,
                   {"WARNING: new data file created (new.bin)", "SKIP: offset 5; bytes: 0",
                    "Successfully patched!"},
                   {},
                   {"new.bin"}},
        ReverseRow{"CreatedWhateverTheOffset",
                   {"5000", "new.bin"},
                   kReverseFiles,
                   {"WARNING: new data file created (new.bin)", "Successfully patched!"},
                   {},
                   {"new.bin"}},
        ReverseRow{"NegativeOffsetAbsentFile",
                   {"-5", "new.bin"},
                   kReverseFiles,
                   {"Successfully patched!"}},
        ReverseRow{"UnparsableOffsetAbsentFile",
                   {"abc", "new.bin"},
                   kReverseFiles,
                   {"Successfully patched!"}},
        ReverseRow{"EmptyName",
                   {"0", "", "0", "three.bin"},
                   kReverseFiles,
                   {"WARNING: new data file created ()", "FATAL ERROR!"}},
        ReverseRow{"MissingFolder",
                   {"0", "no-folder/new.bin", "0", "three.bin"},
                   kReverseFiles,
                   {"WARNING: new data file created (no-folder/new.bin)", "FATAL ERROR!"}},
        ReverseRow{"FolderAsName",
                   {"0", "folder", "0", "three.bin"},
                   kReverseFiles,
                   {"WARNING: new data file created (folder)", "FATAL ERROR!"}},
        ReverseRow{"DanglingLinkAsName",
                   {"0", "dangling.bin", "0", "three.bin"},
                   kReverseFiles,
                   {"WARNING: new data file created (dangling.bin)", "FATAL ERROR!"}},
        ReverseRow{"NameHoldingAZeroByte",
                   {"0", "new\0.bin"s, "0", "three.bin"},
                   kReverseFiles,
                   {"WARNING: new data file created (new\0.bin)"s, "FATAL ERROR!"}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(ReverseEntry, AnAbsentDataFileInAFolderIsCreatedThere) {
  Scratch scratch;
  scratch.Write("target.bin", DistinctBytes(kTargetSize, 3));
  scratch.Write("list.txt", ListFor({"0", "sub/new.bin"}));
  fs::create_directory(scratch.path() / "sub");
  const Outcome outcome = RunProgram(scratch, {.arguments = {"target.bin", "list.txt", "reverse"}});
  EXPECT_EQ(outcome.output,
            Lines({"Reverse patching!", "WARNING: new data file created (sub/new.bin)",
                   "Successfully patched!"}));
  EXPECT_TRUE(fs::is_regular_file(scratch.path() / "sub/new.bin"));
  EXPECT_EQ(scratch.Read("sub/new.bin"), "");
}

}  // namespace
}  // namespace tarnwick::e2e
