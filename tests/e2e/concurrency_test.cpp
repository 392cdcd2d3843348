// Runs of the program that meet other processes on the same target: two runs started together,
// of which each either patches completely or is kept out whole; and a run killed in the middle of
// a long copy, which leaves the target at its length with a prefix of the copy written and the
// rest as it was.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

// One of the two competing runs: its list covers the whole target with data of its own, in
// entries of several copy chunks each, so that the target after it is known whatever it was
// before, and a mix of two runs shows.
struct Competitor {
  std::string list_name;
  std::vector<std::string> success_lines;
  std::string patched_target;  // the target after this run alone
};

constexpr size_t kTargetSize = 4 << 20;
constexpr size_t kEntries = 4;

Competitor LayOutCompetitor(const Scratch& scratch, const std::string& stem, unsigned seed) {
  Competitor competitor{stem + ".txt", {}, DistinctBytes(kTargetSize, seed)};
  std::string list = std::to_string(kTargetSize) + "\n";
  const size_t piece = kTargetSize / kEntries;
  for (size_t i = 0; i < kEntries; ++i) {
    const std::string name = stem + "-" + std::to_string(i) + ".bin";
    scratch.Write(name, competitor.patched_target.substr(i * piece, piece));
    list += std::to_string(i * piece) + "\n" + name + "\n";
    competitor.success_lines.push_back("OK: Patched at offset " + std::to_string(i * piece) +
                                       "; bytes: " + std::to_string(piece));
  }
  competitor.success_lines.push_back("Successfully patched!");
  scratch.Write(competitor.list_name, list);
  return competitor;
}

// Whether the run patched completely; a run that did not must have been kept out whole.
bool Patched(const Outcome& outcome, const Competitor& competitor) {
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.error, "");
  if (outcome.output == Lines(competitor.success_lines)) return true;
  EXPECT_EQ(outcome.output, Lines({"Target file open error!"}));
  return false;
}

TEST(TwoRunsOnOneTarget, EachPatchesCompletelyOrIsKeptOutWhole) {
  constexpr int kPairs = 50;
  Scratch scratch;
  const std::string original = DistinctBytes(kTargetSize, 0);
  const Competitor first = LayOutCompetitor(scratch, "first", 1);
  const Competitor second = LayOutCompetitor(scratch, "second", 2);
  int kept_out = 0;
  for (int pair = 0; pair < kPairs; ++pair) {
    SCOPED_TRACE("pair " + std::to_string(pair));
    scratch.Write("game.dat", original);
    // The later of the two starts first every other time, so that neither always leads.
    const Competitor& leader = pair % 2 == 0 ? first : second;
    const Competitor& follower = pair % 2 == 0 ? second : first;
    StartedProgram leading(scratch, {.arguments = {"game.dat", leader.list_name}});
    StartedProgram following(scratch, {.arguments = {"game.dat", follower.list_name}});
    const bool leader_patched = Patched(leading.Wait(), leader);
    const bool follower_patched = Patched(following.Wait(), follower);
    kept_out += (leader_patched ? 0 : 1) + (follower_patched ? 0 : 1);

    ASSERT_TRUE(leader_patched || follower_patched) << "both runs were kept out";
    const std::string after = scratch.Read("game.dat");
    ASSERT_EQ(after.size(), kTargetSize);
    // Both patched only if one ran after the other: the target is then the later one's.
    const bool as_leader_left = after == leader.patched_target;
    const bool as_follower_left = after == follower.patched_target;
    if (leader_patched && follower_patched) {
      ASSERT_TRUE(as_leader_left || as_follower_left) << "the target mixes both runs";
    } else if (leader_patched) {
      ASSERT_TRUE(as_leader_left) << "the target is not as the one patching run left it";
    } else {
      ASSERT_TRUE(as_follower_left) << "the target is not as the one patching run left it";
    }
  }
  std::cout << "[ PAIRS    ] " << kPairs << " pairs, " << kept_out << " runs kept out\n";
}

// Bytes that are never 0, with a period that divides no copy step, so that a chunk written in the
// wrong place or not at all shows against a target of zeros. The buffer holds a whole number of
// periods, so written one after another its copies continue the sequence.
std::string NonZeroPattern() {
  constexpr size_t kPeriod = 251;
  std::string bytes(kPeriod * 4177, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % kPeriod + 1);
  return bytes;
}

void WritePattern(const std::string& name, size_t size, const std::string& pattern) {
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  for (size_t done = 0; done < size;) {
    const size_t step = std::min(pattern.size(), size - done);
    ASSERT_EQ(write(fd, pattern.data(), step), static_cast<ssize_t>(step));
    done += step;
  }
  close(fd);
}

// A file of zeros that takes no room: the target as it was before the run.
void WriteSparseZeros(const std::string& name, size_t size) {
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  close(fd);
}

bool FirstByteWritten(const std::string& name) {
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  char byte = 0;
  const bool written = fd >= 0 && pread(fd, &byte, 1, 0) == 1 && byte != 0;
  if (fd >= 0) close(fd);
  return written;
}

struct PrefixCheck {
  size_t length = 0;        // the file's length
  size_t new_prefix = 0;    // how many bytes from the start hold the new data
  bool rest_is_old = true;  // every byte after them is still 0
};

// Reads the target back against the data that was being copied into it.
PrefixCheck CheckPrefix(const std::string& name, const std::string& pattern) {
  PrefixCheck check;
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return check;
  std::string block(pattern.size(), '\0');
  const std::string zeros(pattern.size(), '\0');
  bool in_new_prefix = true;
  for (;;) {
    const ssize_t got = pread(fd, block.data(), block.size(), static_cast<off_t>(check.length));
    if (got <= 0) break;
    const auto n = static_cast<size_t>(got);
    size_t i = 0;
    if (in_new_prefix) {
      if (std::memcmp(block.data(), pattern.data(), n) == 0) {
        i = n;
      } else {
        while (block[i] == pattern[i]) ++i;
        in_new_prefix = false;
      }
      check.new_prefix += i;
    }
    if (std::memcmp(block.data() + i, zeros.data(), n - i) != 0) check.rest_is_old = false;
    check.length += n;
  }
  close(fd);
  return check;
}

TEST(RunKilledMidCopy, LeavesTheTargetAtItsLengthWithAPrefixOfTheCopyWritten) {
  constexpr size_t kSize = size_t{512} << 20;
  Scratch scratch;
  const std::string pattern = NonZeroPattern();
  WritePattern(scratch / "big.bin", kSize, pattern);
  WriteSparseZeros(scratch / "game.dat", kSize);
  scratch.Write("list.txt", std::to_string(kSize) + "\n0\nbig.bin\n");

  StartedProgram run(scratch, {.arguments = {"game.dat", "list.txt"}, .timeout_seconds = 120});
  // Killed once the copy has begun, a little after, so that some chunks are in.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!FirstByteWritten(scratch / "game.dat") && !run.HasEnded() &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  run.Kill(SIGKILL);
  const Outcome outcome = run.Wait();
  ASSERT_FALSE(outcome.timed_out);
  const bool killed = outcome.signal == SIGKILL;
  if (!killed) {
    // The copy beat the kill: then it must have ended as a whole run does.
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(outcome.output, Lines({"OK: Patched at offset 0; bytes: " + std::to_string(kSize),
                                     "Successfully patched!"}));
  }

  const PrefixCheck check = CheckPrefix(scratch / "game.dat", pattern);
  EXPECT_EQ(check.length, kSize) << "the target changed its length";
  EXPECT_TRUE(check.rest_is_old) << "bytes after the written prefix changed";
  if (!killed) {
    EXPECT_EQ(check.new_prefix, kSize);
  }
  std::cout << "[ KILLED   ] " << (killed ? "killed" : "not killed, the copy ended first")
            << " with " << check.new_prefix << " of " << kSize << " bytes written\n";

  // The kill ended the hold on the target with the process: a new run patches it whole.
  const Outcome rerun =
      RunProgram(scratch, {.arguments = {"game.dat", "list.txt"}, .timeout_seconds = 120});
  EXPECT_EQ(rerun.output, Lines({"OK: Patched at offset 0; bytes: " + std::to_string(kSize),
                                 "Successfully patched!"}));
  const PrefixCheck whole = CheckPrefix(scratch / "game.dat", pattern);
  EXPECT_EQ(whole.length, kSize);
  EXPECT_EQ(whole.new_prefix, kSize);
}

}  // namespace
}  // namespace tarnwick::e2e
