// The program with a fault plan: the same program as the real one, except that the system calls
// of the platform layer fail as the plan in TARNWICK_FAULT says, and that every call is listed in
// the file named by TARNWICK_FAULT_LOG. Built for tests only: the real program reads no
// environment.
//
// The plan is a comma-separated list of K:ACTION (the K-th call, counted from 1 across every entry
// of the table) or K+:ACTION (the K-th call and every one after it). ACTION is an error name
// (EIO, ENOSPC, EACCES, EINTR, EAGAIN, ...) or number, with which the call fails without being
// made (a close is made all the same: on Linux the descriptor is gone whatever close reports); or
// "short", which makes a read or write of more than one byte move only half of them.

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/syscalls.h"
#include "tests/fault/fault_log.h"

namespace tarnwick::fault {
namespace {

struct Fault {
  uint32_t call_number;
  bool onward;
  int error;  // 0 for a short transfer
};

std::vector<Fault> g_plan;
FaultLog g_unlogged;
FaultLog* g_log = &g_unlogged;
platform::SyscallTable g_real;

[[noreturn]] void RefusePlan(const std::string& why) {
  std::fprintf(stderr, "tarnwick-fault: %s\n", why.c_str());
  _exit(125);
}

int ErrorNamed(const std::string& name) {
  static constexpr struct {
    const char* name;
    int error;
  } kErrors[] = {{"EIO", EIO},       {"ENOSPC", ENOSPC},
                 {"EACCES", EACCES}, {"EPERM", EPERM},
                 {"EINTR", EINTR},   {"EAGAIN", EAGAIN},
                 {"ENOENT", ENOENT}, {"EBADF", EBADF},
                 {"EMFILE", EMFILE}, {"EPIPE", EPIPE},
                 {"EINVAL", EINVAL}, {"ENOMEM", ENOMEM},
                 {"EDQUOT", EDQUOT}, {"ENAMETOOLONG", ENAMETOOLONG}};
  for (const auto& known : kErrors) {
    if (name == known.name) return known.error;
  }
  if (name == "short") return 0;
  char* end = nullptr;
  const long number = std::strtol(name.c_str(), &end, 10);
  if (name.empty() || *end != '\0' || number <= 0 || number > 4095) {
    RefusePlan("no such error: " + name);
  }
  return static_cast<int>(number);
}

std::vector<Fault> ParsePlan(const std::string& text) {
  std::vector<Fault> plan;
  size_t start = 0;
  while (start < text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(start, comma - start);
    const size_t colon = item.find(':');
    if (colon == std::string::npos) RefusePlan("a fault is K:ACTION: " + item);
    std::string number = item.substr(0, colon);
    const bool onward = !number.empty() && number.back() == '+';
    if (onward) number.pop_back();
    char* end = nullptr;
    const unsigned long call_number = std::strtoul(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || call_number == 0 || call_number > UINT32_MAX) {
      RefusePlan("no such call number: " + item);
    }
    plan.push_back(
        {static_cast<uint32_t>(call_number), onward, ErrorNamed(item.substr(colon + 1))});
    start = comma + 1;
  }
  return plan;
}

// A log file mapped into memory survives the program's _exit; the mapping's own calls are made
// before the plan is in force and are not counted.
void MapLog(const char* name) {
  const int fd = open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ftruncate(fd, sizeof(FaultLog)) != 0) RefusePlan(std::string("no log ") + name);
  void* mapped = mmap(nullptr, sizeof(FaultLog), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) RefusePlan(std::string("no log ") + name);
  g_log = static_cast<FaultLog*>(mapped);
}

// Counts the call and tells whether the plan makes it fail.
std::optional<Fault> Decide(Call call, int fd) {
  const uint32_t number = ++g_log->calls;
  if (number <= kListedCalls) {
    g_log->call[number - 1] = call;
    g_log->fd[number - 1] = fd;
  }
  for (const Fault& fault : g_plan) {
    if (number == fault.call_number || (fault.onward && number > fault.call_number)) {
      if (g_log->first_fault == 0) g_log->first_fault = number;
      ++g_log->faults;
      return fault;
    }
  }
  return std::nullopt;
}

// The failure of a call that is not made; a short transfer is no failure for these.
template <typename Value>
bool Fails(const std::optional<Fault>& fault, Value& result) {
  if (!fault || fault->error == 0) return false;
  errno = fault->error;
  result = -1;
  return true;
}

size_t Shortened(const std::optional<Fault>& fault, size_t n) {
  return fault && fault->error == 0 && n > 1 ? n / 2 : n;
}

int Open(const char* path, int flags, mode_t mode) {
  int result;
  return Fails(Decide(Call::Open, -1), result) ? result : g_real.open(path, flags, mode);
}

int Close(int fd) {
  const std::optional<Fault> fault = Decide(Call::Close, fd);
  const int result = g_real.close(fd);
  int failed;
  return Fails(fault, failed) ? failed : result;
}

int Flock(int fd, int operation) {
  int result;
  return Fails(Decide(Call::Flock, fd), result) ? result : g_real.flock(fd, operation);
}

int Fcntl(int fd, int command, int argument) {
  int result;
  return Fails(Decide(Call::Fcntl, fd), result) ? result : g_real.fcntl(fd, command, argument);
}

int Fstat(int fd, struct stat* status) {
  int result;
  return Fails(Decide(Call::Fstat, fd), result) ? result : g_real.fstat(fd, status);
}

int Stat(const char* path, struct stat* status) {
  int result;
  return Fails(Decide(Call::Stat, -1), result) ? result : g_real.stat(path, status);
}

int BlockDeviceSize(int fd, uint64_t* size) {
  int result;
  return Fails(Decide(Call::BlockDeviceSize, fd), result) ? result
                                                          : g_real.block_device_size(fd, size);
}

ssize_t Read(int fd, void* buffer, size_t n) {
  const std::optional<Fault> fault = Decide(Call::Read, fd);
  ssize_t result;
  return Fails(fault, result) ? result : g_real.read(fd, buffer, Shortened(fault, n));
}

ssize_t Write(int fd, const void* buffer, size_t n) {
  const std::optional<Fault> fault = Decide(Call::Write, fd);
  ssize_t result;
  return Fails(fault, result) ? result : g_real.write(fd, buffer, Shortened(fault, n));
}

ssize_t Pread(int fd, void* buffer, size_t n, off_t position) {
  const std::optional<Fault> fault = Decide(Call::Pread, fd);
  ssize_t result;
  return Fails(fault, result) ? result : g_real.pread(fd, buffer, Shortened(fault, n), position);
}

ssize_t Pwrite(int fd, const void* buffer, size_t n, off_t position) {
  const std::optional<Fault> fault = Decide(Call::Pwrite, fd);
  ssize_t result;
  return Fails(fault, result) ? result : g_real.pwrite(fd, buffer, Shortened(fault, n), position);
}

ssize_t Readlink(const char* path, char* buffer, size_t n) {
  ssize_t result;
  return Fails(Decide(Call::Readlink, -1), result) ? result : g_real.readlink(path, buffer, n);
}

int Poll(struct pollfd* fds, nfds_t count, int timeout) {
  int result;
  return Fails(Decide(Call::Poll, count > 0 ? fds[0].fd : -1), result)
             ? result
             : g_real.poll(fds, count, timeout);
}

void InstallFaultPlan() {
  if (const char* log = std::getenv(kLogVariable); log != nullptr) MapLog(log);
  if (const char* plan = std::getenv(kPlanVariable); plan != nullptr) g_plan = ParsePlan(plan);
  g_real = platform::RealSyscalls();
  platform::Syscalls() = {
      .open = Open,
      .close = Close,
      .flock = Flock,
      .fcntl = Fcntl,
      .fstat = Fstat,
      .stat = Stat,
      .block_device_size = BlockDeviceSize,
      .read = Read,
      .write = Write,
      .pread = Pread,
      .pwrite = Pwrite,
      .readlink = Readlink,
      .poll = Poll,
  };
}

}  // namespace
}  // namespace tarnwick::fault

int main(int argc, char** argv) {
  tarnwick::fault::InstallFaultPlan();
  tarnwick::RunProgram(argc, argv);
}
