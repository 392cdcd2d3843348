// The patch list reader against the line rules written another way. The fuzzed bytes become a
// patch list file, read as a run reads it (the size line, then two lines while AtEnd is false);
// the lines must be the ones the rules give. The first byte, when odd, also makes every read of
// the file return at most a few bytes, so that line ends fall across buffer edges. Watched
// through the system-call table: no read asks for more than 128 bytes, and none follows the end
// of the file or the read that brought the Ctrl-Z.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/failure.h"
#include "fuzz/reference_model.h"
#include "fuzz/scratch_folder.h"
#include "patchlist/patch_list_reader.h"
#include "platform/syscalls.h"

namespace {

struct ReadWatch {
  int fd = -1;
  size_t limit = 0;    // 0: reads as the system gives them
  bool ended = false;  // a read returned 0 or brought a Ctrl-Z
  const char* broken = nullptr;
};

ReadWatch g_watch;
std::string g_list_name;

// The reader's own descriptor is the one that the open of the list returns.
int WatchedOpen(const char* path, int flags, mode_t mode) {
  const int fd = tarnwick::platform::RealSyscalls().open(path, flags, mode);
  if (path == g_list_name) g_watch.fd = fd;
  return fd;
}

ssize_t WatchedRead(int fd, void* buffer, size_t n) {
  const auto real = tarnwick::platform::RealSyscalls().read;
  if (fd != g_watch.fd) return real(fd, buffer, n);
  if (n > 128) g_watch.broken = "a read of more than 128 bytes";
  if (g_watch.ended) g_watch.broken = "a read after the end of the data";
  const ssize_t got = real(fd, buffer, g_watch.limit == 0 ? n : std::min(n, g_watch.limit));
  if (got == 0 ||
      (got > 0 &&
       std::string_view(static_cast<char*>(buffer), static_cast<size_t>(got)).find('\x1a') !=
           std::string_view::npos)) {
    g_watch.ended = true;
  }
  return got;
}

[[noreturn]] void Fail(const char* what, std::string_view bytes) {
  std::fprintf(stderr, "patch list reader: %s, for %zu bytes\n", what, bytes.size());
  std::abort();
}

std::string ListFile() { return (tarnwick::fuzz::ScratchFolder() / "list.txt").string(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string name = ListFile();
  FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    std::abort();
  }
  std::fclose(file);

  g_list_name = name;
  tarnwick::platform::Syscalls().open = WatchedOpen;
  tarnwick::platform::Syscalls().read = WatchedRead;
  g_watch = {};
  g_watch.limit = size > 0 && (data[0] & 1) ? 1 + (data[0] >> 1) % 9 : 0;

  std::vector<std::string> lines;
  {
    tarnwick::PatchListReader list;
    list.OpenList(name);
    lines.push_back(list.NextLine());
    while (!list.AtEnd()) {
      lines.push_back(list.NextLine());
      lines.push_back(list.NextLine());
    }
    // Past the end every line is empty, and the end stays met.
    if (!list.NextLine().empty() || !list.AtEnd()) Fail("the end of the data did not stay", bytes);
    list.CloseList();
  }
  tarnwick::platform::Syscalls() = tarnwick::platform::RealSyscalls();

  if (g_watch.broken != nullptr) Fail(g_watch.broken, bytes);
  if (tarnwick::PendingIoCode() != 0) Fail("a code left pending", bytes);
  if (lines != tarnwick::fuzz::ReferenceLines(bytes))
    Fail("other lines than the rules give", bytes);
  return 0;
}
