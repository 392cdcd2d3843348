// The program's start: the help screen and its wait, the arguments, and the checks of the target
// and the patch list before the run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

const char* const kTargetError = "Target file error! Execute without arguments for help.";
const char* const kListError = "TXT file error! Execute without arguments for help.";
const char* const kReverse = "Reverse patching!";
const char* const kPatched = "Successfully patched!";

// A target of 8 bytes and a list that declares 8 bytes and holds no entry: a run that reaches
// the patch run ends with the success line and changes nothing.
const char* const kTargetBytes = "ABCDEFGH";
const char* const kListText = "8\r\n";

// --- No arguments ------------------------------------------------------------------------------

struct HelpRow {
  const char* name;
  std::vector<std::string> arguments;  // all of them empty: no arguments once dropped
  Channel input_channel;
  std::string input;
  Channel output_channel = Channel::File;
};

class HelpRows : public ::testing::TestWithParam<HelpRow> {};

TEST_P(HelpRows, HelpScreenThenTheWaitEndsAtTheFirstLineOrTheEndOfInput) {
  const HelpRow& row = GetParam();
  Scratch scratch;
  const Outcome outcome = RunProgram(scratch, {.arguments = row.arguments,
                                               .input = row.input,
                                               .input_channel = row.input_channel,
                                               .output_channel = row.output_channel,
                                               .timeout_seconds = 10});
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, HelpScreen());
  EXPECT_EQ(outcome.error, "");
}

INSTANTIATE_TEST_SUITE_P(
    NoArguments, HelpRows,
    ::testing::Values(HelpRow{"InputAtItsEnd", {}, Channel::File, ""},
                      HelpRow{"InputAtItsEndOutputPipe", {}, Channel::File, "", Channel::Pipe},
                      HelpRow{"InputDevNull", {}, Channel::DevNull, ""},
                      HelpRow{"LineThenMore", {}, Channel::File, "abc\nrest"},
                      HelpRow{"LineWithoutItsEnd", {}, Channel::File, "abc"},
                      HelpRow{"CtrlZ", {}, Channel::File, "ab\032cd\n"},
                      HelpRow{"PipeClosedByItsWriter", {}, Channel::Pipe, ""},
                      HelpRow{"PipeWithALine", {}, Channel::Pipe, "abc\r\nrest\n"},
                      // Empty arguments are dropped, so none is left.
                      HelpRow{"OneEmptyArgument", {""}, Channel::File, ""},
                      HelpRow{"TwoEmptyArguments", {"", ""}, Channel::File, ""}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

struct WaitRow {
  const char* name;
  std::vector<std::string> waiting;  // fed one after another; the program waits on after each
  std::string ending;                // fed last; the program ends after it
};

class WaitRows : public ::testing::TestWithParam<WaitRow> {};

// On a pipe that stays open the program waits; only a line feed or a Ctrl-Z ends the wait.
TEST_P(WaitRows, WaitsForTheLineOnAnOpenPipe) {
  const WaitRow& row = GetParam();
  Scratch scratch;
  StartedProgram program(scratch, {.input_channel = Channel::Pipe, .timeout_seconds = 10});
  usleep(300'000);
  EXPECT_FALSE(program.HasEnded()) << "ended before any input";
  for (const std::string& piece : row.waiting) {
    program.Feed(piece);
    usleep(300'000);
    EXPECT_FALSE(program.HasEnded()) << "ended after " << ::testing::PrintToString(piece);
  }
  program.Feed(row.ending);
  for (int tries = 0; tries < 500 && !program.HasEnded(); ++tries) usleep(10'000);
  ASSERT_TRUE(program.HasEnded()) << "still waiting after " << ::testing::PrintToString(row.ending);
  const Outcome outcome = program.Wait();
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, HelpScreen());
  EXPECT_EQ(outcome.error, "");
}

INSTANTIATE_TEST_SUITE_P(
    OpenPipe, WaitRows,
    ::testing::Values(WaitRow{"LineFeed", {}, "\n"}, WaitRow{"LineWithCrLf", {}, "abc\r\n"},
                      WaitRow{"LineThenMore", {}, "abc\nrest"},
                      WaitRow{"TextThenItsLineFeed", {"abc", "\r", "def"}, "\n"},
                      WaitRow{"CtrlZWithoutALineFeed", {"abc"}, "\x1a"}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(Wait, EndsWhenTheWriterClosesThePipe) {
  Scratch scratch;
  StartedProgram program(scratch, {.input_channel = Channel::Pipe, .timeout_seconds = 10});
  program.Feed("no line end");
  usleep(300'000);
  EXPECT_FALSE(program.HasEnded());
  program.CloseInput();
  const Outcome outcome = program.Wait();
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, HelpScreen());
  EXPECT_EQ(outcome.error, "");
}

// --- Arguments ---------------------------------------------------------------------------------

struct ArgumentRow {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<std::string> lines;
};

class ArgumentRows : public ::testing::TestWithParam<ArgumentRow> {};

// The scratch folder, the current one, holds the target game.dat, the list list.txt, a folder,
// and files whose names look like options or hold blanks and bytes above 127.
TEST_P(ArgumentRows, SettleTheRunOrRefuseItWithOneLine) {
  const ArgumentRow& row = GetParam();
  Scratch scratch;
  for (const char* target : {"game.dat", "-v", "my g\xe9me.dat"})
    scratch.Write(target, kTargetBytes);
  for (const char* list : {"list.txt", "l\xefst 2.txt"}) scratch.Write(list, kListText);
  fs::create_directory(scratch.path() / "folder");

  const Outcome outcome = RunProgram(scratch, {.arguments = row.arguments, .timeout_seconds = 10});
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, Lines(row.lines));
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(scratch.Read("game.dat"), kTargetBytes);
  EXPECT_EQ(scratch.Read("list.txt"), kListText);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ArgumentRows,
    ::testing::Values(
        ArgumentRow{"TargetAndList", {"game.dat", "list.txt"}, {kPatched}},
        ArgumentRow{"ThreeArgumentsReverse", {"game.dat", "list.txt", "r"}, {kReverse, kPatched}},
        ArgumentRow{
            "FourArgumentsAsThree", {"game.dat", "list.txt", "r", "s"}, {kReverse, kPatched}},
        // The third argument's text says nothing: any text means reverse.
        ArgumentRow{
            "ThirdArgumentForward", {"game.dat", "list.txt", "forward"}, {kReverse, kPatched}},
        ArgumentRow{"EmptyFirstArgumentDropped", {"", "game.dat", "list.txt"}, {kPatched}},
        ArgumentRow{"EmptyMiddleArgumentDropped", {"game.dat", "", "list.txt"}, {kPatched}},
        ArgumentRow{"EmptyArgumentsAroundThree",
                    {"", "game.dat", "", "list.txt", "", "r", ""},
                    {kReverse, kPatched}},
        ArgumentRow{"BlanksAndHighBytesInNames", {"my g\xe9me.dat", "l\xefst 2.txt"}, {kPatched}},
        ArgumentRow{
            "RelativeNamesFromTheCurrentFolder", {"folder/../game.dat", "./list.txt"}, {kPatched}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Refusals, ArgumentRows,
    ::testing::Values(
        ArgumentRow{"AbsentTarget", {"missing.dat"}, {kTargetError}},
        ArgumentRow{"AbsentTargetWithAList", {"missing.dat", "list.txt"}, {kTargetError}},
        // Reverse mode is announced only once the target is found.
        ArgumentRow{"AbsentTargetThreeArguments", {"missing.dat", "list.txt", "r"}, {kTargetError}},
        ArgumentRow{"AbsentTargetAndListThreeArguments",
                    {"missing.dat", "missing.txt", "r"},
                    {kTargetError}},
        ArgumentRow{"TargetIsAFolder", {"folder", "list.txt"}, {kTargetError}},
        ArgumentRow{"TargetNameNotTrimmed", {" game.dat", "list.txt"}, {kTargetError}},
        ArgumentRow{"TargetNameCaseKept", {"GAME.DAT", "list.txt"}, {kTargetError}},
        ArgumentRow{"AbsentList", {"game.dat", "missing.txt"}, {kListError}},
        ArgumentRow{"ListIsAFolder", {"game.dat", "folder"}, {kListError}},
        ArgumentRow{"ListNameNotTrimmed", {"game.dat", "list.txt "}, {kListError}},
        // Reverse mode is announced before the list is looked for.
        ArgumentRow{
            "AbsentListThreeArguments", {"game.dat", "missing.txt", "r"}, {kReverse, kListError}},
        ArgumentRow{
            "EmptyArgumentsDoNotHideAnAbsentList", {"game.dat", "", "missing.txt"}, {kListError}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

// There are no options: what looks like one is a target name.
INSTANTIATE_TEST_SUITE_P(
    NoOptions, ArgumentRows,
    ::testing::Values(ArgumentRow{"DashH", {"-h"}, {kTargetError}},
                      ArgumentRow{"SlashQuestionMark", {"/?"}, {kTargetError}},
                      ArgumentRow{"DoubleDashHelp", {"--help"}, {kTargetError}},
                      ArgumentRow{"DashQuestionMarkWithList", {"-?", "list.txt"}, {kTargetError}},
                      ArgumentRow{"OptionLikeNameOfAFile", {"-v", "list.txt"}, {kPatched}}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

struct LostLineRow {
  const char* name;
  std::vector<std::string> arguments;
  Channel output_channel;
  int exit_status;
  const char* report_message;  // the report's second line, or nullptr for none
};

class LostLineRows : public ::testing::TestWithParam<LostLineRow> {};

// The refusal lines are written outside every guard of the run: one that cannot be written ends
// the program with the report, unless it was only held, and the failure is met at the end,
// where it is ignored.
TEST_P(LostLineRows, ALineThatCannotBeWrittenEndsWithTheReport) {
  const LostLineRow& row = GetParam();
  Scratch scratch;
  scratch.Write("game.dat", kTargetBytes);
  scratch.Write("list.txt", kListText);
  const Outcome outcome = RunProgram(
      scratch,
      {.arguments = row.arguments, .output_channel = row.output_channel, .timeout_seconds = 10});
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exit_status, row.exit_status);
  if (row.report_message == nullptr) {
    EXPECT_EQ(outcome.error, "");
  } else {
    EXPECT_THAT(outcome.error, ::testing::MatchesRegex(
                                   "Exception IoFailure in module tarnwick at [0-9A-F]{8}\\.\r\n" +
                                   std::string(row.report_message) + "\r\n\r\n"));
  }
  EXPECT_EQ(scratch.Read("list.txt"), kListText);
  EXPECT_EQ(scratch.Read("game.dat"), kTargetBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, LostLineRows,
    ::testing::Values(
        LostLineRow{"TargetErrorOnDevFull", {"missing.dat"}, Channel::DevFull, 1, "Disk full\\."},
        LostLineRow{"ReverseAnnouncementClosed",
                    {"game.dat", "missing.txt", "r"},
                    Channel::Closed,
                    1,
                    "I/O error 105\\."},
        // The run's own files never take the number of a standard output that arrived closed.
        LostLineRow{
            "SummaryLineClosed", {"game.dat", "list.txt"}, Channel::Closed, 1, "I/O error 105\\."},
        // On a pipe the line is only held; handing it over at the end fails, and that is ignored.
        LostLineRow{"TargetErrorHeldForAReaderThatHasGone",
                    {"missing.dat"},
                    Channel::BrokenPipe,
                    0,
                    nullptr}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

// --- The default list, beside the program ------------------------------------------------------

// A copy of the program in bin/, run from work/, which holds the target.
class DefaultListTest : public ::testing::Test {
 protected:
  void SetUp() override { scratch_.Write("work/game.dat", kTargetBytes); }

  Outcome RunFromWork(const std::vector<std::string>& arguments, const std::string& program) {
    return RunProgram(scratch_, {.arguments = arguments,
                                 .program = program,
                                 .working_folder = scratch_ / "work",
                                 .timeout_seconds = 10});
  }

  Scratch scratch_;
  const std::string program_ = CopyProgram(scratch_, "bin/Tarnwick.exe");
};

TEST_F(DefaultListTest, OneArgumentTakesTheListBesideTheProgram) {
  scratch_.Write("bin/Tarnwick.exe.txt", kListText);
  // A list of the same name in the current folder would refuse the target's size.
  scratch_.Write("work/Tarnwick.exe.txt", "99\r\n");
  const Outcome outcome = RunFromWork({"game.dat"}, program_);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, Lines({kPatched}));
}

TEST_F(DefaultListTest, AListOnlyInTheCurrentFolderIsNotFound) {
  scratch_.Write("work/Tarnwick.exe.txt", kListText);
  const Outcome outcome = RunFromWork({"game.dat"}, program_);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, Lines({kListError}));
}

TEST_F(DefaultListTest, TheProgramsPathComesFromTheSystemNotFromHowItWasStarted) {
  scratch_.Write("bin/Tarnwick.exe.txt", kListText);
  // Started through a link in the current folder, the program is still the file in bin/.
  fs::create_symlink(program_, scratch_.path() / "work/link");
  scratch_.Write("work/link.txt", "99\r\n");
  const Outcome outcome = RunFromWork({"game.dat"}, scratch_ / "work/link");
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, Lines({kPatched}));
}

TEST_F(DefaultListTest, ALongPathOfTheProgramIsTakenWhole) {
  // Three folders of 200 bytes each: far more than a fixed buffer of a few hundred would hold.
  const std::string folder =
      "bin/" + std::string(200, 'a') + "/" + std::string(200, 'b') + "/" + std::string(200, 'c');
  const std::string program = CopyProgram(scratch_, folder + "/Tarnwick.exe");
  scratch_.Write(folder + "/Tarnwick.exe.txt", kListText);
  const Outcome outcome = RunFromWork({"game.dat"}, program);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, Lines({kPatched}));
}

// Watches bin/ for any open, read or change of the default list.
class ListWatch {
 public:
  explicit ListWatch(const std::string& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0 && inotify_add_watch(fd_, folder.c_str(),
                                      IN_OPEN | IN_ACCESS | IN_MODIFY | IN_ATTRIB | IN_CLOSE) < 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~ListWatch() {
    if (fd_ >= 0) close(fd_);
  }
  ListWatch(const ListWatch&) = delete;
  ListWatch& operator=(const ListWatch&) = delete;

  bool Works() const { return fd_ >= 0; }

  // Whether anything happened to the named file since the last call.
  bool Touched(const std::string& name) {
    bool touched = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) return touched;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && name == event->name) touched = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

 private:
  int fd_;
};

TEST_F(DefaultListTest, WithoutArgumentsNoFileIsTouched) {
  scratch_.Write("bin/Tarnwick.exe.txt", kListText);
  ListWatch watch(scratch_ / "bin");
  if (!watch.Works()) GTEST_SKIP() << "inotify is not available here";

  const Outcome outcome = RunFromWork({}, program_);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.output, HelpScreen());
  EXPECT_FALSE(watch.Touched("Tarnwick.exe.txt"));
  EXPECT_EQ(scratch_.Read("bin/Tarnwick.exe.txt"), kListText);

  // The watch does see the list being read by a run that uses it.
  RunFromWork({"game.dat"}, program_);
  EXPECT_TRUE(watch.Touched("Tarnwick.exe.txt"));
}

}  // namespace
}  // namespace tarnwick::e2e
