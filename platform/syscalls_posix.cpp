#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/syscalls.h"

namespace tarnwick::platform {
namespace {

int OpenFile(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int ControlFile(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }
int BlockDeviceSize(int fd, uint64_t* size) { return ::ioctl(fd, BLKGETSIZE64, size); }

constexpr SyscallTable kRealSyscalls = {
    .open = OpenFile,
    .close = ::close,
    .flock = ::flock,
    .fcntl = ControlFile,
    .fstat = ::fstat,
    .stat = ::stat,
    .block_device_size = BlockDeviceSize,
    .read = ::read,
    .write = ::write,
    .pread = ::pread,
    .pwrite = ::pwrite,
    .readlink = ::readlink,
    .poll = ::poll,
};

SyscallTable g_syscalls = kRealSyscalls;

}  // namespace

SyscallTable& Syscalls() { return g_syscalls; }
const SyscallTable& RealSyscalls() { return kRealSyscalls; }

}  // namespace tarnwick::platform
