#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/syscalls.h"

namespace tarnwick::platform {
namespace {

constexpr int kStandardInput = 0;
constexpr int kStandardOutput = 1;
constexpr int kStandardError = 2;

// Standard descriptors that were closed when the process started. Their numbers are held by
// /dev/null from then on; the channels still behave as absent.
bool g_arrived_closed[3] = {false, false, false};

// A name holding byte 0 cannot reach the file system whole: cut short at that byte it would
// designate another file. Such a name designates nothing.
bool NameFitsFileSystem(const std::string& name) { return name.find('\0') == std::string::npos; }

// Waits until the descriptor can move bytes again; for descriptors that arrived non-blocking.
int WaitUntilReady(int fd, short events) {
  pollfd request = {.fd = fd, .events = events, .revents = 0};
  while (Syscalls().poll(&request, 1, -1) < 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// One read or write, retried while interrupted or not yet ready. Value: the count, or -1 with
// the error.
template <typename Transfer>
Result TransferOnce(int fd, short events, Transfer transfer) {
  for (;;) {
    const ssize_t moved = transfer();
    if (moved >= 0) return {moved, 0};
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return {0, errno};
    if (const int error = WaitUntilReady(fd, events); error != 0) return {0, error};
  }
}

// Takes the hold that keeps other opens away, then makes the descriptor blocking again: it was
// opened non-blocking only so that a FIFO or device could not make the open wait.
Result HoldOpened(int fd, int lock) {
  if (Syscalls().flock(fd, lock | LOCK_NB) != 0 || Syscalls().fcntl(fd, F_SETFL, 0) != 0) {
    const int error = errno;
    Syscalls().close(fd);
    return {0, error};
  }
  return {fd, 0};
}

Result OpenAndHold(const std::string& name, int flags, int lock) {
  if (!NameFitsFileSystem(name)) return {0, EINVAL};
  const int fd = Syscalls().open(name.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return {0, errno};
  return HoldOpened(fd, lock);
}

// A descriptor that cannot even be looked at counts as closed, whatever the error: its number may
// be free, and a file of the run that took it would receive the messages meant for the channel.
bool DescriptorIsClosed(int fd) { return Syscalls().fcntl(fd, F_GETFD, 0) < 0; }

}  // namespace

void PrepareProcess() {
  signal(SIGPIPE, SIG_IGN);
  for (int fd = kStandardInput; fd <= kStandardError; ++fd) {
    if (!DescriptorIsClosed(fd)) continue;
    g_arrived_closed[fd] = true;
    // The lowest free number is taken, and the lower standard ones are in use by now. A spare
    // that lands elsewhere means that this descriptor was open after all, only its look failed:
    // it would hold a higher standard number that may be free, so it goes.
    const int held = Syscalls().open("/dev/null", O_RDWR | O_CLOEXEC, 0);
    if (held >= 0 && held != fd) Syscalls().close(held);
  }
}

std::string OwnExecutablePath() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = Syscalls().readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < path.size()) {
      path.resize(static_cast<size_t>(length));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string OwnModuleName() {
  const std::string path = OwnExecutablePath();
  // Without the path, the name that the program was started by, so that the report still names
  // a module.
  if (path.empty()) return program_invocation_short_name;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

struct ImageSearch {
  uintptr_t address;
  uintptr_t image_start;
  bool found;
};

int FindImageHolding(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<ImageSearch*>(data);
  uintptr_t lowest = UINTPTR_MAX;
  bool holds = false;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (start < lowest) lowest = start;
    if (search->address >= start && search->address < start + segment.p_memsz) holds = true;
  }
  if (!holds) return 0;
  search->image_start = lowest;
  search->found = true;
  return 1;
}

}  // namespace

uint64_t ImageOffsetOf(const void* address) {
  ImageSearch search = {reinterpret_cast<uintptr_t>(address), 0, false};
  dl_iterate_phdr(FindImageHolding, &search);
  return search.found ? search.address - search.image_start : search.address;
}

// A normal exit, with nothing of the program's own left to flush, so that leak checkers see the
// end of the process.
void ExitProcess(int status) { exit(status); }

NameKind LookUpName(const std::string& name) {
  struct stat status;
  if (!NameFitsFileSystem(name) || Syscalls().stat(name.c_str(), &status) != 0) {
    return NameKind::Absent;
  }
  return S_ISDIR(status.st_mode) ? NameKind::Directory : NameKind::Other;
}

StreamKind StandardOutputKind() {
  struct stat status;
  if (g_arrived_closed[kStandardOutput] || Syscalls().fstat(kStandardOutput, &status) != 0) {
    return StreamKind::Absent;
  }
  return S_ISCHR(status.st_mode) ? StreamKind::CharacterDevice : StreamKind::FileOrPipe;
}

int WriteStandardOutput(const char* bytes, size_t n) {
  while (n > 0) {
    const Result written = TransferOnce(
        kStandardOutput, POLLOUT, [&] { return Syscalls().write(kStandardOutput, bytes, n); });
    if (written.error != 0) return written.error;
    if (written.value == 0) return ShortTransferError();
    bytes += written.value;
    n -= static_cast<size_t>(written.value);
  }
  return 0;
}

bool StandardInputIsOpen() {
  struct stat status;
  return !g_arrived_closed[kStandardInput] && Syscalls().fstat(kStandardInput, &status) == 0;
}

Result ReadStandardInputByte(char* byte) {
  return TransferOnce(kStandardInput, POLLIN,
                      [&] { return Syscalls().read(kStandardInput, byte, 1); });
}

void WriteStandardError(const char* bytes, size_t n) {
  if (g_arrived_closed[kStandardError]) return;
  [[maybe_unused]] const ssize_t ignored = Syscalls().write(kStandardError, bytes, n);
}

ErrorMeaning MeaningOf(int error) {
  switch (error) {
    case ENOENT:
      return ErrorMeaning::FileNotFound;
    case ENAMETOOLONG:
      return ErrorMeaning::InvalidFilename;
    case EMFILE:
    case ENFILE:
      return ErrorMeaning::TooManyOpenFiles;
    case EACCES:
    case EPERM:
      return ErrorMeaning::AccessDenied;
    case ENOSPC:
    case EDQUOT:
      return ErrorMeaning::DiskFull;
    default:
      return ErrorMeaning::Other;
  }
}

int ShortTransferError() { return EIO; }

Result OpenSharedForReading(const std::string& name) {
  return OpenAndHold(name, O_RDONLY, LOCK_SH);
}

Result OpenExclusive(const std::string& name, Access access) {
  return OpenAndHold(name, access == Access::Read ? O_RDONLY : O_RDWR, LOCK_EX);
}

Result CreateExclusive(const std::string& name) {
  return OpenAndHold(name, O_RDWR | O_CREAT | O_EXCL, LOCK_EX);
}

Result ReadSome(int fd, char* buffer, size_t n) {
  const Result read = TransferOnce(fd, POLLIN, [&] { return Syscalls().read(fd, buffer, n); });
  return read.error == EPIPE ? Result{0, 0} : read;
}

Result ReadAt(int fd, int64_t position, char* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    const Result read = TransferOnce(fd, POLLIN, [&] {
      return Syscalls().pread(fd, buffer + done, n - done,
                              static_cast<off_t>(position + static_cast<int64_t>(done)));
    });
    if (read.error != 0) return {static_cast<int64_t>(done), read.error};
    if (read.value == 0) break;
    done += static_cast<size_t>(read.value);
  }
  return {static_cast<int64_t>(done), 0};
}

Result WriteAt(int fd, int64_t position, const char* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    const Result written = TransferOnce(fd, POLLOUT, [&] {
      return Syscalls().pwrite(fd, buffer + done, n - done,
                               static_cast<off_t>(position + static_cast<int64_t>(done)));
    });
    if (written.error != 0) return {static_cast<int64_t>(done), written.error};
    if (written.value == 0) return {static_cast<int64_t>(done), ShortTransferError()};
    done += static_cast<size_t>(written.value);
  }
  return {static_cast<int64_t>(done), 0};
}

Result SizeOf(int fd) {
  struct stat status;
  if (Syscalls().fstat(fd, &status) != 0) return {0, errno};
  if (S_ISREG(status.st_mode)) return {status.st_size, 0};
  if (!S_ISBLK(status.st_mode)) return {0, 0};
  uint64_t capacity = 0;
  if (Syscalls().block_device_size(fd, &capacity) != 0) return {0, errno};
  return {static_cast<int64_t>(capacity), 0};
}

int Close(int fd) {
  // On Linux the descriptor is gone even when close reports EINTR: never retried.
  return Syscalls().close(fd) == 0 ? 0 : errno;
}

}  // namespace tarnwick::platform
