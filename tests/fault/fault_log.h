#pragma once

// What the fault-injecting build of the program tells the test that drives it: every system call
// that went through the platform layer's table, in order, and which of them were made to fail.
// The program keeps it in a file mapped into memory, so that it survives an end of the process
// that runs no exit handlers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::fault {

// The entries of the platform layer's system-call table, in table order.
enum class Call : uint8_t {
  Open,
  Close,
  Flock,
  Fcntl,
  Fstat,
  Stat,
  BlockDeviceSize,
  Read,
  Write,
  Pread,
  Pwrite,
  Readlink,
  Poll,
};

const char* CallName(Call call);

// Calls past this many are counted but not listed.
constexpr size_t kListedCalls = 1 << 16;

// The layout of the mapped file.
struct FaultLog {
  uint32_t calls;            // calls counted so far
  uint32_t faults;           // faults injected so far
  uint32_t first_fault;      // the number (from 1) of the first call made to fail, or 0
  Call call[kListedCalls];   // each call's entry
  int32_t fd[kListedCalls];  // its descriptor, -1 for a call by name
};

// The variables that the fault-injecting build reads, and nothing else does.
constexpr const char* kPlanVariable = "TARNWICK_FAULT";
constexpr const char* kLogVariable = "TARNWICK_FAULT_LOG";

struct CallRecord {
  Call call;
  int fd;  // -1 for a call by name
};

// What a run left in its log.
struct RecordedCalls {
  uint32_t calls = 0;
  uint32_t faults = 0;
  uint32_t first_fault = 0;
  std::vector<CallRecord> listed;  // the first calls, up to kListedCalls
};

// Reads the log that a run left; nothing counted when the file holds none.
RecordedCalls ReadFaultLog(const std::string& name);

}  // namespace tarnwick::fault
