// The message channel: which bytes reach standard output in which system write, for each kind of
// standard output, and how a failed write comes back as a failure.

#include "app/console.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "app/failure.h"
#include "platform/syscalls.h"

namespace tarnwick {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// What standard output looks like to the program, and what became of each write to it.
struct FakeOutput {
  mode_t kind = S_IFREG;
  int fstat_error = 0;                 // fstat of standard output fails with this, when not 0
  std::vector<int> write_errors;       // the k-th write fails with write_errors[k] when not 0
  std::vector<std::string> writes;     // every write attempted, failed ones included
  std::vector<std::string> delivered;  // the writes that succeeded
  int fstat_calls = 0;
};

FakeOutput* g_fake = nullptr;

int FakeFstat(int fd, struct stat* status) {
  if (fd != STDOUT_FILENO) return platform::RealSyscalls().fstat(fd, status);
  ++g_fake->fstat_calls;
  if (g_fake->fstat_error != 0) {
    errno = g_fake->fstat_error;
    return -1;
  }
  *status = {};
  status->st_mode = g_fake->kind | 0644;
  return 0;
}

ssize_t FakeWrite(int fd, const void* bytes, size_t n) {
  if (fd != STDOUT_FILENO) return platform::RealSyscalls().write(fd, bytes, n);
  const size_t index = g_fake->writes.size();
  g_fake->writes.emplace_back(static_cast<const char*>(bytes), n);
  if (index < g_fake->write_errors.size() && g_fake->write_errors[index] != 0) {
    errno = g_fake->write_errors[index];
    return -1;
  }
  g_fake->delivered.push_back(g_fake->writes.back());
  return static_cast<ssize_t>(n);
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::Syscalls();
    g_fake = &fake_;
    platform::Syscalls().fstat = FakeFstat;
    platform::Syscalls().write = FakeWrite;
    ResetStandardOutputForTesting();
    TakePendingIoCode();
  }

  void TearDown() override {
    platform::Syscalls() = saved_;
    g_fake = nullptr;
    ResetStandardOutputForTesting();
    TakePendingIoCode();
  }

  // The code of the failure that the message raised, 0 for none.
  static int RaisedBy(const std::string& text) {
    try {
      WriteMessage(text);
    } catch (const IoFailure& failure) {
      return failure.code();
    }
    return 0;
  }

  static std::string Joined(const std::vector<std::string>& pieces) {
    std::string all;
    for (const std::string& piece : pieces) all += piece;
    return all;
  }

  FakeOutput fake_;

 private:
  platform::SyscallTable saved_;
};

// Bytes 0..255 in a repeating pattern, so that a lost or doubled piece shows.
std::string Pattern(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += static_cast<char>((i * 7 + 3) % 256);
  return text;
}

TEST_F(ConsoleTest, OnAFileOnlyWholeBlocksReachTheSystemUntilHandOver) {
  fake_.kind = S_IFREG;
  const std::string first(60, 'a');   // 62 bytes with its line end
  const std::string second(60, 'b');  // 124
  const std::string third(60, 'c');   // 186: the block fills inside this line
  WriteMessage(first);
  WriteMessage(second);
  EXPECT_THAT(fake_.writes, IsEmpty());
  WriteMessage(third);
  const std::string all = first + "\r\n" + second + "\r\n" + third + "\r\n";
  EXPECT_THAT(fake_.writes, ElementsAre(all.substr(0, 128)));
  HandOverHeldOutput();
  EXPECT_THAT(fake_.writes, ElementsAre(all.substr(0, 128), all.substr(128)));
  HandOverHeldOutput();  // nothing held: no empty write
  EXPECT_EQ(fake_.writes.size(), 2u);
}

TEST_F(ConsoleTest, APipeIsHeldLikeAFile) {
  fake_.kind = S_IFIFO;
  WriteMessage("Successfully patched!");
  EXPECT_THAT(fake_.writes, IsEmpty());
  HandOverHeldOutput();
  EXPECT_THAT(fake_.writes, ElementsAre("Successfully patched!\r\n"));
}

TEST_F(ConsoleTest, ALongLineIsSplitAcrossBlocksWithNothingAdded) {
  fake_.kind = S_IFREG;
  const std::string line = Pattern(300);  // holds CR, LF and bytes above 127 as they are
  WriteMessage(line);
  HandOverHeldOutput();
  EXPECT_THAT(fake_.writes,
              ElementsAre(line.substr(0, 128), line.substr(128, 128), line.substr(256) + "\r\n"));
}

TEST_F(ConsoleTest, AnEmptyMessageIsExactlyTheLineEnd) {
  fake_.kind = S_IFCHR;
  WriteMessage("");
  EXPECT_THAT(fake_.writes, ElementsAre("\r\n"));
}

TEST_F(ConsoleTest, OnACharacterDeviceEachLineGoesOutAtItsEnd) {
  fake_.kind = S_IFCHR;
  WriteMessage("Reverse patching!");
  WriteMessage("");
  WriteMessage("Wrong patch.");
  EXPECT_THAT(fake_.writes, ElementsAre("Reverse patching!\r\n", "\r\n", "Wrong patch.\r\n"));
}

TEST_F(ConsoleTest, OnACharacterDeviceALongLineGoesOutByFullBlocksThenItsRest) {
  fake_.kind = S_IFCHR;
  const std::string line = Pattern(300);
  WriteMessage(line);
  EXPECT_THAT(fake_.writes,
              ElementsAre(line.substr(0, 128), line.substr(128, 128), line.substr(256) + "\r\n"));
}

TEST_F(ConsoleTest, OnACharacterDeviceALineThatFillsTheBlockIsOneWrite) {
  fake_.kind = S_IFCHR;
  const std::string line(126, 'x');  // 128 with its line end: the block's own hand-over is all
  WriteMessage(line);
  EXPECT_THAT(fake_.writes, ElementsAre(line + "\r\n"));
}

TEST_F(ConsoleTest, AFailedHandOverLosesTheBlockAndDropsTheRestOfTheText) {
  fake_.kind = S_IFREG;
  fake_.write_errors = {EPIPE};
  const std::string line = Pattern(200);
  EXPECT_EQ(RaisedBy(line), EPIPE);
  EXPECT_EQ(PendingIoCode(), 0);
  // The block's 128 bytes are gone and the other 72 were never put in; the line end was.
  HandOverHeldOutput();
  EXPECT_THAT(fake_.writes, ElementsAre(line.substr(0, 128), "\r\n"));
  EXPECT_THAT(fake_.delivered, ElementsAre("\r\n"));
}

TEST_F(ConsoleTest, OnACharacterDeviceTheLineEndIsStillHandedOverAfterAFailure) {
  fake_.kind = S_IFCHR;
  fake_.write_errors = {EIO};
  const std::string line = Pattern(200);
  EXPECT_EQ(RaisedBy(line), EIO);
  EXPECT_THAT(fake_.writes, ElementsAre(line.substr(0, 128), "\r\n"));
  EXPECT_THAT(fake_.delivered, ElementsAre("\r\n"));
}

TEST_F(ConsoleTest, WhenTheLineEndFailsTooItsCodeIsTheOneRaised) {
  fake_.kind = S_IFCHR;
  fake_.write_errors = {EPIPE, ENOSPC};
  EXPECT_EQ(RaisedBy(Pattern(200)), ENOSPC);
}

TEST_F(ConsoleTest, TheMessageWhoseBytesFillTheBlockRaisesTheFailure) {
  fake_.kind = S_IFIFO;
  fake_.write_errors = {EPIPE, EPIPE, EPIPE};
  const std::string line(50, 'm');  // 52 bytes a line: the block fills in the third
  EXPECT_EQ(RaisedBy(line), 0);
  EXPECT_EQ(RaisedBy(line), 0);
  EXPECT_EQ(RaisedBy(line), EPIPE);
  // The rest of the third line was dropped; only its line end is held, so the fourth line
  // fills nothing.
  EXPECT_EQ(RaisedBy(line), 0);
  EXPECT_EQ(fake_.writes.size(), 1u);
}

TEST_F(ConsoleTest, AFailureLeavesTheChannelUsable) {
  fake_.kind = S_IFCHR;
  fake_.write_errors = {ENOSPC};
  EXPECT_EQ(RaisedBy("lost"), ENOSPC);
  EXPECT_EQ(RaisedBy("next"), 0);
  EXPECT_THAT(fake_.delivered, ElementsAre("next\r\n"));
}

TEST_F(ConsoleTest, WithoutAKindToTellEveryWriteFailsWith105AndTriesAgain) {
  fake_.kind = S_IFCHR;
  fake_.fstat_error = EBADF;
  EXPECT_EQ(RaisedBy("first"), 105);
  EXPECT_EQ(RaisedBy("second"), 105);
  EXPECT_FALSE(StandardOutputIsOpen());
  HandOverHeldOutput();
  EXPECT_THAT(fake_.writes, IsEmpty());
  const int calls_while_absent = fake_.fstat_calls;
  EXPECT_GE(calls_while_absent, 2);

  // Once the kind can be told, the next write opens the channel; the lost lines stay lost.
  fake_.fstat_error = 0;
  EXPECT_EQ(RaisedBy("third"), 0);
  EXPECT_TRUE(StandardOutputIsOpen());
  EXPECT_THAT(fake_.writes, ElementsAre("third\r\n"));
  // The kind is fixed when the channel opens and not asked again.
  WriteMessage("fourth");
  EXPECT_EQ(fake_.fstat_calls, calls_while_absent + 1);
}

}  // namespace
}  // namespace tarnwick
