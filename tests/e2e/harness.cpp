#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

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
  int child_fd = -1;        // what the child gets as its descriptor (-1: closed)
  int harness_fd = -1;      // the harness's end of a pipe, or -1
  std::string file;         // a capture file to read afterwards, or empty
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
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : run.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
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
    if (!it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

std::string Scratch::Write(const std::string& name, const std::string& bytes) const {
  const fs::path full = path_ / name;
  fs::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary | std::ios::trunc) << bytes;
  return full.string();
}

std::string Scratch::Read(const std::string& name) const { return ReadWholeFile((path_ / name).string()); }

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
  const fs::path captures = MakeTemporaryFolder("tarnwick-e2e-io");
  ChildStream streams[3] = {
      InputStream(run.input_channel, run.input, captures / "stdin"),
      OutputStream(run.output_channel, captures / "stdout"),
      OutputStream(run.error_channel, captures / "stderr"),
  };
  const std::string program = run.program.empty() ? ProgramPath() : run.program;
  const std::string folder =
      run.working_folder.empty() ? scratch.path().string() : run.working_folder;

  const pid_t child = fork();
  Require(child >= 0, "fork");
  if (child == 0) ExecChild(streams, run, program, folder);
  for (ChildStream& stream : streams) {
    if (stream.child_fd >= 0) close(stream.child_fd);
  }

  Outcome outcome;
  int status = 0;
  Converse(child, streams, run.input, Now() + run.timeout_seconds, outcome, status);
  if (waitpid(child, &status, WNOHANG) == 0) {
    outcome.timed_out = true;
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  for (ChildStream& stream : streams) {
    if (stream.harness_fd >= 0) close(stream.harness_fd);
  }
  if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  if (!streams[1].file.empty()) outcome.output = ReadWholeFile(streams[1].file);
  if (!streams[2].file.empty()) outcome.error = ReadWholeFile(streams[2].file);
  std::error_code ignored;
  fs::remove_all(captures, ignored);
  return outcome;
}

bool CanRunUnprivileged() { return geteuid() == 0; }

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
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

}  // namespace tarnwick::e2e
