#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/distinct_bytes.h"

namespace tarnwick::e2e {
namespace fs = std::filesystem;
namespace {

fs::path MakeTemporaryFolder(const char* stem) {
  std::string pattern = (fs::temp_directory_path() / stem).string() + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void Require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// How one standard descriptor of the child is set up, from the harness's side.
struct ChildStream {
  int child_fd = -1;    // what the child gets as its descriptor (-1: closed)
  int harness_fd = -1;  // the harness's end of a pipe, or -1
  std::string file;     // a capture file to read afterwards, or empty
};

ChildStream OutputStream(Channel channel, const fs::path& capture) {
  ChildStream stream;
  switch (channel) {
    case Channel::File:
      stream.file = capture.string();
      stream.child_fd = open(stream.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      Require(stream.child_fd >= 0, "open capture");
      break;
    case Channel::Pipe:
    case Channel::BrokenPipe: {
      int ends[2];
      Require(pipe2(ends, O_CLOEXEC) == 0, "pipe");
      stream.child_fd = ends[1];
      if (channel == Channel::BrokenPipe) {
        close(ends[0]);
      } else {
        stream.harness_fd = ends[0];
      }
      break;
    }
    case Channel::Closed:
    case Channel::SameAsOutput:  // set up by the caller, from standard output's stream
      break;
    case Channel::DevNull:
    case Channel::DevFull:
      stream.child_fd =
          open(channel == Channel::DevNull ? "/dev/null" : "/dev/full", O_WRONLY | O_CLOEXEC);
      Require(stream.child_fd >= 0, "open device");
      break;
  }
  return stream;
}

ChildStream InputStream(Channel channel, const std::string& input, const fs::path& capture) {
  ChildStream stream;
  switch (channel) {
    case Channel::File: {
      std::ofstream(capture, std::ios::binary) << input;
      stream.child_fd = open(capture.c_str(), O_RDONLY | O_CLOEXEC);
      Require(stream.child_fd >= 0, "open input");
      break;
    }
    case Channel::Pipe:
    case Channel::BrokenPipe: {
      int ends[2];
      Require(pipe2(ends, O_CLOEXEC) == 0, "pipe");
      stream.child_fd = ends[0];
      stream.harness_fd = ends[1];
      fcntl(ends[1], F_SETFL, O_NONBLOCK);
      break;
    }
    case Channel::Closed:
      break;
    case Channel::SameAsOutput:
      throw std::invalid_argument("standard input cannot be standard output");
    case Channel::DevNull:
    case Channel::DevFull:
      stream.child_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      Require(stream.child_fd >= 0, "open /dev/null");
      break;
  }
  return stream;
}

std::string ReadWholeFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Later options override earlier ones, so the harness's own come last.
void AppendOptions(const char* variable, const std::string& options) {
  const char* existing = getenv(variable);
  const std::string value =
      existing == nullptr || *existing == '\0' ? options : std::string(existing) + ":" + options;
  setenv(variable, value.c_str(), 1);
}

// In the child, before the program starts: the run's own variables, and sanitizer findings made
// to end the program at once with statuses of their own (their default, 1, is the program's).
void PrepareEnvironment(const Run& run) {
  AppendOptions("ASAN_OPTIONS", "halt_on_error=1:abort_on_error=0:exitcode=" +
                                    std::to_string(kAddressSanitizerStatus));
  AppendOptions("UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1:exitcode=" +
                                     std::to_string(kUndefinedBehaviorStatus));
  for (const std::string& entry : run.environment) putenv(const_cast<char*>(entry.c_str()));
}

// In the child: puts each stream on its standard number, closing the ones that are to be closed.
[[noreturn]] void ExecChild(const ChildStream (&streams)[3], const Run& run,
                            const std::string& program, const std::string& folder) {
  int moved[3];
  for (int i = 0; i < 3; ++i) moved[i] = streams[i].child_fd >= 0 ? dup(streams[i].child_fd) : -1;
  for (int i = 0; i < 3; ++i) {
    if (moved[i] >= 0) {
      dup2(moved[i], i);
      close(moved[i]);
    } else {
      close(i);
    }
  }
  if (chdir(folder.c_str()) != 0) _exit(126);
  if (run.unprivileged &&
      (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(126);
  }
  PrepareEnvironment(run);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : run.arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

// Feeds the input pipe and drains the output pipes until the child ends or time runs out.
void Converse(pid_t child, ChildStream (&streams)[3], const std::string& input, double deadline,
              Outcome& outcome, int& status) {
  size_t fed = 0;
  std::string* sinks[3] = {nullptr, &outcome.output, &outcome.error};
  for (;;) {
    if (streams[0].harness_fd >= 0 && fed == input.size()) {
      close(streams[0].harness_fd);
      streams[0].harness_fd = -1;
    }
    pollfd polls[3];
    nfds_t count = 0;
    int which[3];
    for (int i = 0; i < 3; ++i) {
      if (streams[i].harness_fd < 0) continue;
      polls[count] = {streams[i].harness_fd, static_cast<short>(i == 0 ? POLLOUT : POLLIN), 0};
      which[count++] = i;
    }
    if (count == 0) {
      // Only the exit remains to wait for.
      while (waitpid(child, &status, WNOHANG) == 0) {
        if (Now() > deadline) return;
        usleep(2000);
      }
      return;
    }
    const int wait_ms = static_cast<int>(std::max(0.0, deadline - Now()) * 1000) + 1;
    if (poll(polls, count, std::min(wait_ms, 100)) < 0 && errno != EINTR) return;
    if (Now() > deadline) return;
    for (nfds_t p = 0; p < count; ++p) {
      const int i = which[p];
      if (polls[p].revents == 0) continue;
      if (i == 0) {
        const ssize_t n = write(streams[0].harness_fd, input.data() + fed, input.size() - fed);
        if (n > 0) fed += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) fed = input.size();
        continue;
      }
      char buffer[65536];
      const ssize_t n = read(streams[i].harness_fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(streams[i].harness_fd);
        streams[i].harness_fd = -1;
      }
    }
  }
}

}  // namespace

Scratch::Scratch() : path_(MakeTemporaryFolder("tarnwick-e2e")) {}

Scratch::~Scratch() {
  std::error_code ignored;
  // Leave nothing behind, read-only files and folders included.
  fs::permissions(path_, fs::perms::all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

std::string Scratch::Write(const std::string& name, const std::string& bytes) const {
  const fs::path full = path_ / name;
  fs::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary | std::ios::trunc) << bytes;
  return full.string();
}

std::string Scratch::Read(const std::string& name) const {
  return ReadWholeFile((path_ / name).string());
}

bool Scratch::Exists(const std::string& name) const {
  std::error_code ignored;
  return fs::symlink_status(path_ / name, ignored).type() != fs::file_type::not_found;
}

void Scratch::OpenToEveryone() const {
  fs::permissions(path_, fs::perms::all, fs::perm_options::add);
  for (const auto& entry : fs::recursive_directory_iterator(path_)) {
    if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add);
  }
}

std::string ProgramPath() { return TARNWICK_PROGRAM; }

Outcome RunProgram(const Scratch& scratch, const Run& run) {
  return StartedProgram(scratch, run).Wait();
}

struct StartedProgram::Streams {
  ChildStream at[3];
};

StartedProgram::StartedProgram(const Scratch& scratch, const Run& run)
    : run_(run),
      captures_(MakeTemporaryFolder("tarnwick-e2e-io")),
      streams_(new Streams{{
          InputStream(run.input_channel, run.input, captures_ / "stdin"),
          OutputStream(run.output_channel, captures_ / "stdout"),
          OutputStream(run.error_channel, captures_ / "stderr"),
      }}) {
  if (run.error_channel == Channel::SameAsOutput && streams_->at[1].child_fd >= 0) {
    streams_->at[2].child_fd = fcntl(streams_->at[1].child_fd, F_DUPFD_CLOEXEC, 0);
    Require(streams_->at[2].child_fd >= 0, "dup standard output");
  }
  const std::string program = run.program.empty() ? ProgramPath() : run.program;
  const std::string folder =
      run.working_folder.empty() ? scratch.path().string() : run.working_folder;

  pid_ = fork();
  Require(pid_ >= 0, "fork");
  if (pid_ == 0) ExecChild(streams_->at, run_, program, folder);
  deadline_ = Now() + run.timeout_seconds;
  for (ChildStream& stream : streams_->at) {
    if (stream.child_fd >= 0) close(stream.child_fd);
    stream.child_fd = -1;
  }
}

StartedProgram::~StartedProgram() {
  if (!waited_) {
    if (!reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (ChildStream& stream : streams_->at) {
      if (stream.harness_fd >= 0) close(stream.harness_fd);
    }
  }
  std::error_code ignored;
  fs::remove_all(captures_, ignored);
}

bool StartedProgram::HasEnded() {
  if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return reaped_;
}

void StartedProgram::Kill(int signal) {
  if (!reaped_) kill(pid_, signal);
}

void StartedProgram::Feed(const std::string& bytes) {
  const int fd = streams_->at[0].harness_fd;
  if (fd < 0) throw std::logic_error("standard input is no open pipe");
  size_t fed = 0;
  while (fed < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + fed, bytes.size() - fed);
    if (n > 0) {
      fed += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      Require(false, "feed standard input");
    } else {
      usleep(1000);
    }
  }
}

void StartedProgram::CloseInput() {
  ChildStream& input = streams_->at[0];
  if (input.harness_fd >= 0) close(input.harness_fd);
  input.harness_fd = -1;
}

std::string StartedProgram::OutputSoFar() const { return ReadWholeFile(streams_->at[1].file); }

Outcome StartedProgram::Wait() {
  Outcome outcome;
  if (waited_) throw std::logic_error("a started program is waited for once");
  waited_ = true;
  ChildStream(&streams)[3] = streams_->at;
  int status = status_;
  Converse(pid_, streams, run_.input, deadline_, outcome, status);
  if (!reaped_ && waitpid(pid_, &status, WNOHANG) == 0) {
    outcome.timed_out = true;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  reaped_ = true;
  for (ChildStream& stream : streams) {
    if (stream.harness_fd >= 0) close(stream.harness_fd);
    stream.harness_fd = -1;
  }
  if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  if (!streams[1].file.empty()) outcome.output = ReadWholeFile(streams[1].file);
  if (!streams[2].file.empty()) outcome.error = ReadWholeFile(streams[2].file);
  return outcome;
}

bool CanRunUnprivileged() { return geteuid() == 0; }

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string HelpScreen() {
  return Lines({
      "",
      "Patches any file. To create a patch data, you must define a text document with structure "
      "like this:",
      "",
      "{Size of target file}",
      "{First offset for patch}",
      "{First filename} (with actually data to be written on <First offset>)",
      "{Second offset}",
      "{Second filename}",
      ". . .",
      "",
      "It means that Tarnwick will read that TXT and write all indicated files to target file "
      "with specified offsets.",
      "If any (<offset>+size of <filename>) exceeds <size of target file> than that action is "
      "ignored.",
      "Also if <filename> does not exists. But reading error may terminate program!",
      "If <size of target file> is different from real size of patching file, than all operation "
      "are aborted.",
      "Usage: Just drag-and-drop target file to this program! In this case TXT will be "
      "interpreted as (<Tarnwick real filename>+.txt)",
      "But if you wish to change name of list, you must use second command line parameter:",
      "Tarnwick.exe <Target file> <TXT list file>",
      "If you specify any third parameter, patch will be <reverse> and will write to its files "
      "rather then read from.",
  });
}

HeldFile::HeldFile(const std::string& name) {
  int ready[2];
  Require(pipe2(ready, O_CLOEXEC) == 0, "pipe");
  pid_ = fork();
  Require(pid_ >= 0, "fork");
  if (pid_ == 0) {
    const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char byte;
  const bool held = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (!held) throw std::runtime_error("could not hold " + name);
}

HeldFile::~HeldFile() {
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string CopyProgram(const Scratch& scratch, const std::string& name) {
  const fs::path full = scratch.path() / name;
  fs::create_directories(full.parent_path());
  fs::copy_file(ProgramPath(), full, fs::copy_options::overwrite_existing);
  fs::permissions(full, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  return full.string();
}

BlockFillingRun WriteBlockFillingRun(const Scratch& scratch) {
  BlockFillingRun run = {std::string(300, 'T'), "300\n"};
  for (int offset = 0; offset < 16; offset += 2) run.list += std::to_string(offset) + "\nfix.bin\n";
  scratch.Write("target.dat", run.target);
  scratch.Write("list.txt", run.list);
  scratch.Write("fix.bin", "AB");
  return run;
}

std::string DistinctBytes(size_t n, unsigned seed) { return test_support::DistinctBytes(n, seed); }

void ExpectUnchangedOutside(const std::string& before, const std::string& after,
                            const std::vector<ByteRange>& ranges) {
  EXPECT_EQ(after.size(), before.size()) << "the file's length changed";
  const size_t common = std::min(before.size(), after.size());
  for (size_t i = 0; i < common; ++i) {
    const auto position = static_cast<int64_t>(i);
    const bool inside = std::any_of(ranges.begin(), ranges.end(), [&](const ByteRange& range) {
      return position >= range.offset && position - range.offset < range.length;
    });
    if (!inside && before[i] != after[i]) {
      ADD_FAILURE() << "byte " << i << " outside the patched ranges changed";
      return;
    }
  }
}

}  // namespace tarnwick::e2e
