#pragma once

// Runs the built program as a separate process in a scratch folder, with chosen standard input,
// output and error, and gives back its bytes, its exit status and the files around it.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
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
  File,        // a regular file in the scratch folder (the default)
  Pipe,        // a pipe read (or, for input, written) by the harness
  Closed,      // the descriptor is closed in the program
  DevNull,     // /dev/null, a character device
  DevFull,     // /dev/full: every write fails with ENOSPC
  BrokenPipe,  // a pipe whose reader has already gone
};

struct Run {
  std::vector<std::string> arguments;  // after the program's own name
  std::string input;                   // the bytes on standard input (File or Pipe)
  Channel input_channel = Channel::File;
  Channel output_channel = Channel::File;
  Channel error_channel = Channel::File;
  std::string program;          // empty: the built program
  std::string working_folder;   // empty: the scratch folder
  bool unprivileged = false;    // run as nobody (needs root; see CanRunUnprivileged)
  double timeout_seconds = 20;  // killed and reported as timed out past this
};

struct Outcome {
  std::string output;  // standard output's bytes (File or Pipe)
  std::string error;   // standard error's bytes (File or Pipe)
  int exit_status = -1;
  int signal = 0;  // the signal that ended it, or 0
  bool timed_out = false;
};

// The built program's full name.
std::string ProgramPath();

// Runs the program in the scratch folder and waits for its end.
Outcome RunProgram(const Scratch& scratch, const Run& run);

// Whether this process may start the program as an unprivileged user.
bool CanRunUnprivileged();

// CR LF after each line, as the program writes its messages.
std::string Lines(const std::vector<std::string>& lines);

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

}  // namespace tarnwick::e2e
