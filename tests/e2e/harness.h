#pragma once

// Runs the built program as a separate process in a scratch folder, with chosen standard input,
// output and error, and gives back its bytes, its exit status and the files around it.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::e2e {

// A folder of its own for one case, removed with everything in it at the end of the case.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  // Writes a file (folders on the way are made) and returns its full name.
  std::string Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;
  // Opens the scratch folder and everything below it to every user (for unprivileged runs).
  void OpenToEveryone() const;

 private:
  std::filesystem::path path_;
};

// Where a standard stream of the program goes.
enum class Channel {
  File,          // a regular file in the scratch folder (the default)
  Pipe,          // a pipe read (or, for input, written) by the harness
  Closed,        // the descriptor is closed in the program
  DevNull,       // /dev/null, a character device
  DevFull,       // /dev/full: every write fails with ENOSPC
  BrokenPipe,    // a pipe whose reader has already gone
  SameAsOutput,  // standard error only: the very file or pipe of standard output, as 2>&1 gives
};

struct Run {
  std::vector<std::string> arguments;  // after the program's own name
  std::string input;                   // the bytes on standard input (File or Pipe)
  Channel input_channel = Channel::File;
  Channel output_channel = Channel::File;
  Channel error_channel = Channel::File;
  std::string program;                   // empty: the built program
  std::string working_folder;            // empty: the scratch folder
  bool unprivileged = false;             // run as nobody (needs root; see CanRunUnprivileged)
  double timeout_seconds = 20;           // killed and reported as timed out past this
  std::vector<std::string> environment;  // NAME=VALUE entries added to the program's environment
};

struct Outcome {
  std::string output;  // standard output's bytes (File or Pipe)
  std::string error;   // standard error's bytes (File or Pipe)
  int exit_status = -1;
  int signal = 0;  // the signal that ended it, or 0
  bool timed_out = false;
};

// The exit statuses that a sanitizer finding gives a program run by the harness: statuses that
// the program itself never uses, so that no row can mistake a finding for an ending of its own.
constexpr int kAddressSanitizerStatus = 86;
constexpr int kUndefinedBehaviorStatus = 87;

// The built program's full name.
std::string ProgramPath();

// Runs the program in the scratch folder and waits for its end.
Outcome RunProgram(const Scratch& scratch, const Run& run);

// A program started in the scratch folder that runs on while the caller does other things. Wait
// gives its outcome as RunProgram does (the run's timeout counts from the start); standard
// streams on pipes are fed and drained only inside Wait. Destroyed while still running, the
// program is killed and waited for.
class StartedProgram {
 public:
  StartedProgram(const Scratch& scratch, const Run& run);
  ~StartedProgram();
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  pid_t pid() const { return pid_; }
  // Whether the program has ended, without waiting for it.
  bool HasEnded();
  // Sends the signal, unless the program has already been waited for.
  void Kill(int signal);
  // Writes the bytes to standard input (input_channel Pipe) and leaves it open; Wait later feeds
  // the run's own input and closes it.
  void Feed(const std::string& bytes);
  // Ends standard input (input_channel Pipe), as a writer that closes its end.
  void CloseInput();
  // What standard output (output_channel File) holds so far.
  std::string OutputSoFar() const;
  Outcome Wait();

 private:
  struct Streams;

  Run run_;
  std::filesystem::path captures_;
  std::unique_ptr<Streams> streams_;
  pid_t pid_ = -1;
  double deadline_ = 0;
  int status_ = 0;
  bool reaped_ = false;
  bool waited_ = false;
};

// Whether this process may start the program as an unprivileged user.
bool CanRunUnprivileged();

// CR LF after each line, as the program writes its messages.
std::string Lines(const std::vector<std::string>& lines);

// The help screen that the program writes when it has no arguments: 18 lines, each with CR LF.
std::string HelpScreen();

// A process that holds FILE with `flock -x` until it is destroyed.
class HeldFile {
 public:
  explicit HeldFile(const std::string& name);
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

 private:
  pid_t pid_;
};

// Copies the built program into the scratch folder under NAME (folders on the way are made),
// executable by every user, and returns its full name: for runs whose program must lie in a
// folder of the case's own.
std::string CopyProgram(const Scratch& scratch, const std::string& name);

// Bytes that follow no short period and differ with the seed, so that a copy from the wrong place
// or of the wrong length shows.
std::string DistinctBytes(size_t n, unsigned seed);

// target.dat (300 bytes of 'T') and list.txt, whose eight entries put fix.bin ("AB") at offsets
// 0, 2, ..., 14: enough entries that their lines fill an output block, so that held lines would
// reach whatever file had taken the number of standard output.
struct BlockFillingRun {
  std::string target;
  std::string list;
};
BlockFillingRun WriteBlockFillingRun(const Scratch& scratch);

// A stretch of a file: its first byte and its length.
struct ByteRange {
  int64_t offset;
  int64_t length;
};

// Adds a test failure where `after` differs from `before` in length, or in any byte outside the
// ranges (the first such byte is named).
void ExpectUnchangedOutside(const std::string& before, const std::string& after,
                            const std::vector<ByteRange>& ranges);

}  // namespace tarnwick::e2e
