// Every system call of a run made to fail in turn. For a set of representative runs, a clean run
// is counted first; then, for each of its calls, the program is run again with that call failing
// (with several errors, or interrupted, or not ready yet, or moving fewer bytes than asked). Each
// such run must end in one of the program's own ways, change no file outside the entries'
// ranges, and keep what it had written before the failure.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "engine/binary_file.h"
#include "tests/e2e/harness.h"
#include "tests/fault/fault_log.h"

namespace tarnwick::fault {
namespace {

using e2e::ByteRange;
using e2e::Channel;
using e2e::Outcome;
using e2e::Scratch;

// A file that the run may change only within its ranges, in the order the ranges are listed.
struct WatchedFile {
  std::string name;
  std::vector<ByteRange> ranges;
  bool absent_before = false;  // the run may create it, empty
};

struct Case {
  e2e::Run run;  // the program: the fault-injecting build, unless the case has a copy of its own
  std::vector<WatchedFile> files;
  std::string clean_last_line;  // of a clean run, when standard output is a file
  // A clean run that ends with the report: its message.
  std::string clean_report_message;
};

const std::string kReportStart =
    "Exception IoFailure in module tarnwick-fault at [0-9A-F]{8}\\.\r\n";

// Bytes that differ from `old` at every position, so that a run that wrote part of a range shows
// exactly where it stopped.
std::string Complement(const std::string& old) {
  std::string bytes = old;
  for (char& byte : bytes) byte = static_cast<char>(~byte);
  return bytes;
}

Case ForwardWithThreeEntries(const Scratch& scratch) {
  const std::string target = e2e::DistinctBytes(200000, 1);
  const int64_t big = 2 * static_cast<int64_t>(CopyChunkSize) + 1000;
  scratch.Write("game.dat", target);
  scratch.Write("a.bin", Complement(target.substr(16, 100)));
  scratch.Write("big.bin", Complement(target.substr(1000, static_cast<size_t>(big))));
  scratch.Write("c.bin", Complement(target.substr(199990)));
  scratch.Write("list.txt", "200000\r\n16\r\na.bin\r\n1000\r\nbig.bin\r\n199990\r\nc.bin\r\n");
  return {.run = {.arguments = {"game.dat", "list.txt"}},
          .files = {{"game.dat", {{16, 100}, {1000, big}, {199990, 10}}},
                    {"a.bin"},
                    {"big.bin"},
                    {"c.bin"},
                    {"list.txt"}},
          .clean_last_line = "Successfully patched!"};
}

Case ForwardToCharacterDevice(const Scratch& scratch) {
  Case forward = ForwardWithThreeEntries(scratch);
  forward.run.output_channel = Channel::DevNull;
  forward.clean_last_line.clear();
  return forward;
}

// Dropped on the program: the list lies beside the program, found through the program's own path.
Case DroppedTargetWithListBesideTheProgram(const Scratch& scratch) {
  const std::string target = e2e::DistinctBytes(256, 4);
  scratch.Write("game.dat", target);
  scratch.Write("fix.bin", Complement(target.substr(16, 4)));
  const std::string program = scratch / "tools/tarnwick-fault";
  std::filesystem::create_directories(scratch / "tools");
  std::filesystem::copy_file(TARNWICK_FAULT_PROGRAM, program);
  scratch.Write("tools/tarnwick-fault.txt", "256\n16\nfix.bin\n");
  return {.run = {.arguments = {"game.dat"}, .program = program},
          .files = {{"game.dat", {{16, 4}}}, {"fix.bin"}, {"tools/tarnwick-fault.txt"}},
          .clean_last_line = "Successfully patched!"};
}

// Without standard output every line fails, "FATAL ERROR!" too: the report ends even a clean run,
// and no message may reach the files that the run opens in its place.
Case ForwardWithoutStandardOutput(const Scratch& scratch) {
  Case forward = ForwardWithThreeEntries(scratch);
  forward.run.output_channel = Channel::Closed;
  forward.clean_last_line.clear();
  forward.clean_report_message = "I/O error 105";
  return forward;
}

Case ReverseWithAbsentAndPresentDataFiles(const Scratch& scratch) {
  const std::string target = e2e::DistinctBytes(4096, 2);
  scratch.Write("game.dat", target);
  scratch.Write("have.bin", Complement(target.substr(100, 300)));
  scratch.Write("list.txt", "4096\n10\nnew.bin\n100\nhave.bin\n");
  return {.run = {.arguments = {"game.dat", "list.txt", "reverse"}},
          .files = {{"game.dat"}, {"have.bin", {{0, 300}}}, {"new.bin", {}, true}, {"list.txt"}},
          .clean_last_line = "Successfully patched!"};
}

Case HelpScreenWithInput(const Scratch&) {
  return {.run = {.input = "go on\r\nand more\n"},
          .clean_last_line =
              "If you specify any third parameter, patch will be <reverse> and will "
              "write to its files rather then read from."};
}

Case ListWithEntryErrors(const Scratch& scratch) {
  const std::string target = e2e::DistinctBytes(1000, 3);
  scratch.Write("game.dat", target);
  scratch.Write("p.bin", std::string(50, 'p'));
  scratch.Write("q.bin", Complement(target.substr(100, 20)));
  scratch.Write("list.txt", "1000\n0\nmissing.bin\n990\np.bin\nabc\nq.bin\n100\nq.bin\n");
  return {.run = {.arguments = {"game.dat", "list.txt"}},
          .files = {{"game.dat", {{100, 20}}}, {"p.bin"}, {"q.bin"}, {"list.txt"}},
          .clean_last_line = "Wrong patch."};
}

// The files' bytes; nullopt for one that does not exist.
using Snapshot = std::map<std::string, std::optional<std::string>>;

Snapshot Take(const Scratch& scratch, const Case& run_case) {
  Snapshot snapshot;
  for (const WatchedFile& file : run_case.files) {
    snapshot[file.name] =
        scratch.Exists(file.name) ? std::optional(scratch.Read(file.name)) : std::nullopt;
  }
  return snapshot;
}

// Where two snapshots differ first, or empty when they are equal; file contents are too long to
// show whole.
std::string FirstDifference(const Snapshot& expected, const Snapshot& actual) {
  for (const auto& [name, bytes] : expected) {
    const auto found = actual.find(name);
    const std::optional<std::string> other = found == actual.end() ? std::nullopt : found->second;
    if (bytes.has_value() != other.has_value()) return name + (bytes ? " is missing" : " exists");
    if (!bytes || *bytes == *other) continue;
    if (bytes->size() != other->size()) {
      return name + " is " + std::to_string(other->size()) + " bytes long, not " +
             std::to_string(bytes->size());
    }
    const auto mismatch = std::mismatch(bytes->begin(), bytes->end(), other->begin());
    return name + " differs first at byte " + std::to_string(mismatch.first - bytes->begin());
  }
  return "";
}

void Restore(const Scratch& scratch, const Snapshot& snapshot) {
  for (const auto& [name, bytes] : snapshot) {
    if (bytes) {
      scratch.Write(name, *bytes);
    } else {
      std::filesystem::remove(scratch / name);
    }
  }
}

// One run with a fault plan, and what to expect of it.
struct Attempt {
  std::string plan;
  bool same_as_clean;  // the failure is one the program goes past: interrupted, not ready, short
  bool persistent;     // every call from the first fault on fails
  int error;           // the error of the call that decides the ending
  CallRecord deciding_call;
};

// Whether the program goes past an interruption or a transfer that is not ready or short: every
// read and write but those of the report, which has nowhere else to go and ignores their results.
bool IsRetried(const CallRecord& call) {
  const bool report = call.call == Call::Write && call.fd == 2;
  return !report && (call.call == Call::Read || call.call == Call::Write ||
                     call.call == Call::Pread || call.call == Call::Pwrite);
}

std::vector<Attempt> AttemptsFor(const RecordedCalls& clean) {
  std::vector<Attempt> attempts;
  for (uint32_t k = 1; k <= clean.listed.size(); ++k) {
    const CallRecord call = clean.listed[k - 1];
    const std::string at = std::to_string(k);
    const std::string next = std::to_string(k + 1);
    // The wait for readiness that follows a transfer that was not ready is on its descriptor.
    const CallRecord poll = {Call::Poll, call.fd};
    for (const auto& [name, error] : {std::pair{"EIO", EIO}, std::pair{"ENOSPC", ENOSPC},
                                      std::pair{"EACCES", EACCES}, std::pair{"EINTR", EINTR}}) {
      attempts.push_back({at + ":" + name, error == EINTR && IsRetried(call), false, error, call});
    }
    attempts.push_back({at + "+:EIO", false, true, EIO, call});
    if (!IsRetried(call)) continue;
    attempts.push_back({at + ":EAGAIN", true, false, EAGAIN, call});
    attempts.push_back({at + ":short", true, false, 0, call});
    attempts.push_back({at + ":EAGAIN," + next + ":EINTR", true, false, EINTR, poll});
    attempts.push_back({at + ":EAGAIN," + next + ":EIO", false, false, EIO, poll});
  }
  return attempts;
}

const std::vector<std::string>& OwnEndingLines() {
  static const std::vector<std::string> kLines = {
      "If you specify any third parameter, patch will be <reverse> and will write to its files "
      "rather then read from.",
      "Target file error! Execute without arguments for help.",
      "TXT file error! Execute without arguments for help.",
      "TXT file open error!",
      "Size of target file is different from size described in TXT!",
      "Target file open error!",
      "FATAL ERROR!",
      "Wrong patch.",
      "Successfully patched!",
  };
  return kLines;
}

std::vector<std::string> SplitLines(const std::string& output) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = output.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(output.substr(start, end - start));
  }
  return lines;
}

// Whether the call looks at a standard channel: its failure leaves that channel absent.
bool LooksAtStandardChannel(const CallRecord& call, int fd) {
  return (call.call == Call::Fstat || call.call == Call::Fcntl) && call.fd == fd;
}

std::string ReportMessageFor(const Attempt& attempt) {
  if (LooksAtStandardChannel(attempt.deciding_call, 1)) return "I/O error 105";
  if (LooksAtStandardChannel(attempt.deciding_call, 0)) return "I/O error 104";
  switch (attempt.error) {
    case ENOSPC:
      return "Disk full";
    case EACCES:
      return "File access denied";
    default:
      return "I/O error " + std::to_string(attempt.error);
  }
}

// The calls whose failure may escape every guard: the list's and the console's reads and
// writes, the looks at a standard channel, closing the list, and the wait for readiness.
bool MayEscapeTheGuards(const CallRecord& call) {
  switch (call.call) {
    case Call::Read:
    case Call::Write:
    case Call::Close:
    case Call::Poll:
      return true;
    default:
      return LooksAtStandardChannel(call, 0) || LooksAtStandardChannel(call, 1);
  }
}

struct RangeCount {
  size_t whole = 0;    // ranges written whole
  size_t partial = 0;  // ranges written in part
  size_t all = 0;
};

// The stretches outside the ranges compared whole: a few hundred runs read files of hundreds of
// kilobytes each.
void ExpectUnchangedBetween(const std::string& name, std::string_view before, std::string_view now,
                            std::vector<ByteRange> ranges) {
  std::ranges::sort(ranges, {}, &ByteRange::offset);
  size_t start = 0;
  ranges.push_back({static_cast<int64_t>(before.size()), 0});
  for (const ByteRange& range : ranges) {
    const auto end = static_cast<size_t>(range.offset);
    if (end > start && before.substr(start, end - start) != now.substr(start, end - start)) {
      ADD_FAILURE() << name << " changed between bytes " << start << " and " << end
                    << ", outside every entry";
    }
    start = std::max(start, end + static_cast<size_t>(range.length));
  }
}

// Checks one file against its state before and after the clean run, and counts its ranges by
// how much of them the run wrote.
void CheckFile(const WatchedFile& file, const std::optional<std::string>& before,
               const std::optional<std::string>& clean, const std::optional<std::string>& now,
               RangeCount& count) {
  count.all += file.ranges.size();
  if (file.absent_before) {
    if (now) {
      EXPECT_EQ(*now, "") << file.name << " was created with content";
    }
    return;
  }
  if (!now) {
    ADD_FAILURE() << file.name << " is gone";
    return;
  }
  if (now->size() != before->size()) {
    ADD_FAILURE() << file.name << " changed its length";
    return;
  }
  ExpectUnchangedBetween(file.name, *before, *now, file.ranges);
  // The ranges are written in their order, each from its start: a prefix of the ranges whole, at
  // most one written in part (whole chunks of it), and nothing of the ones after.
  bool stopped = false;
  for (const ByteRange& range : file.ranges) {
    const size_t offset = static_cast<size_t>(range.offset);
    const size_t length = static_cast<size_t>(range.length);
    const std::string_view old_bytes = std::string_view(*before).substr(offset, length);
    const std::string_view new_bytes = std::string_view(*clean).substr(offset, length);
    const std::string_view bytes = std::string_view(*now).substr(offset, length);
    size_t written = 0;
    while (written < length && bytes[written] == new_bytes[written]) ++written;
    if (stopped) {
      EXPECT_TRUE(bytes == old_bytes)
          << file.name << ": the range at " << offset << ", after an unfinished one, was written";
      continue;
    }
    EXPECT_TRUE(bytes.substr(written) == old_bytes.substr(written))
        << file.name << ": the range at " << offset << " holds bytes neither old nor new";
    if (written == length) {
      ++count.whole;
      continue;
    }
    // A range that the run passed over entirely (an entry refused or failed before its copy)
    // does not stop the ones after it.
    if (written == 0) continue;
    stopped = true;
    ++count.partial;
    EXPECT_EQ(written % CopyChunkSize, 0u)
        << file.name << ": the range at " << offset << " ends its written part mid-chunk";
  }
}

struct RepresentativeRun {
  const char* name;
  Case (*lay_out)(const Scratch&);
};

// Rows show as their names in test output.
void PrintTo(const RepresentativeRun& row, std::ostream* out) { *out << row.name; }

class FaultInjection : public ::testing::TestWithParam<RepresentativeRun> {
 protected:
  Outcome RunWithPlan(const Scratch& scratch, const Case& run_case, const std::string& plan,
                      RecordedCalls& recorded) {
    e2e::Run run = run_case.run;
    if (run.program.empty()) run.program = TARNWICK_FAULT_PROGRAM;
    run.timeout_seconds = 10;
    // The plan is always given, empty for a clean run, so that none comes from outside.
    run.environment = {std::string(kLogVariable) + "=" + (logs_ / "calls"),
                       std::string(kPlanVariable) + "=" + plan};
    const Outcome outcome = e2e::RunProgram(scratch, run);
    recorded = ReadFaultLog(logs_ / "calls");
    return outcome;
  }

  void CheckEnding(const Case& run_case, const Attempt& attempt, const Outcome& clean,
                   const Outcome& outcome) {
    ASSERT_FALSE(outcome.timed_out);
    ASSERT_EQ(outcome.signal, 0);
    ASSERT_THAT(outcome.exit_status, ::testing::AnyOf(0, 1)) << outcome.error;
    if (attempt.same_as_clean) {
      EXPECT_EQ(outcome.exit_status, clean.exit_status);
      EXPECT_EQ(outcome.output, clean.output);
      EXPECT_EQ(outcome.error, clean.error);
      return;
    }
    if (attempt.persistent) return;  // the report itself cannot be written then
    if (outcome.exit_status == 1) {
      if (attempt.deciding_call.call == Call::Fcntl && attempt.deciding_call.fd == 2) {
        EXPECT_EQ(outcome.error, "") << "a report on a standard error that could not be seen";
        return;
      }
      if (attempt.deciding_call.call == Call::Write && attempt.deciding_call.fd == 2) {
        // One of the report's own two writes failed, or moved only part of its bytes.
        EXPECT_THAT(outcome.error,
                    ::testing::MatchesRegex("(Exception IoFailure in module .*)?(\r\n)?"));
        return;
      }
      if (run_case.clean_report_message.empty()) {
        EXPECT_TRUE(MayEscapeTheGuards(attempt.deciding_call))
            << "a failed " << CallName(attempt.deciding_call.call) << " escaped the guards";
      }
      std::string messages = ReportMessageFor(attempt);
      if (!run_case.clean_report_message.empty()) messages += "|" + run_case.clean_report_message;
      EXPECT_THAT(outcome.error,
                  ::testing::MatchesRegex(kReportStart + "(" + messages + ")\\.\r\n\r\n"));
      return;
    }
    EXPECT_EQ(outcome.error, "");
    if (run_case.run.output_channel != Channel::File) return;
    const std::vector<std::string> lines = SplitLines(outcome.output);
    const bool own_ending = !lines.empty() && outcome.output.ends_with("\r\n") &&
                            std::ranges::count(OwnEndingLines(), lines.back()) > 0;
    // Held output that cannot be written at the end is lost without a word: what came before
    // it is there, in whole blocks.
    const bool last_block_lost =
        (attempt.deciding_call.call == Call::Write || attempt.deciding_call.call == Call::Poll) &&
        attempt.deciding_call.fd == 1 && clean.output.starts_with(outcome.output) &&
        outcome.output.size() < clean.output.size() && outcome.output.size() % 128 == 0;
    EXPECT_TRUE(own_ending || last_block_lost) << "the output ends otherwise:\n" << outcome.output;
  }

  void CheckFiles(const Case& run_case, const Snapshot& before, const Snapshot& clean,
                  const Snapshot& now, const Outcome& outcome) {
    RangeCount count;
    for (const WatchedFile& file : run_case.files) {
      CheckFile(file, before.at(file.name), clean.at(file.name), now.at(file.name), count);
    }
    const std::vector<std::string> lines = SplitLines(outcome.output);
    const auto patched = std::ranges::count_if(
        lines, [](const std::string& line) { return line.starts_with("OK: Patched at offset "); });
    EXPECT_LE(static_cast<size_t>(patched), count.whole) << "an entry reported patched is not";
    const std::string last = lines.empty() ? "" : lines.back();
    if (last == "Successfully patched!" || last == "Wrong patch.") {
      EXPECT_EQ(count.partial, 0u) << "the summary follows an entry left half done";
    }
    if (last == "Successfully patched!") {
      EXPECT_EQ(count.whole, count.all) << "the run reports success for entries not applied";
      EXPECT_EQ(FirstDifference(clean, now), "");
    }
  }

  Scratch logs_;
};

TEST_P(FaultInjection, EveryFailedCallEndsTheRunInOneOfItsOwnWays) {
  Scratch scratch;
  const Case run_case = GetParam().lay_out(scratch);
  const Snapshot before = Take(scratch, run_case);

  RecordedCalls clean_calls;
  const Outcome clean = RunWithPlan(scratch, run_case, "", clean_calls);
  if (run_case.clean_report_message.empty()) {
    ASSERT_EQ(clean.exit_status, 0) << clean.error;
    ASSERT_EQ(clean.error, "");
  } else {
    ASSERT_EQ(clean.exit_status, 1);
    ASSERT_THAT(clean.error, ::testing::MatchesRegex(kReportStart + run_case.clean_report_message +
                                                     "\\.\r\n\r\n"));
  }
  if (!run_case.clean_last_line.empty()) {
    ASSERT_TRUE(clean.output.ends_with(run_case.clean_last_line + "\r\n")) << clean.output;
  }
  ASSERT_GT(clean_calls.calls, 0u);
  ASSERT_EQ(clean_calls.faults, 0u);
  const Snapshot clean_after = Take(scratch, run_case);

  const std::vector<Attempt> attempts = AttemptsFor(clean_calls);
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE("fault plan " + attempt.plan + ", deciding call " +
                 CallName(attempt.deciding_call.call) + " on " +
                 std::to_string(attempt.deciding_call.fd));
    Restore(scratch, before);
    RecordedCalls recorded;
    const Outcome outcome = RunWithPlan(scratch, run_case, attempt.plan, recorded);
    EXPECT_GE(recorded.faults, 1u) << "the fault was never injected";
    CheckEnding(run_case, attempt, clean, outcome);
    const Snapshot now = Take(scratch, run_case);
    if (attempt.same_as_clean) {
      EXPECT_EQ(FirstDifference(clean_after, now), "");
    } else {
      CheckFiles(run_case, before, clean_after, now, outcome);
    }
    if (HasFailure()) break;  // the first failing plan tells the story
  }
  std::cout << "[  FAULTS  ] " << GetParam().name << ": " << clean_calls.calls
            << " calls in the clean run, " << attempts.size() << " runs with faults\n";
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FaultInjection,
    ::testing::Values(RepresentativeRun{"ForwardWithThreeEntries", ForwardWithThreeEntries},
                      RepresentativeRun{"ForwardToCharacterDevice", ForwardToCharacterDevice},
                      RepresentativeRun{"ForwardWithoutStandardOutput",
                                        ForwardWithoutStandardOutput},
                      RepresentativeRun{"DroppedTargetWithListBesideTheProgram",
                                        DroppedTargetWithListBesideTheProgram},
                      RepresentativeRun{"ReverseWithAbsentAndPresentDataFiles",
                                        ReverseWithAbsentAndPresentDataFiles},
                      RepresentativeRun{"HelpScreenWithInput", HelpScreenWithInput},
                      RepresentativeRun{"ListWithEntryErrors", ListWithEntryErrors}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

}  // namespace
}  // namespace tarnwick::fault
