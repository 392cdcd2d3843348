#include "tests/fault/fault_log.h"

#include <algorithm>
#include <fstream>
#include <memory>

namespace tarnwick::fault {

const char* CallName(Call call) {
  static constexpr const char* kNames[] = {
      "open", "close", "flock", "fcntl",  "fstat",    "stat", "block_device_size",
      "read", "write", "pread", "pwrite", "readlink", "poll"};
  return kNames[static_cast<size_t>(call)];
}

RecordedCalls ReadFaultLog(const std::string& name) {
  RecordedCalls recorded;
  const auto log = std::make_unique<FaultLog>();
  std::ifstream in(name, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(log.get()), sizeof(FaultLog))) return recorded;
  recorded.calls = log->calls;
  recorded.faults = log->faults;
  recorded.first_fault = log->first_fault;
  const size_t listed = std::min<size_t>(log->calls, kListedCalls);
  for (size_t i = 0; i < listed; ++i) recorded.listed.push_back({log->call[i], log->fd[i]});
  return recorded;
}

}  // namespace tarnwick::fault
