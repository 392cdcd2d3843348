// Binary files held for exclusive use: opening, creating, measuring, positioning and copying, on
// real files in a scratch folder.

#include "engine/binary_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/failure.h"
#include "platform/syscalls.h"
#include "tests/distinct_bytes.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-binary-file-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary | std::ios::trunc) << bytes;
    return *this / name;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  bool Exists(const std::string& name) const {
    std::error_code ignored;
    return fs::symlink_status(path_ / name, ignored).type() != fs::file_type::not_found;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

using test_support::DistinctBytes;

// Puts the system-call table back as it was, whatever a test changed in it.
class SyscallsRestored {
 public:
  SyscallsRestored() : saved_(platform::Syscalls()) {}
  ~SyscallsRestored() { platform::Syscalls() = saved_; }
  SyscallsRestored(const SyscallsRestored&) = delete;
  SyscallsRestored& operator=(const SyscallsRestored&) = delete;

 private:
  platform::SyscallTable saved_;
};

// One positional transfer as the system was asked for it.
struct Transfer {
  size_t count;
  off_t position;
  bool operator==(const Transfer&) const = default;
};

std::vector<Transfer> g_reads;
std::vector<Transfer> g_writes;

ssize_t RecordedPread(int fd, void* buffer, size_t n, off_t position) {
  g_reads.push_back({n, position});
  return platform::RealSyscalls().pread(fd, buffer, n, position);
}

ssize_t RecordedPwrite(int fd, const void* buffer, size_t n, off_t position) {
  g_writes.push_back({n, position});
  return platform::RealSyscalls().pwrite(fd, buffer, n, position);
}

void RecordTransfers() {
  g_reads.clear();
  g_writes.clear();
  platform::Syscalls().pread = RecordedPread;
  platform::Syscalls().pwrite = RecordedPwrite;
}

// Runs `work` in a child process; true when the child ended with status 0 within the time.
bool FinishesWithin(double seconds, const std::function<bool()>& work) {
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) _exit(work() ? 0 : 1);
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (static_cast<double>(now.tv_sec - start.tv_sec) +
            static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9 >
        seconds) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      return false;
    }
    usleep(2000);
  }
}

enum class Open { Read, ReadWrite };

BinaryFile OpenAs(Open access, const std::string& name) {
  return access == Open::Read ? BinaryFile::OpenForReading(name)
                              : BinaryFile::OpenForReadingAndWriting(name);
}

// --- Opening and creating ----------------------------------------------------------------------

TEST(BinaryFileOpen, ForReadingStartsAtZeroAndCanOnlyBeASource) {
  ScratchFolder scratch;
  const std::string source_name = scratch.Write("source.bin", "abcdef");
  const std::string other_name = scratch.Write("other.bin", "------");

  BinaryFile source = BinaryFile::OpenForReading(source_name);
  BinaryFile other = BinaryFile::OpenForReadingAndWriting(other_name);
  EXPECT_EQ(source.Position(), 0);
  CopyBytes(source, other, 6);
  EXPECT_EQ(scratch.Read("other.bin"), "abcdef");

  other.SeekFromStart(0);
  source.SeekFromStart(0);
  EXPECT_THROW(CopyBytes(other, source, 1), IoFailure);
  EXPECT_EQ(scratch.Read("source.bin"), "abcdef");
}

TEST(BinaryFileOpen, ForReadingAndWritingStartsAtZeroAndWorksBothWays) {
  ScratchFolder scratch;
  BinaryFile first = BinaryFile::OpenForReadingAndWriting(scratch.Write("first.bin", "12345"));
  BinaryFile second = BinaryFile::OpenForReadingAndWriting(scratch.Write("second.bin", "abcde"));
  EXPECT_EQ(first.Position(), 0);
  EXPECT_EQ(second.Position(), 0);

  second.SeekFromStart(3);
  CopyBytes(first, second, 2);  // "12" over "de"
  first.SeekFromStart(4);
  second.SeekFromStart(0);
  CopyBytes(second, first, 1);  // "a" over "5"
  EXPECT_EQ(scratch.Read("first.bin"), "1234a");
  EXPECT_EQ(scratch.Read("second.bin"), "abc12");
}

TEST(BinaryFileOpen, AnAbsentNameFailsAndIsNotCreated) {
  ScratchFolder scratch;
  EXPECT_THROW(BinaryFile::OpenForReading(scratch / "absent.bin"), IoFailure);
  EXPECT_THROW(BinaryFile::OpenForReadingAndWriting(scratch / "absent.bin"), IoFailure);
  EXPECT_THROW(BinaryFile::OpenForReading(scratch / "no-folder/absent.bin"), IoFailure);
  EXPECT_FALSE(scratch.Exists("absent.bin"));
}

TEST(BinaryFileCreate, MakesAnEmptyFileOpenForReadingAndWriting) {
  ScratchFolder scratch;
  BinaryFile created = BinaryFile::CreateEmpty(scratch / "new.bin");
  EXPECT_EQ(created.Position(), 0);
  EXPECT_EQ(created.Size(), 0);
  EXPECT_TRUE(fs::is_regular_file(scratch / "new.bin"));
  EXPECT_EQ(fs::file_size(scratch / "new.bin"), 0u);

  BinaryFile source = BinaryFile::OpenForReading(scratch.Write("source.bin", "xyz"));
  CopyBytes(source, created, 3);
  EXPECT_EQ(scratch.Read("new.bin"), "xyz");
  BinaryFile other = BinaryFile::OpenForReadingAndWriting(scratch.Write("other.bin", "---"));
  created.SeekFromStart(1);
  CopyBytes(created, other, 2);
  EXPECT_EQ(scratch.Read("other.bin"), "yz-");
}

TEST(BinaryFileCreate, FailsWhenTheNameExistsAndLeavesWhatIsThere) {
  ScratchFolder scratch;
  scratch.Write("present.bin", "keep me");
  fs::create_directory(scratch / "folder");
  fs::create_symlink(scratch / "nowhere.bin", scratch / "dangling.bin");

  EXPECT_THROW(BinaryFile::CreateEmpty(scratch / "present.bin"), IoFailure);
  EXPECT_EQ(scratch.Read("present.bin"), "keep me");
  EXPECT_THROW(BinaryFile::CreateEmpty(scratch / "folder"), IoFailure);
  EXPECT_TRUE(fs::is_directory(scratch / "folder"));
  // Following the link would create the file it points at.
  EXPECT_THROW(BinaryFile::CreateEmpty(scratch / "dangling.bin"), IoFailure);
  EXPECT_FALSE(scratch.Exists("nowhere.bin"));
  EXPECT_TRUE(fs::is_symlink(scratch / "dangling.bin"));
}

TEST(BinaryFileCreate, FailsInAFolderThatDoesNotExistOrForAnEmptyName) {
  ScratchFolder scratch;
  EXPECT_THROW(BinaryFile::CreateEmpty(scratch / "no-folder/new.bin"), IoFailure);
  EXPECT_FALSE(scratch.Exists("no-folder"));
  EXPECT_THROW(BinaryFile::CreateEmpty(""), IoFailure);
}

// --- Exclusive use -----------------------------------------------------------------------------

struct ExclusionRow {
  const char* name;
  const char* first_name;   // in the scratch folder
  const char* second_name;  // another name of the same file, or the same name
  Open first;
  Open second;
};

// Rows show as their names in test output.
void PrintTo(const ExclusionRow& row, std::ostream* out) { *out << row.name; }

class BinaryFileExclusion : public ::testing::TestWithParam<ExclusionRow> {};

TEST_P(BinaryFileExclusion, TheSecondOpenFailsUntilTheFirstIsClosed) {
  const ExclusionRow& row = GetParam();
  ScratchFolder scratch;
  scratch.Write("file.bin", "bytes");
  fs::create_hard_link(scratch / "file.bin", scratch / "hard-link.bin");
  fs::create_symlink(scratch / "file.bin", scratch / "symlink.bin");
  // "./file.bin" and "file.bin" resolve against the current folder.
  const fs::path previous_folder = fs::current_path();
  fs::current_path(scratch.path());

  {
    BinaryFile first = OpenAs(row.first, row.first_name);
    EXPECT_THROW(OpenAs(row.second, row.second_name), IoFailure);
    EXPECT_THROW(OpenAs(row.second, row.second_name), IoFailure) << "a failed open took the hold";
    first.Close();
    EXPECT_NO_THROW(OpenAs(row.second, row.second_name).Close());
  }
  {
    // Going out of scope releases the hold as closing does.
    BinaryFile first = OpenAs(row.first, row.first_name);
  }
  EXPECT_NO_THROW(OpenAs(row.second, row.second_name));

  fs::current_path(previous_folder);
  EXPECT_EQ(scratch.Read("file.bin"), "bytes");
}

INSTANTIATE_TEST_SUITE_P(
    Names, BinaryFileExclusion,
    ::testing::Values(
        ExclusionRow{"SameNameReadRead", "file.bin", "file.bin", Open::Read, Open::Read},
        ExclusionRow{"SameNameWriteRead", "file.bin", "file.bin", Open::ReadWrite, Open::Read},
        ExclusionRow{"SameNameReadWrite", "file.bin", "file.bin", Open::Read, Open::ReadWrite},
        ExclusionRow{"DotSlash", "file.bin", "./file.bin", Open::ReadWrite, Open::ReadWrite},
        ExclusionRow{"DotSlashFirst", "./file.bin", "file.bin", Open::Read, Open::Read},
        ExclusionRow{"HardLink", "file.bin", "hard-link.bin", Open::ReadWrite, Open::Read},
        ExclusionRow{"HardLinkFirst", "hard-link.bin", "file.bin", Open::Read, Open::ReadWrite},
        ExclusionRow{"SymbolicLink", "file.bin", "symlink.bin", Open::Read, Open::Read},
        ExclusionRow{"SymbolicLinkFirst", "symlink.bin", "file.bin", Open::ReadWrite,
                     Open::ReadWrite}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(BinaryFileExclusionOfCreated, ACreatedFileIsHeldUntilClosed) {
  ScratchFolder scratch;
  BinaryFile created = BinaryFile::CreateEmpty(scratch / "new.bin");
  EXPECT_THROW(BinaryFile::OpenForReading(scratch / "new.bin"), IoFailure);
  created.Close();
  EXPECT_NO_THROW(BinaryFile::OpenForReadingAndWriting(scratch / "new.bin"));
}

// --- Size and position -------------------------------------------------------------------------

TEST(BinaryFileSize, IsTheLengthOfARegularFileAndNeverMovesThePosition) {
  ScratchFolder scratch;
  BinaryFile file = BinaryFile::OpenForReading(scratch.Write("file.bin", DistinctBytes(12345, 1)));
  EXPECT_EQ(file.Size(), 12345);
  EXPECT_EQ(file.Position(), 0);
  file.SeekFromStart(7);
  EXPECT_EQ(file.Size(), 12345);
  EXPECT_EQ(file.Position(), 7);
  file.SeekFromStart(20000);
  EXPECT_EQ(file.Size(), 12345);
  EXPECT_EQ(file.Position(), 20000);

  BinaryFile empty = BinaryFile::OpenForReading(scratch.Write("empty.bin", ""));
  EXPECT_EQ(empty.Size(), 0);
}

TEST(BinaryFileSize, IsZeroForTheNullDeviceAndAFifo) {
  ScratchFolder scratch;
  BinaryFile null_device = BinaryFile::OpenForReading("/dev/null");
  EXPECT_EQ(null_device.Size(), 0);

  ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);
  // Holding both ends here keeps the open from depending on how the file layer opens a FIFO.
  const int both_ends = open((scratch / "fifo").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(both_ends, 0);
  ASSERT_EQ(write(both_ends, "queued", 6), 6);
  {
    BinaryFile fifo = BinaryFile::OpenForReading(scratch / "fifo");
    EXPECT_EQ(fifo.Size(), 0) << "bytes waiting in a FIFO are no length";
    EXPECT_EQ(fifo.Position(), 0);
  }
  close(both_ends);
}

TEST(BinaryFileSeek, BeyondTheEndChangesNothingInTheFile) {
  ScratchFolder scratch;
  const std::string bytes = DistinctBytes(10, 2);
  {
    BinaryFile file = BinaryFile::OpenForReadingAndWriting(scratch.Write("file.bin", bytes));
    for (const int64_t position :
         {int64_t{10}, int64_t{11}, int64_t{1} << 40, std::numeric_limits<int64_t>::max()}) {
      file.SeekFromStart(position);
      EXPECT_EQ(file.Position(), position);
      EXPECT_EQ(file.Size(), 10);
    }
  }
  EXPECT_EQ(fs::file_size(scratch / "file.bin"), 10u);
  EXPECT_EQ(scratch.Read("file.bin"), bytes);
}

// --- Copies ------------------------------------------------------------------------------------

TEST(BinaryFileCopy, MovesChunksOfAtMost61440BytesWithTheSameResultAsOneStep) {
  constexpr int64_t kCount = 2 * 61440 + 1;
  ScratchFolder scratch;
  const std::string source_bytes = DistinctBytes(kCount, 3);
  BinaryFile source = BinaryFile::OpenForReading(scratch.Write("source.bin", source_bytes));
  BinaryFile destination = BinaryFile::OpenForReadingAndWriting(
      scratch.Write("destination.bin", std::string(kCount, '-')));

  {
    SyscallsRestored restored;
    RecordTransfers();
    CopyBytes(source, destination, kCount);
  }
  const std::vector<Transfer> chunks = {{61440, 0}, {61440, 61440}, {1, 122880}};
  EXPECT_EQ(g_reads, chunks);
  EXPECT_EQ(g_writes, chunks);
  EXPECT_EQ(source.Position(), kCount);
  EXPECT_EQ(destination.Position(), kCount);
  EXPECT_EQ(scratch.Read("destination.bin"), source_bytes);
}

TEST(BinaryFileCopy, StartsAtEachFilesOwnPositionAndLeavesTheRestAlone) {
  ScratchFolder scratch;
  const std::string source_bytes = DistinctBytes(100, 4);
  const std::string destination_bytes = DistinctBytes(70000, 5);
  BinaryFile source = BinaryFile::OpenForReading(scratch.Write("source.bin", source_bytes));
  BinaryFile destination =
      BinaryFile::OpenForReadingAndWriting(scratch.Write("destination.bin", destination_bytes));
  source.SeekFromStart(30);
  destination.SeekFromStart(65000);

  {
    SyscallsRestored restored;
    RecordTransfers();
    CopyBytes(source, destination, 50);
  }
  EXPECT_EQ(g_reads, (std::vector<Transfer>{{50, 30}}));
  EXPECT_EQ(g_writes, (std::vector<Transfer>{{50, 65000}}));
  EXPECT_EQ(source.Position(), 80);
  EXPECT_EQ(destination.Position(), 65050);
  std::string expected = destination_bytes;
  expected.replace(65000, 50, source_bytes.substr(30, 50));
  EXPECT_EQ(scratch.Read("destination.bin"), expected);
}

TEST(BinaryFileCopy, ASourceShorterThanAskedFailsAndKeepsTheChunksWritten) {
  ScratchFolder scratch;
  const std::string source_bytes = DistinctBytes(61440 + 5, 6);
  const std::string destination_bytes(2 * 61440, '-');
  BinaryFile source = BinaryFile::OpenForReading(scratch.Write("source.bin", source_bytes));
  BinaryFile destination =
      BinaryFile::OpenForReadingAndWriting(scratch.Write("destination.bin", destination_bytes));

  EXPECT_THROW(CopyBytes(source, destination, 2 * 61440), IoFailure);
  const std::string after = scratch.Read("destination.bin");
  EXPECT_EQ(after.size(), destination_bytes.size());
  EXPECT_EQ(after.substr(0, 61440), source_bytes.substr(0, 61440));
  EXPECT_EQ(after.substr(61440), destination_bytes.substr(61440));
}

TEST(BinaryFileCopy, FromAPositionBeyondTheEndFails) {
  ScratchFolder scratch;
  BinaryFile source = BinaryFile::OpenForReading(scratch.Write("source.bin", "abc"));
  BinaryFile destination =
      BinaryFile::OpenForReadingAndWriting(scratch.Write("destination.bin", "xyz"));
  source.SeekFromStart(3);
  EXPECT_THROW(CopyBytes(source, destination, 1), IoFailure);
  EXPECT_EQ(scratch.Read("destination.bin"), "xyz");
}

// The system may move fewer bytes than asked, or be interrupted; the copy goes on until every
// byte has moved.
int g_interruptions_left = 0;

ssize_t InterruptedThenPartialPread(int fd, void* buffer, size_t n, off_t position) {
  if (g_interruptions_left > 0) {
    --g_interruptions_left;
    errno = EINTR;
    return -1;
  }
  return platform::RealSyscalls().pread(fd, buffer, std::min<size_t>(n, 1000), position);
}

ssize_t InterruptedThenPartialPwrite(int fd, const void* buffer, size_t n, off_t position) {
  if (g_interruptions_left > 0) {
    --g_interruptions_left;
    errno = EINTR;
    return -1;
  }
  return platform::RealSyscalls().pwrite(fd, buffer, std::min<size_t>(n, 777), position);
}

TEST(BinaryFileCopy, GoesOnAfterInterruptionsAndPartialTransfers) {
  constexpr int64_t kCount = 61440 + 4321;
  ScratchFolder scratch;
  const std::string source_bytes = DistinctBytes(kCount, 7);
  BinaryFile source = BinaryFile::OpenForReading(scratch.Write("source.bin", source_bytes));
  BinaryFile destination = BinaryFile::OpenForReadingAndWriting(
      scratch.Write("destination.bin", std::string(kCount, '-')));
  {
    SyscallsRestored restored;
    g_interruptions_left = 3;
    platform::Syscalls().pread = InterruptedThenPartialPread;
    platform::Syscalls().pwrite = InterruptedThenPartialPwrite;
    CopyBytes(source, destination, kCount);
  }
  EXPECT_EQ(scratch.Read("destination.bin"), source_bytes);
  EXPECT_EQ(destination.Position(), kCount);
}

ssize_t FullDiskPwrite(int, const void*, size_t, off_t) {
  errno = ENOSPC;
  return -1;
}

TEST(BinaryFileCopy, AWriteThatFailsRaisesTheSystemsError) {
  ScratchFolder scratch;
  BinaryFile source = BinaryFile::OpenForReading(scratch.Write("source.bin", "abc"));
  BinaryFile destination =
      BinaryFile::OpenForReadingAndWriting(scratch.Write("destination.bin", "xyz"));
  SyscallsRestored restored;
  platform::Syscalls().pwrite = FullDiskPwrite;
  try {
    CopyBytes(source, destination, 3);
    ADD_FAILURE() << "the copy went through";
  } catch (const IoFailure& failure) {
    EXPECT_EQ(failure.code(), ENOSPC);
  }
}

// --- Special files -----------------------------------------------------------------------------

TEST(BinaryFileFifo, OpeningAFifoThatNobodyWritesNeverWaits) {
  ScratchFolder scratch;
  const std::string fifo = scratch / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(FinishesWithin(5, [&] {
    BinaryFile opened = BinaryFile::OpenForReading(fifo);
    return opened.Size() == 0;
  })) << "open for reading";
  EXPECT_TRUE(FinishesWithin(5, [&] {
    BinaryFile opened = BinaryFile::OpenForReadingAndWriting(fifo);
    return opened.Size() == 0;
  })) << "open for reading and writing";
}

}  // namespace
}  // namespace tarnwick
