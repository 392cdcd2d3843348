// The patch list reader on real files in a scratch folder: the lines it yields as the patch run
// consumes them, the reads it makes, how it holds the file, and its failures.

#include "patchlist/patch_list_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/failure.h"
#include "platform/syscalls.h"

namespace tarnwick {
namespace {

constexpr size_t kMostBytesPerRead = 128;
constexpr char kCtrlZ = 26;

// A folder of its own for one test, removed with everything in it at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "patch-list-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "no scratch folder: " << errno;
    path_ = pattern;
  }
  ~ScratchFolder() { std::filesystem::remove_all(path_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::string Name(const std::string& file) const { return (path_ / file).string(); }

  std::string Write(const std::string& file, const std::string& bytes) const {
    const std::string name = Name(file);
    std::ofstream(name, std::ios::binary) << bytes;
    return name;
  }

 private:
  std::filesystem::path path_;
};

// What one read through the system-call table asked for and got.
struct ReadCall {
  size_t asked;
  ssize_t result;
  std::string bytes;  // the bytes delivered
};

struct SpyState {
  std::vector<ReadCall> reads;
  size_t failing_read = 0;  // 1-based; 0: none fails
  int read_error = 0;
  int close_error = 0;  // 0: closes succeed
};

SpyState g_spy;

ssize_t RecordingRead(int fd, void* buffer, size_t n) {
  if (g_spy.reads.size() + 1 == g_spy.failing_read) {
    g_spy.reads.push_back({n, -1, ""});
    errno = g_spy.read_error;
    return -1;
  }
  const ssize_t result = platform::RealSyscalls().read(fd, buffer, n);
  const int error = errno;
  const size_t delivered = result > 0 ? static_cast<size_t>(result) : 0;
  g_spy.reads.push_back({n, result, std::string(static_cast<const char*>(buffer), delivered)});
  errno = error;
  return result;
}

// The descriptor is released all the same, as on Linux a failed close still releases it.
int FailingClose(int fd) {
  platform::RealSyscalls().close(fd);
  errno = g_spy.close_error;
  return -1;
}

// Puts a recording read (and, on request, a failing read or close) into the system-call table
// for its lifetime, and the previous entries back after.
class SyscallSpy {
 public:
  SyscallSpy() : saved_(platform::Syscalls()) {
    g_spy = {};
    platform::Syscalls().read = RecordingRead;
  }
  ~SyscallSpy() { platform::Syscalls() = saved_; }
  SyscallSpy(const SyscallSpy&) = delete;
  SyscallSpy& operator=(const SyscallSpy&) = delete;

  void FailRead(size_t number, int error) {
    g_spy.failing_read = number;
    g_spy.read_error = error;
  }
  void FailClose(int error) {
    g_spy.close_error = error;
    platform::Syscalls().close = FailingClose;
  }
  const std::vector<ReadCall>& reads() const { return g_spy.reads; }

 private:
  platform::SyscallTable saved_;
};

// The reads stay within the data: none asks for more than the buffer holds, and none follows the
// read that delivered the first Ctrl-Z or the one that met the end of the file.
void ExpectReadsStayWithinTheData(const std::vector<ReadCall>& reads) {
  for (size_t i = 0; i < reads.size(); ++i) {
    SCOPED_TRACE("read " + std::to_string(i + 1) + " of " + std::to_string(reads.size()));
    EXPECT_LE(reads[i].asked, kMostBytesPerRead);
    if (i + 1 == reads.size()) break;
    EXPECT_EQ(reads[i].bytes.find(kCtrlZ), std::string::npos) << "read again after a Ctrl-Z";
    EXPECT_NE(reads[i].result, 0) << "read again after the end of the file";
  }
}

// The lines in the order the patch run takes them: the size line, then two lines for as long as
// the list is not at its end.
std::vector<std::string> ReadAsTheRunDoes(PatchListReader& reader) {
  std::vector<std::string> lines = {reader.NextLine()};
  while (!reader.AtEnd() && lines.size() < 100000) {
    lines.push_back(reader.NextLine());
    lines.push_back(reader.NextLine());
  }
  return lines;
}

// Once the data has ended it stays ended: empty lines, at its end, and no failure.
void ExpectTheEndStaysMet(PatchListReader& reader) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(reader.NextLine(), "");
    EXPECT_TRUE(reader.AtEnd());
  }
}

// --- Lines -----------------------------------------------------------------------------------

struct LinesRow {
  const char* name;
  std::string bytes;
  std::vector<std::string> lines;  // as the run consumes them
};

void PrintTo(const LinesRow& row, std::ostream* out) { *out << row.name; }

// A number line that fills the first read exactly (127 bytes) with its line end's CR as byte 128.
const std::string kPaddedSize = std::string(124, '0') + "256";

std::string Pattern(size_t length) {
  std::string text(length, '\0');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

std::vector<LinesRow> LinesRows() {
  const std::string kZ(1, kCtrlZ);
  const std::string k0(1, '\0');
  const std::string kBom = "\xEF\xBB\xBF";
  const std::string name1000 = Pattern(1000);
  const std::string name5000 = Pattern(5000);
  return {
      {"LineFeeds",
       "256\n16\nfix1.bin\n0x20\nfix2.bin\n",
       {"256", "16", "fix1.bin", "0x20", "fix2.bin"}},
      {"CarriageReturnLineFeeds",
       "256\r\n16\r\nfix1.bin\r\n0x20\r\nfix2.bin\r\n",
       {"256", "16", "fix1.bin", "0x20", "fix2.bin"}},
      {"MixedLineEnds",
       "256\r\n16\nfix1.bin\r\n0x20\nfix2.bin\r\n",
       {"256", "16", "fix1.bin", "0x20", "fix2.bin"}},
      {"CrCrLfEndsALine", "256\r\r\n16\r\r\nfix.bin\r\r\n", {"256", "16", "fix.bin"}},
      {"CrRunBeforeLf", "256\r\r\r\r\n16\nfix.bin\n", {"256", "16", "fix.bin"}},
      {"LoneCrDroppedInsideALine", "40\r96\n16\nf\rix.bin\n", {"4096", "16", "fix.bin"}},
      {"LoneCrDroppedAtLineStart", "256\n\r16\nfix.bin\n", {"256", "16", "fix.bin"}},
      {"CrAsLastByteDropped", "256\n16\nfix.bin\r", {"256", "16", "fix.bin"}},
      {"CrAtByte128WithItsLfAt129",
       kPaddedSize + "\r\n16\nfix.bin\n",
       {kPaddedSize, "16", "fix.bin"}},
      {"CrAtByte128BeforeAnotherByte",
       kPaddedSize + "\r9\n16\nfix.bin\n",
       {kPaddedSize + "9", "16", "fix.bin"}},
      {"CrAtByte128AsLastByte", kPaddedSize + "\r", {kPaddedSize}},
      {"CtrlZStartsTheFirstOffsetLine", "256\n" + kZ + "16\nfix.bin\n", {"256"}},
      {"CtrlZStartsALaterOffsetLine",
       "256\n16\nfix1.bin\n" + kZ + "32\nfix2.bin\n",
       {"256", "16", "fix1.bin"}},
      {"CtrlZInsideAnOffsetLine", "256\n1" + kZ + "6\nfix.bin\n32\nfix2.bin\n", {"256", "1", ""}},
      {"CtrlZInsideANameLine", "256\n16\nfi" + kZ + "x.bin\n32\nfix2.bin\n", {"256", "16", "fi"}},
      {"CtrlZInsideTheSizeLine", "2" + kZ + "56\n16\nfix.bin\n", {"2"}},
      {"CtrlZAsLastByte", "256\n16\nfix.bin\n" + kZ, {"256", "16", "fix.bin"}},
      {"CtrlZRightAfterALineText", "256\n16\nfix.bin" + kZ, {"256", "16", "fix.bin"}},
      {"CtrlZAfterALoneCr", "256\n16\nfix.bin\r" + kZ + "\n32\nb\n", {"256", "16", "fix.bin"}},
      {"CtrlZAsFirstByte", kZ + "256\n16\nfix.bin\n", {""}},
      {"CtrlZAsByte129", kPaddedSize + "\n" + kZ + "16\nfix.bin\n", {kPaddedSize}},
      {"NoLineEndAtTheEnd", "256\n16\nfix.bin", {"256", "16", "fix.bin"}},
      {"EmptyFile", "", {""}},
      {"OnlyTheSizeLine", "256", {"256"}},
      {"OnlyTheSizeLineWithLf", "256\n", {"256"}},
      {"OnlyTheSizeLineWithCrLf", "256\r\n", {"256"}},
      {"OffsetLineWithoutNameLine", "256\n16\n", {"256", "16", ""}},
      {"OffsetLineAtTheVeryEnd", "256\n16", {"256", "16", ""}},
      {"OneTrailingBlankLine", "256\n16\nfix.bin\n\n", {"256", "16", "fix.bin", "", ""}},
      {"ThreeTrailingBlankLines",
       "256\n16\nfix.bin\r\n\r\n\n\n",
       {"256", "16", "fix.bin", "", "", "", ""}},
      {"BlankLineBetweenEntriesShiftsThePairing",
       "256\n\n16\nfix.bin\n",
       {"256", "", "16", "fix.bin", ""}},
      {"BlankSizeLine", "\n16\nfix.bin\n", {"", "16", "fix.bin"}},
      {"ThousandByteName",
       "256\n16\n" + name1000 + "\r\n32\nb\n",
       {"256", "16", name1000, "32", "b"}},
      {"LineOfManyBuffers", "256\n16\n" + name5000, {"256", "16", name5000}},
      {"ByteZeroKept",
       "25" + k0 + "6\n1" + k0 + " 6\n" + k0 + "fix" + k0 + ".bin" + k0 + "\n",
       {"25" + k0 + "6", "1" + k0 + " 6", k0 + "fix" + k0 + ".bin" + k0}},
      {"Utf8ByteOrderMarkKept", kBom + "256\n16\nfix.bin\n", {kBom + "256", "16", "fix.bin"}},
      {"NameTakenByteForByte",
       "256\n16\n  \"fix 1.bin\"\t\x7f\xff \n",
       {"256", "16", "  \"fix 1.bin\"\t\x7f\xff "}},
  };
}

class ReaderLines : public ::testing::TestWithParam<LinesRow> {};

TEST_P(ReaderLines, YieldsTheLinesWithinTheData) {
  const LinesRow& row = GetParam();
  ScratchFolder scratch;
  const std::string list = scratch.Write("list.txt", row.bytes);
  SyscallSpy spy;
  PatchListReader reader;
  reader.OpenList(list);

  EXPECT_EQ(ReadAsTheRunDoes(reader), row.lines);
  ExpectTheEndStaysMet(reader);
  reader.CloseList();

  ExpectReadsStayWithinTheData(spy.reads());
  EXPECT_EQ(PendingIoCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lists, ReaderLines, ::testing::ValuesIn(LinesRows()),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

// --- Reads -----------------------------------------------------------------------------------

struct CtrlZRow {
  size_t position;  // 1-based position of the Ctrl-Z in the file
  size_t reads;     // the reads needed to reach it
};

void PrintTo(const CtrlZRow& row, std::ostream* out) { *out << "Ctrl-Z at byte " << row.position; }

class ReaderStopsAtCtrlZ : public ::testing::TestWithParam<CtrlZRow> {};

TEST_P(ReaderStopsAtCtrlZ, ReadsNothingBeyondIt) {
  const CtrlZRow& row = GetParam();
  std::string junk;
  while (junk.size() < 10 * 1024) junk += "0x20\nfix.bin\r\n";
  std::string before = "256\n16\n" + std::string(row.position, 'n');
  before.resize(row.position - 1);
  ScratchFolder scratch;
  const std::string list = scratch.Write("list.txt", before + kCtrlZ + junk);
  SyscallSpy spy;
  PatchListReader reader;
  reader.OpenList(list);

  ReadAsTheRunDoes(reader);
  ExpectTheEndStaysMet(reader);

  ASSERT_EQ(spy.reads().size(), row.reads);
  for (const ReadCall& read : spy.reads()) EXPECT_EQ(read.asked, kMostBytesPerRead);
  EXPECT_EQ(spy.reads().back().bytes.find(kCtrlZ), (row.position - 1) % kMostBytesPerRead);
  reader.CloseList();
}

INSTANTIATE_TEST_SUITE_P(Positions, ReaderStopsAtCtrlZ,
                         ::testing::Values(CtrlZRow{1, 1}, CtrlZRow{5, 1}, CtrlZRow{128, 1},
                                           CtrlZRow{129, 2}, CtrlZRow{300, 3}, CtrlZRow{1024, 8},
                                           CtrlZRow{1025, 9}));

// A list that is a pipe: its bytes arrive in pieces, at the writer's pace, until it closes.
struct PipeRow {
  const char* name;
  bool named;  // a FIFO in the scratch folder; otherwise an anonymous pipe reopened by its path
};

void PrintTo(const PipeRow& row, std::ostream* out) { *out << row.name; }

class ReaderOnAPipe : public ::testing::TestWithParam<PipeRow> {};

TEST_P(ReaderOnAPipe, ReadsItToItsEnd) {
  std::string bytes = "4096\r\n";
  std::vector<std::string> expected = {"4096"};
  for (int i = 0; i < 60; ++i) {
    bytes += std::to_string(i * 16) + "\ndata" + std::to_string(i) + ".bin\r\n";
    expected.push_back(std::to_string(i * 16));
    expected.push_back("data" + std::to_string(i) + ".bin");
  }
  bytes += "999\nlast.bin";
  expected.insert(expected.end(), {"999", "last.bin"});

  ScratchFolder scratch;
  std::string list;
  int feed = -1;
  int pipe_ends[2] = {-1, -1};
  if (GetParam().named) {
    list = scratch.Name("list.fifo");
    ASSERT_EQ(mkfifo(list.c_str(), 0600), 0);
    // Opened for reading and writing so that it does not wait for a reader, and so that a
    // writer exists before the list is read: the end comes only when the feed closes.
    feed = open(list.c_str(), O_RDWR | O_CLOEXEC);
  } else {
    ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
    feed = pipe_ends[1];
    list = "/proc/self/fd/" + std::to_string(pipe_ends[0]);
  }
  ASSERT_GE(feed, 0);

  SyscallSpy spy;
  PatchListReader reader;
  reader.OpenList(list);
  std::thread writer([&] {
    for (size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 3 % 257 + 1) {
      const size_t n = std::min(piece, bytes.size() - at);
      EXPECT_EQ(write(feed, bytes.data() + at, n), static_cast<ssize_t>(n));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(feed);
  });
  const std::vector<std::string> lines = ReadAsTheRunDoes(reader);
  writer.join();
  EXPECT_EQ(lines, expected);
  ExpectTheEndStaysMet(reader);
  reader.CloseList();
  if (pipe_ends[0] >= 0) close(pipe_ends[0]);

  for (const ReadCall& read : spy.reads()) EXPECT_LE(read.asked, kMostBytesPerRead);
  EXPECT_EQ(PendingIoCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Pipes, ReaderOnAPipe,
                         ::testing::Values(PipeRow{"Fifo", true}, PipeRow{"AnonymousPipe", false}),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

// --- Opening and holding ---------------------------------------------------------------------

TEST(ReaderOpen, AbsentListIsFileNotFound) {
  ScratchFolder scratch;
  PatchListReader reader;
  try {
    reader.OpenList(scratch.Name("absent.txt"));
    ADD_FAILURE() << "opened an absent list";
  } catch (const IoFailure& failure) {
    EXPECT_EQ(failure.code(), ENOENT);
    EXPECT_EQ(failure.message(), "File not found");
  }
  EXPECT_EQ(PendingIoCode(), 0);
  EXPECT_FALSE(std::filesystem::exists(scratch.Name("absent.txt")));
}

TEST(ReaderOpen, FailsWhileAnotherOpenHoldsTheListExclusively) {
  ScratchFolder scratch;
  const std::string list = scratch.Write("list.txt", "256\n");
  const int holder = open(list.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  PatchListReader reader;
  try {
    reader.OpenList(list);
    ADD_FAILURE() << "opened a list that another open holds";
  } catch (const IoFailure& failure) {
    EXPECT_EQ(failure.code(), EWOULDBLOCK);
  }
  EXPECT_EQ(PendingIoCode(), 0);
  close(holder);
}

// Other readers may share the open list; exclusive use of it waits until it is closed.
TEST(ReaderOpen, HoldsTheListSharedUntilClosed) {
  ScratchFolder scratch;
  const std::string list = scratch.Write("list.txt", "256\n16\nfix.bin\n");
  PatchListReader reader;
  reader.OpenList(list);
  PatchListReader other_reader;
  EXPECT_NO_THROW(other_reader.OpenList(list));
  EXPECT_EQ(other_reader.NextLine(), "256");
  other_reader.CloseList();

  const int other = open(list.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(reader.NextLine(), "256");
  reader.CloseList();
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
}

// --- Failures --------------------------------------------------------------------------------

struct ReadFailureRow {
  const char* name;
  std::string bytes;
  size_t failing_read;  // 1-based
  int error;
  std::vector<std::string> steps;  // each operation's outcome, in the run's order
};

void PrintTo(const ReadFailureRow& row, std::ostream* out) { *out << row.name; }

// The run's order of operations, each written down with its outcome, up to the first failure.
std::vector<std::string> StepsOfTheRun(PatchListReader& reader) {
  std::vector<std::string> steps;
  const char* operation = "NextLine";
  try {
    steps.push_back("NextLine " + reader.NextLine());
    for (;;) {
      operation = "AtEnd";
      const bool at_end = reader.AtEnd();
      steps.push_back(at_end ? "AtEnd true" : "AtEnd false");
      if (at_end) break;
      operation = "NextLine";
      steps.push_back("NextLine " + reader.NextLine());
      steps.push_back("NextLine " + reader.NextLine());
    }
  } catch (const IoFailure& failure) {
    steps.push_back(std::string(operation) + " raises " + std::to_string(failure.code()) + " " +
                    failure.message());
  }
  return steps;
}

std::vector<ReadFailureRow> ReadFailureRows() {
  const std::string eio = " raises " + std::to_string(EIO) + " I/O error " + std::to_string(EIO);
  const std::string long_name(300, 'n');
  return {
      {"FirstRead", "256\n16\nfix.bin\n", 1, EIO, {"NextLine" + eio}},
      {"LookAheadOfAtEnd",
       kPaddedSize + "\n16\nfix.bin\n",
       2,
       EIO,
       {"NextLine " + kPaddedSize, "AtEnd" + eio}},
      {"InsideANameLine",
       "256\n16\n" + long_name + "\n",
       3,
       EIO,
       {"NextLine 256", "AtEnd false", "NextLine 16", "NextLine" + eio}},
      {"LookAheadAfterACr", kPaddedSize + "\r\n16\nfix.bin\n", 2, EIO, {"NextLine" + eio}},
      {"AccessDenied",
       "256\n16\nfix.bin\n",
       1,
       EACCES,
       {"NextLine raises " + std::to_string(EACCES) + " File access denied"}},
      // A broken pipe is the end of the data, not a failure.
      {"BrokenPipeEndsTheData",
       "256\n16\n" + long_name + "\n32\nb\n",
       2,
       EPIPE,
       {"NextLine 256", "AtEnd false", "NextLine 16", "NextLine " + std::string(121, 'n'),
        "AtEnd true"}},
      {"InterruptedReadIsMadeAgain",
       "256\n16\nfix.bin\n",
       1,
       EINTR,
       {"NextLine 256", "AtEnd false", "NextLine 16", "NextLine fix.bin", "AtEnd true"}},
  };
}

class ReaderReadFailures : public ::testing::TestWithParam<ReadFailureRow> {};

TEST_P(ReaderReadFailures, RaiseFromTheOperationThatRead) {
  const ReadFailureRow& row = GetParam();
  ScratchFolder scratch;
  const std::string list = scratch.Write("list.txt", row.bytes);
  SyscallSpy spy;
  PatchListReader reader;
  reader.OpenList(list);
  spy.FailRead(row.failing_read, row.error);

  EXPECT_EQ(StepsOfTheRun(reader), row.steps);
  EXPECT_EQ(PendingIoCode(), 0);
  reader.CloseList();
}

INSTANTIATE_TEST_SUITE_P(Reads, ReaderReadFailures, ::testing::ValuesIn(ReadFailureRows()),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(ReaderClose, FailedCloseRaises) {
  ScratchFolder scratch;
  const std::string list = scratch.Write("list.txt", "256\n");
  SyscallSpy spy;
  PatchListReader reader;
  reader.OpenList(list);
  EXPECT_EQ(reader.NextLine(), "256");
  spy.FailClose(EIO);
  try {
    reader.CloseList();
    ADD_FAILURE() << "a failed close went unreported";
  } catch (const IoFailure& failure) {
    EXPECT_EQ(failure.code(), EIO);
  }
  EXPECT_EQ(PendingIoCode(), 0);
}

}  // namespace
}  // namespace tarnwick
