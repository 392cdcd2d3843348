#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

// The system calls that the platform layer makes, as a table of entry points. The real table
// calls the system; a test may replace any entry (to fail the k-th call with a chosen error, say)
// and so drive every error path of the program without a broken disk. Each entry behaves like the
// system call it names: -1 and errno on failure.
namespace tarnwick::platform {

struct SyscallTable {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  int (*flock)(int fd, int operation);
  int (*fcntl)(int fd, int command, int argument);
  int (*fstat)(int fd, struct stat* status);
  int (*stat)(const char* path, struct stat* status);
  int (*block_device_size)(int fd, uint64_t* size);
  ssize_t (*read)(int fd, void* buffer, size_t n);
  ssize_t (*write)(int fd, const void* buffer, size_t n);
  ssize_t (*pread)(int fd, void* buffer, size_t n, off_t position);
  ssize_t (*pwrite)(int fd, const void* buffer, size_t n, off_t position);
  ssize_t (*readlink)(const char* path, char* buffer, size_t n);
  int (*poll)(struct pollfd* fds, nfds_t count, int timeout);
};

// The table in force. Tests change its entries and put them back.
SyscallTable& Syscalls();

// The table that calls the system.
const SyscallTable& RealSyscalls();

}  // namespace tarnwick::platform
