#include "app/console.h"

#include <algorithm>
#include <cstring>

#include "app/failure.h"
#include "platform/platform.h"

namespace tarnwick {
namespace {

constexpr size_t kBlockSize = 128;

struct OutputChannel {
  bool open = false;
  bool per_line = false;
  size_t fill = 0;
  char block[kBlockSize];
};

OutputChannel g_output;

// The channel opens at the first write that finds a standard output; until then each write tries
// again and fails with the channel's own code.
bool OpenOutputIfNeeded() {
  if (g_output.open) return true;
  const platform::StreamKind kind = platform::StandardOutputKind();
  if (kind == platform::StreamKind::Absent) {
    StorePendingIoCode(kOutputChannelNotOpen);
    return false;
  }
  g_output.open = true;
  g_output.per_line = kind == platform::StreamKind::CharacterDevice;
  g_output.fill = 0;
  return true;
}

// The block is emptied whether or not the system took it: bytes that failed are lost.
bool HandOverBlock() {
  if (g_output.fill == 0) return true;
  const int error = platform::WriteStandardOutput(g_output.block, g_output.fill);
  g_output.fill = 0;
  if (error == 0) return true;
  StorePendingIoCode(error);
  return false;
}

// A failed hand-over drops the rest of the bytes.
void PutBytes(std::string_view bytes) {
  if (!OpenOutputIfNeeded()) return;
  while (!bytes.empty()) {
    const size_t take = std::min(kBlockSize - g_output.fill, bytes.size());
    std::memcpy(g_output.block + g_output.fill, bytes.data(), take);
    g_output.fill += take;
    bytes.remove_prefix(take);
    if (g_output.fill == kBlockSize && !HandOverBlock()) return;
  }
}

}  // namespace

void WriteMessage(std::string_view text) {
  PutBytes(text);
  PutBytes("\r\n");
  if (g_output.open && g_output.per_line) HandOverBlock();
  CheckIo();
}

bool StandardOutputIsOpen() { return g_output.open; }

void HandOverHeldOutput() {
  if (g_output.open) HandOverBlock();
}

void ResetStandardOutputForTesting() { g_output = OutputChannel{}; }

}  // namespace tarnwick
