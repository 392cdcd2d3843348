// Files that are not small regular files: FIFOs named as targets or data files, a patch list that
// is a pipe, and a sparse target larger than 4 GiB.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

void MakeFifo(const Scratch& scratch, const std::string& name) {
  if (mkfifo((scratch / name).c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
}

// --- FIFOs as targets and data files -----------------------------------------------------------

struct FifoRow {
  const char* name;
  std::vector<std::string> arguments;
  std::string list;
  std::vector<std::string> lines;
};

// Rows show as their names in test output.
void PrintTo(const FifoRow& row, std::ostream* out) { *out << row.name; }

class FifoRows : public ::testing::TestWithParam<FifoRow> {};

TEST_P(FifoRows, NeverMakeTheRunWait) {
  const FifoRow& row = GetParam();
  Scratch scratch;
  MakeFifo(scratch, "fifo");
  const std::string target = DistinctBytes(100, 1);
  scratch.Write("target.bin", target);
  scratch.Write("list.txt", row.list);
  scratch.Write("empty.bin", "");
  scratch.Write("fix.bin", "ABCD");

  const Outcome outcome = RunProgram(scratch, {.arguments = row.arguments, .timeout_seconds = 5});

  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.output, Lines(row.lines));
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(scratch.Read("target.bin"), target);
  EXPECT_EQ(scratch.Read("fix.bin"), "ABCD");
  EXPECT_EQ(fs::status(scratch.path() / "fifo").type(), fs::file_type::fifo);
}

INSTANTIATE_TEST_SUITE_P(
    Fifos, FifoRows,
    ::testing::Values(
        FifoRow{"DataFileForward",
                {"target.bin", "list.txt"},
                "100\n10\nfifo\n",
                {"SKIP: offset 10; bytes: 0", "Successfully patched!"}},
        FifoRow{"DataFileReverse",
                {"target.bin", "list.txt", "reverse"},
                "100\n100\nfifo\n",
                {"Reverse patching!", "SKIP: offset 100; bytes: 0", "Successfully patched!"}},
        FifoRow{"DataFilePastTheEnd",
                {"target.bin", "list.txt"},
                "100\n101\nfifo\n",
                {"ERROR: an offset too big!", "Wrong patch."}},
        FifoRow{"TargetReverse",
                {"fifo", "list.txt", "reverse"},
                "0\n0\nempty.bin\n0\nfix.bin\n",
                {"Reverse patching!", "SKIP: offset 0; bytes: 0", "ERROR: an offset too big!",
                 "Wrong patch."}},
        FifoRow{"TargetForward",
                {"fifo", "list.txt"},
                "0\n0\nempty.bin\n0\nfix.bin\n",
                {"SKIP: offset 0; bytes: 0", "ERROR: an offset too big!", "Wrong patch."}},
        FifoRow{
            "TargetOfAnotherSize",
            {"fifo", "list.txt", "reverse"},
            "100\n0\nfix.bin\n",
            {"Reverse patching!", "Size of target file is different from size described in TXT!"}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

// --- A patch list that is a pipe ---------------------------------------------------------------

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A child process that writes a FIFO as `make-list > FIFO` would: it has the first bytes queued
// before any reader comes, sends the rest once a reader has the FIFO open, and then closes its
// end. A reader that opens it thus meets a writer and must read on until that writer closes.
class FifoWriter {
 public:
  FifoWriter(const std::string& fifo, const std::string& first, const std::string& rest) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      close(ready[0]);
      _exit(WriteFifo(fifo, first, rest, ready[1]) ? 0 : 1);
    }
    close(ready[1]);
    char byte = 0;
    const bool queued = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!queued) throw std::runtime_error("the FIFO writer did not start");
  }
  ~FifoWriter() {
    if (pid_ <= 0) return;  // already waited for
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  FifoWriter(const FifoWriter&) = delete;
  FifoWriter& operator=(const FifoWriter&) = delete;

  // Whether the writer sent everything and closed; waits for it.
  bool Finished() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return false;
    pid_ = 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  // In the child. Opening for reading and writing never waits; holding that end while the write
  // end is opened keeps the queued bytes alive once it is let go.
  static bool WriteFifo(const std::string& fifo, const std::string& first, const std::string& rest,
                        int ready) {
    signal(SIGPIPE, SIG_IGN);
    const int both = open(fifo.c_str(), O_RDWR);
    if (both < 0 || !WriteAll(both, first)) return false;
    const int writer = open(fifo.c_str(), O_WRONLY);
    if (writer < 0) return false;
    close(both);
    if (write(ready, "x", 1) != 1) return false;
    // With no reader, the write end polls as an error.
    const double deadline = Now() + 10;
    for (;;) {
      pollfd request = {.fd = writer, .events = POLLOUT, .revents = 0};
      if (poll(&request, 1, 0) == 1 && (request.revents & POLLERR) == 0) break;
      if (Now() > deadline) return false;
      usleep(1000);
    }
    usleep(20000);  // let the reader drain what was queued and wait for more
    const bool sent = WriteAll(writer, rest);
    close(writer);
    return sent;
  }

  pid_t pid_;
};

TEST(PipeAsPatchList, IsReadToItsEnd) {
  Scratch scratch;
  MakeFifo(scratch, "list.fifo");
  const std::string target = DistinctBytes(100, 2);
  scratch.Write("target.bin", target);
  scratch.Write("fix.bin", "ABCD");
  // Far more than one read of the list: the entries that matter come last, after the pause.
  std::string first = "100\n3\nfix.bin\n";
  for (int i = 0; i < 40; ++i) first += "-1\nnothing.bin\n";
  const std::string rest = "-2\nnothing.bin\n96\nfix.bin\n0x30\nfix.bin\n";
  FifoWriter writer(scratch / "list.fifo", first, rest);

  const Outcome outcome =
      RunProgram(scratch, {.arguments = {"target.bin", "list.fifo"}, .timeout_seconds = 10});

  EXPECT_FALSE(outcome.timed_out);
  EXPECT_TRUE(writer.Finished());
  EXPECT_EQ(outcome.output,
            Lines({"OK: Patched at offset 3; bytes: 4", "OK: Patched at offset 96; bytes: 4",
                   "OK: Patched at offset 48; bytes: 4", "Successfully patched!"}));
  EXPECT_EQ(outcome.exit_status, 0);
  const std::string after = scratch.Read("target.bin");
  ExpectUnchangedOutside(target, after, {{3, 4}, {96, 4}, {48, 4}});
  EXPECT_EQ(after.substr(3, 4), "ABCD");
  EXPECT_EQ(after.substr(96, 4), "ABCD");
  EXPECT_EQ(after.substr(48, 4), "ABCD");
}

// --- A sparse target larger than 4 GiB ---------------------------------------------------------

constexpr int64_t kLargeSize = int64_t{5} << 30;
constexpr int64_t kPastFourGiB = (int64_t{4} << 30) + 12345;

std::string ReadRange(const std::string& name, int64_t offset, size_t n) {
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("open failed");
  std::string bytes(n, '\0');
  const ssize_t got = pread(fd, bytes.data(), n, static_cast<off_t>(offset));
  close(fd);
  bytes.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return bytes;
}

void WriteRange(const std::string& name, int64_t offset, const std::string& bytes) {
  const int fd = open(name.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("open failed");
  const ssize_t put = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
  close(fd);
  if (put != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("pwrite failed");
}

struct FileSpace {
  int64_t size;
  int64_t allocated;  // bytes of storage the file takes
};

FileSpace SpaceOf(const std::string& name) {
  struct stat status;
  if (stat(name.c_str(), &status) != 0) throw std::runtime_error("stat failed");
  return {static_cast<int64_t>(status.st_size), static_cast<int64_t>(status.st_blocks) * 512};
}

// Allocation happens in whole blocks, and a file system may allocate a little ahead.
constexpr int64_t kAllocationSlack = int64_t{1} << 20;

class LargeSparseTarget : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = scratch_.Write("large.bin", "");
    fs::resize_file(target_, static_cast<uintmax_t>(kLargeSize));
    if (SpaceOf(target_).allocated > kAllocationSlack) {
      GTEST_SKIP() << "the scratch folder's file system does not keep files sparse";
    }
    scratch_.Write("list.txt", std::to_string(kLargeSize) + "\n" + std::to_string(kPastFourGiB) +
                                   "\nfix.bin\n");
  }

  Scratch scratch_;
  std::string target_;
  // Spans three copy steps.
  const std::string data_ = DistinctBytes(2 * 61440 + 1, 3);
};

TEST_F(LargeSparseTarget, IsPatchedPastFourGiBWithoutTouchingTheRest) {
  scratch_.Write("fix.bin", data_);
  const Outcome outcome = RunProgram(scratch_, {.arguments = {"large.bin", "list.txt"}});

  EXPECT_EQ(outcome.output, Lines({"OK: Patched at offset " + std::to_string(kPastFourGiB) +
                                       "; bytes: " + std::to_string(data_.size()),
                                   "Successfully patched!"}));
  const FileSpace space = SpaceOf(target_);
  EXPECT_EQ(space.size, kLargeSize);
  EXPECT_LT(space.allocated, static_cast<int64_t>(data_.size()) + kAllocationSlack);
  EXPECT_EQ(ReadRange(target_, kPastFourGiB, data_.size()), data_);
  EXPECT_EQ(ReadRange(target_, kPastFourGiB - 16, 16), std::string(16, '\0'));
  EXPECT_EQ(ReadRange(target_, kPastFourGiB + static_cast<int64_t>(data_.size()), 16),
            std::string(16, '\0'));
  // The same bytes 4 GiB lower, where a 32-bit offset would have put them, stay empty.
  EXPECT_EQ(ReadRange(target_, kPastFourGiB - (int64_t{1} << 32), 16), std::string(16, '\0'));
}

TEST_F(LargeSparseTarget, IsReadBackPastFourGiBWithoutTouchingTheRest) {
  WriteRange(target_, kPastFourGiB, data_);
  scratch_.Write("fix.bin", std::string(data_.size(), '-'));
  const Outcome outcome = RunProgram(scratch_, {.arguments = {"large.bin", "list.txt", "reverse"}});

  EXPECT_EQ(outcome.output, Lines({"Reverse patching!",
                                   "OK: Patched at offset " + std::to_string(kPastFourGiB) +
                                       "; bytes: " + std::to_string(data_.size()),
                                   "Successfully patched!"}));
  EXPECT_EQ(scratch_.Read("fix.bin"), data_);
  const FileSpace space = SpaceOf(target_);
  EXPECT_EQ(space.size, kLargeSize);
  EXPECT_LT(space.allocated, static_cast<int64_t>(data_.size()) + kAllocationSlack);
}

}  // namespace
}  // namespace tarnwick::e2e
