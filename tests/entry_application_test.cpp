// One patch entry against an open target: which outcome each offset and data file give, the one
// line about it, what moves between the files, and what a failure leaves behind.

#include "engine/entry_application.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/console.h"
#include "app/failure.h"
#include "engine/binary_file.h"
#include "platform/syscalls.h"
#include "tests/distinct_bytes.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kLargestOffset = std::numeric_limits<int64_t>::max();
constexpr int64_t kTargetSize = 100;

using test_support::DistinctBytes;

// What the test sees of the system: the bytes written to standard output and the positional
// transfers asked for.
std::string g_output;
int g_reads = 0;
int g_writes = 0;
int g_writes_before_disk_full = -1;  // below 0: the disk never fills

ssize_t CapturedWrite(int fd, const void* bytes, size_t n) {
  if (fd != 1) return platform::RealSyscalls().write(fd, bytes, n);
  g_output.append(static_cast<const char*>(bytes), n);
  return static_cast<ssize_t>(n);
}

ssize_t CountedPread(int fd, void* buffer, size_t n, off_t position) {
  ++g_reads;
  return platform::RealSyscalls().pread(fd, buffer, n, position);
}

ssize_t CountedPwrite(int fd, const void* buffer, size_t n, off_t position) {
  if (g_writes_before_disk_full >= 0 && g_writes >= g_writes_before_disk_full) {
    errno = ENOSPC;
    return -1;
  }
  ++g_writes;
  return platform::RealSyscalls().pwrite(fd, buffer, n, position);
}

// Each case runs in a scratch folder of its own, made the current folder, so that data file names
// are relative as in a patch list, with the system-call table watched and put back afterwards.
class EntryApplication : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-entry-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    scratch_ = pattern;
    previous_folder_ = fs::current_path();
    fs::current_path(scratch_);
    saved_syscalls_ = platform::Syscalls();
    g_output.clear();
    g_reads = g_writes = 0;
    g_writes_before_disk_full = -1;
    platform::Syscalls().write = CapturedWrite;
    platform::Syscalls().pread = CountedPread;
    platform::Syscalls().pwrite = CountedPwrite;
    ResetStandardOutputForTesting();
  }

  void TearDown() override {
    ResetStandardOutputForTesting();
    platform::Syscalls() = saved_syscalls_;
    fs::current_path(previous_folder_);
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  static void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
  }

  static std::string Read(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  static bool Exists(const std::string& name) {
    std::error_code ignored;
    return fs::symlink_status(name, ignored).type() != fs::file_type::not_found;
  }

  static BinaryFile OpenTarget(PatchMode mode) {
    return mode == PatchMode::Forward ? BinaryFile::OpenForReadingAndWriting("target.bin")
                                      : BinaryFile::OpenForReading("target.bin");
  }

  // Everything written to standard output so far, held bytes included.
  static std::string Output() {
    HandOverHeldOutput();
    return g_output;
  }

 private:
  fs::path scratch_;
  fs::path previous_folder_;
  platform::SyscallTable saved_syscalls_;
};

// --- The outcomes ------------------------------------------------------------------------------

enum class Moved { Nothing, DataIntoTarget, TargetIntoData, DataFileCreated };

constexpr int64_t kAbsent = -1;

struct OutcomeRow {
  const char* name;
  PatchMode mode;
  int64_t offset;
  int64_t data_size;  // the data file's length, or kAbsent
  const char* line;   // the one line about the entry, or nullptr for none
  bool flag_after;
  Moved moved;
  bool flag_before = false;
};

// Rows show as their names in test output.
void PrintTo(const OutcomeRow& row, std::ostream* out) { *out << row.name; }

class EntryOutcomes : public EntryApplication, public ::testing::WithParamInterface<OutcomeRow> {};

TEST_P(EntryOutcomes, GiveTheirLineFlagAndBytes) {
  const OutcomeRow& row = GetParam();
  const std::string target_bytes = DistinctBytes(kTargetSize, 1);
  Write("target.bin", target_bytes);
  const std::string data_bytes =
      row.data_size == kAbsent ? "" : DistinctBytes(static_cast<size_t>(row.data_size), 2);
  if (row.data_size != kAbsent) Write("data.bin", data_bytes);

  BinaryFile target = OpenTarget(row.mode);
  bool any_entry_failed = row.flag_before;
  ApplyEntry(row.offset, "data.bin", row.mode, target, any_entry_failed);
  target.Close();

  EXPECT_EQ(Output(), row.line == nullptr ? "" : std::string(row.line) + "\r\n");
  EXPECT_EQ(any_entry_failed, row.flag_after);

  std::string expected_target = target_bytes;
  if (row.moved == Moved::DataIntoTarget) {
    expected_target.replace(static_cast<size_t>(row.offset), data_bytes.size(), data_bytes);
  }
  EXPECT_EQ(Read("target.bin"), expected_target);

  if (row.data_size == kAbsent && row.moved != Moved::DataFileCreated) {
    EXPECT_FALSE(Exists("data.bin")) << "no data file is made for this entry";
  } else if (row.moved == Moved::DataFileCreated) {
    ASSERT_TRUE(fs::is_regular_file("data.bin"));
    EXPECT_EQ(fs::file_size("data.bin"), 0u);
  } else if (row.moved == Moved::TargetIntoData) {
    EXPECT_EQ(Read("data.bin"),
              target_bytes.substr(static_cast<size_t>(row.offset), data_bytes.size()));
  } else {
    EXPECT_EQ(Read("data.bin"), data_bytes);
  }
  if (row.moved != Moved::DataIntoTarget && row.moved != Moved::TargetIntoData) {
    EXPECT_EQ(g_reads + g_writes, 0) << "bytes moved for an entry that moves none";
  }
  if (Exists("data.bin")) {
    EXPECT_NO_THROW(BinaryFile::OpenForReadingAndWriting("data.bin"))
        << "the data file is still held";
  }
}

constexpr PatchMode kForward = PatchMode::Forward;
constexpr PatchMode kReverse = PatchMode::Reverse;
constexpr const char* kTooBig = "ERROR: an offset too big!";

INSTANTIATE_TEST_SUITE_P(
    Forward, EntryOutcomes,
    ::testing::Values(
        OutcomeRow{"NegativeOffsetAbsentFile", kForward, -1, kAbsent, nullptr, false,
                   Moved::Nothing},
        OutcomeRow{"LowestOffsetPresentFile", kForward, std::numeric_limits<int64_t>::min(), 4,
                   nullptr, false, Moved::Nothing},
        OutcomeRow{"AbsentFile", kForward, 0, kAbsent, "ERROR: a data file does not exist!", true,
                   Moved::Nothing},
        OutcomeRow{"EmptyFileAtTheStart", kForward, 0, 0, "SKIP: offset 0; bytes: 0", false,
                   Moved::Nothing},
        OutcomeRow{"EmptyFileAtTheEnd", kForward, 100, 0, "SKIP: offset 100; bytes: 0", false,
                   Moved::Nothing},
        OutcomeRow{"EmptyFilePastTheEnd", kForward, 101, 0, kTooBig, true, Moved::Nothing},
        OutcomeRow{"EndsAtTheLastByte", kForward, 90, 10, "OK: Patched at offset 90; bytes: 10",
                   false, Moved::DataIntoTarget},
        OutcomeRow{"EndsOneBytePast", kForward, 91, 10, kTooBig, true, Moved::Nothing},
        OutcomeRow{"WholeTarget", kForward, 0, 100, "OK: Patched at offset 0; bytes: 100", false,
                   Moved::DataIntoTarget},
        OutcomeRow{"LargerThanTheTarget", kForward, 0, 101, kTooBig, true, Moved::Nothing},
        OutcomeRow{"LargestOffsetOneByte", kForward, kLargestOffset, 1, kTooBig, true,
                   Moved::Nothing},
        OutcomeRow{"LargestOffsetEmptyFile", kForward, kLargestOffset, 0, kTooBig, true,
                   Moved::Nothing},
        OutcomeRow{"FlagStaysSetAfterAPatch", kForward, 5, 3, "OK: Patched at offset 5; bytes: 3",
                   true, Moved::DataIntoTarget, true},
        OutcomeRow{"FlagStaysSetAfterASkip", kForward, 5, 0, "SKIP: offset 5; bytes: 0", true,
                   Moved::Nothing, true}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Reverse, EntryOutcomes,
    ::testing::Values(
        OutcomeRow{"NegativeOffsetAbsentFile", kReverse, -1, kAbsent, nullptr, false,
                   Moved::Nothing},
        OutcomeRow{"NegativeOffsetPresentFile", kReverse, -100, 3, nullptr, false, Moved::Nothing},
        OutcomeRow{"AbsentFileIsCreatedEmpty", kReverse, 0, kAbsent,
                   "WARNING: new data file created (data.bin)", false, Moved::DataFileCreated},
        OutcomeRow{"AbsentFilePastTheEndIsCreatedToo", kReverse, 500, kAbsent,
                   "WARNING: new data file created (data.bin)", false, Moved::DataFileCreated},
        OutcomeRow{"ThreeBytesAt16", kReverse, 16, 3, "OK: Patched at offset 16; bytes: 3", false,
                   Moved::TargetIntoData},
        OutcomeRow{"EndsAtTheLastByte", kReverse, 90, 10, "OK: Patched at offset 90; bytes: 10",
                   false, Moved::TargetIntoData},
        OutcomeRow{"EndsOneBytePast", kReverse, 91, 10, kTooBig, true, Moved::Nothing},
        OutcomeRow{"EmptyFileStaysEmpty", kReverse, 100, 0, "SKIP: offset 100; bytes: 0", false,
                   Moved::Nothing},
        OutcomeRow{"EmptyFilePastTheEnd", kReverse, 101, 0, kTooBig, true, Moved::Nothing},
        OutcomeRow{"LargestOffsetOneByte", kReverse, kLargestOffset, 1, kTooBig, true,
                   Moved::Nothing},
        OutcomeRow{"FlagStaysSet", kReverse, 0, 1, "OK: Patched at offset 0; bytes: 1", true,
                   Moved::TargetIntoData, true}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

// --- Failures ----------------------------------------------------------------------------------

struct HeldRow {
  const char* name;
  PatchMode mode;
};

// Rows show as their names in test output.
void PrintTo(const HeldRow& row, std::ostream* out) { *out << row.name; }

class EntryWithHeldDataFile : public EntryApplication,
                              public ::testing::WithParamInterface<HeldRow> {};

TEST_P(EntryWithHeldDataFile, FailsWithoutALineAndChangesNothing) {
  const PatchMode mode = GetParam().mode;
  const std::string target_bytes = DistinctBytes(kTargetSize, 3);
  Write("target.bin", target_bytes);
  Write("data.bin", "abc");
  BinaryFile target = OpenTarget(mode);
  const BinaryFile holder = BinaryFile::OpenForReading("data.bin");

  bool any_entry_failed = false;
  EXPECT_THROW(ApplyEntry(10, "data.bin", mode, target, any_entry_failed), IoFailure);
  // The target under a second name is held as well, by the run itself.
  EXPECT_THROW(ApplyEntry(10, "./target.bin", mode, target, any_entry_failed), IoFailure);
  EXPECT_EQ(Output(), "");
  EXPECT_FALSE(any_entry_failed);
  EXPECT_EQ(Read("target.bin"), target_bytes);
  EXPECT_EQ(Read("data.bin"), "abc");
}

INSTANTIATE_TEST_SUITE_P(Modes, EntryWithHeldDataFile,
                         ::testing::Values(HeldRow{"Forward", kForward},
                                           HeldRow{"Reverse", kReverse}),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

struct CreationRow {
  const char* name;
  const char* data_file_name;
};

// Rows show as their names in test output.
void PrintTo(const CreationRow& row, std::ostream* out) { *out << row.name; }

class ReverseCreationThatFails : public EntryApplication,
                                 public ::testing::WithParamInterface<CreationRow> {};

TEST_P(ReverseCreationThatFails, ShowsTheWarningLineFirst) {
  const CreationRow& row = GetParam();
  Write("target.bin", DistinctBytes(kTargetSize, 4));
  fs::create_directory("folder");
  fs::create_symlink("nowhere.bin", "dangling.bin");
  BinaryFile target = OpenTarget(kReverse);

  bool any_entry_failed = false;
  EXPECT_THROW(ApplyEntry(0, row.data_file_name, kReverse, target, any_entry_failed), IoFailure);
  EXPECT_EQ(Output(),
            "WARNING: new data file created (" + std::string(row.data_file_name) + ")\r\n");
  EXPECT_FALSE(any_entry_failed);
  EXPECT_FALSE(Exists("no-folder"));
  EXPECT_FALSE(Exists("nowhere.bin"));
  EXPECT_TRUE(fs::is_directory("folder"));
}

INSTANTIATE_TEST_SUITE_P(Names, ReverseCreationThatFails,
                         ::testing::Values(CreationRow{"EmptyName", ""},
                                           CreationRow{"MissingFolder", "no-folder/new.bin"},
                                           CreationRow{"Folder", "folder"},
                                           CreationRow{"DanglingLink", "dangling.bin"}),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

TEST_F(EntryApplication, AForwardCopyThatFailsKeepsTheChunksWrittenAndShowsNoLine) {
  const std::string target_bytes = DistinctBytes(3 * 61440, 5);
  const std::string data_bytes = DistinctBytes(2 * 61440, 6);
  Write("target.bin", target_bytes);
  Write("data.bin", data_bytes);
  BinaryFile target = OpenTarget(kForward);
  g_writes_before_disk_full = 1;

  bool any_entry_failed = false;
  EXPECT_THROW(ApplyEntry(1000, "data.bin", kForward, target, any_entry_failed), IoFailure);
  target.Close();
  EXPECT_EQ(Output(), "");
  EXPECT_FALSE(any_entry_failed);
  std::string expected = target_bytes;
  expected.replace(1000, 61440, data_bytes.substr(0, 61440));
  EXPECT_EQ(Read("target.bin"), expected);
  EXPECT_NO_THROW(BinaryFile::OpenForReading("data.bin")) << "the data file is still held";
}

TEST_F(EntryApplication, AReverseCopyThatFailsKeepsTheChunksWrittenAndShowsNoLine) {
  const std::string target_bytes = DistinctBytes(3 * 61440, 7);
  const std::string data_bytes = DistinctBytes(2 * 61440, 8);
  Write("target.bin", target_bytes);
  Write("data.bin", data_bytes);
  BinaryFile target = OpenTarget(kReverse);
  g_writes_before_disk_full = 1;

  bool any_entry_failed = false;
  EXPECT_THROW(ApplyEntry(1000, "data.bin", kReverse, target, any_entry_failed), IoFailure);
  target.Close();
  EXPECT_EQ(Output(), "");
  std::string expected = data_bytes;
  expected.replace(0, 61440, target_bytes.substr(1000, 61440));
  EXPECT_EQ(Read("data.bin"), expected);
  EXPECT_EQ(Read("target.bin"), target_bytes);
}

// --- Entries one after another -----------------------------------------------------------------

TEST_F(EntryApplication, EachEntryPositionsTheTargetAfreshAndReopensItsDataFile) {
  const std::string target_bytes = DistinctBytes(kTargetSize, 9);
  Write("target.bin", target_bytes);
  Write("data.bin", "abcd");
  BinaryFile target = OpenTarget(kForward);

  bool any_entry_failed = false;
  ApplyEntry(50, "data.bin", kForward, target, any_entry_failed);
  ApplyEntry(96, "data.bin", kForward, target, any_entry_failed);
  ApplyEntry(97, "data.bin", kForward, target, any_entry_failed);
  ApplyEntry(2, "data.bin", kForward, target, any_entry_failed);
  target.Close();

  EXPECT_EQ(Output(),
            "OK: Patched at offset 50; bytes: 4\r\nOK: Patched at offset 96; bytes: 4\r\n"
            "ERROR: an offset too big!\r\nOK: Patched at offset 2; bytes: 4\r\n");
  EXPECT_TRUE(any_entry_failed);
  std::string expected = target_bytes;
  expected.replace(50, 4, "abcd");
  expected.replace(96, 4, "abcd");
  expected.replace(2, 4, "abcd");
  EXPECT_EQ(Read("target.bin"), expected);
}

TEST_F(EntryApplication, ADataFileCreatedInReverseIsAnEmptyDataFileForTheNextEntry) {
  Write("target.bin", DistinctBytes(kTargetSize, 10));
  BinaryFile target = OpenTarget(kReverse);

  bool any_entry_failed = false;
  ApplyEntry(7, "new.bin", kReverse, target, any_entry_failed);
  ApplyEntry(7, "new.bin", kReverse, target, any_entry_failed);

  EXPECT_EQ(Output(), "WARNING: new data file created (new.bin)\r\nSKIP: offset 7; bytes: 0\r\n");
  EXPECT_FALSE(any_entry_failed);
  EXPECT_EQ(fs::file_size("new.bin"), 0u);
}

}  // namespace
}  // namespace tarnwick
