#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The one seam between Tarnwick and the operating system: nothing outside platform/ includes a
// system header or calls the system.
//
// Contract of every call that can fail: the result's `error` is the system's own error number, 0
// on success; the layer above decides whether that is raised or stored. Interrupted calls are
// retried and partial transfers continued here, so that no caller repeats that loop. Descriptors
// are plain ints owned by the caller.
namespace tarnwick::platform {

struct Result {
  int64_t value = 0;
  int error = 0;
};

// --- Process -------------------------------------------------------------------------------

// Makes the process safe to run: a write to a pipe whose reader has gone fails with EPIPE instead
// of killing the process, and a standard descriptor that arrived closed is remembered as absent
// and its number held by /dev/null, so that no file the run opens can take it.
void PrepareProcess();

// The full path of the running executable, unchanged; empty when the system cannot tell it.
std::string OwnExecutablePath();

// The file name, without its folders, of the running executable.
std::string OwnModuleName();

// The distance of a code address from the start of the loaded program image.
uint64_t ImageOffsetOf(const void* address);

[[noreturn]] void ExitProcess(int status);

// --- Names -----------------------------------------------------------------------------------

enum class NameKind { Absent, Directory, Other };

// Looks the name up (symbolic links followed). Absent for every reason a lookup can fail. Never
// fails, opens and changes nothing.
NameKind LookUpName(const std::string& name);

// --- Console ---------------------------------------------------------------------------------

enum class StreamKind { Absent, CharacterDevice, FileOrPipe };

StreamKind StandardOutputKind();

// Writes all n bytes to standard output; the error of the call that could not go on.
int WriteStandardOutput(const char* bytes, size_t n);

bool StandardInputIsOpen();

// Reads at most one byte of standard input: value 1 for a byte, 0 at the end of the input.
Result ReadStandardInputByte(char* byte);

// Two plain writes whose results are ignored: the report has nowhere else to go.
void WriteStandardError(const char* bytes, size_t n);

// --- Error numbers ---------------------------------------------------------------------------

enum class ErrorMeaning {
  FileNotFound,
  InvalidFilename,
  TooManyOpenFiles,
  AccessDenied,
  DiskFull,
  Other
};

ErrorMeaning MeaningOf(int error);

// The error reported for a transfer that moved fewer bytes than asked without a system error.
int ShortTransferError();

// --- Files -----------------------------------------------------------------------------------

// Opens an existing file for reading, shared with other readers (the patch list). Value: the
// descriptor.
Result OpenSharedForReading(const std::string& name);

enum class Access { Read, ReadWrite };

// Opens an existing file for exclusive use. Fails, with the descriptor closed, when any other open
// holds the file, in this process or another, under any name.
Result OpenExclusive(const std::string& name, Access access);

// Creates an empty file that must not exist yet, for exclusive use, read and write.
Result CreateExclusive(const std::string& name);

// Reads at most n bytes at the descriptor's own position (one call). Value: the count, 0 at the
// end, which a pipe whose writer broke off also reads as.
Result ReadSome(int fd, char* buffer, size_t n);

// Reads n bytes at the position, going on after partial reads. Value: the count moved, which is
// less than n only at the end of the file or with an error.
Result ReadAt(int fd, int64_t position, char* buffer, size_t n);

// Writes n bytes at the position, going on after partial writes. Value: the count moved.
Result WriteAt(int fd, int64_t position, const char* buffer, size_t n);

// The length of a regular file, the capacity of a block device, 0 for anything else.
Result SizeOf(int fd);

int Close(int fd);

}  // namespace tarnwick::platform
