// A whole patch run, in this process, in a scratch folder laid out from the fuzzed bytes: a target
// of a few hundred bytes, one to three small data files, a mode, and the list text, which names
// them (or anything else in the folder). The run is held against a model of the run built from
// the rules: its exact output, the target's and every data file's bytes afterwards, and which
// files exist. Before that, the properties that matter most are checked on their own: the
// target keeps its length and changes only inside the ranges of the entries that the list
// names; in reverse it never changes. A run must leave no descriptor open behind it.
//
// Input: byte 0 chooses the mode (bit 0: reverse), the number of data files (bits 1-2) and
// whether the target takes the size that the list's first line declares (bit 3 clear, when that
// size is small); bytes 1 and 2 give the target's size otherwise; then one byte per data file,
// its size; the rest is the list text, in which every '/' becomes '_' so that every name stays
// inside the scratch folder.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/console.h"
#include "app/failure.h"
#include "engine/patch_mode.h"
#include "engine/patch_run.h"
#include "fuzz/reference_model.h"
#include "fuzz/scratch_folder.h"
#include "tests/distinct_bytes.h"

namespace {

namespace fs = std::filesystem;
using tarnwick::PatchMode;

constexpr const char* kTargetName = "t";
constexpr const char* kListName = "l";
constexpr const char* kFolderName = "d";
constexpr const char* kDataNames[] = {"a", "b", "c"};
constexpr int64_t kLargestTarget = 600;

struct Layout {
  PatchMode mode;
  std::string target;
  std::map<std::string, std::string> data_files;
  std::string list;
};

std::string Bytes(size_t n, unsigned seed) {
  return tarnwick::test_support::DistinctBytes(n, seed);
}

Layout Decode(const uint8_t* data, size_t size) {
  auto take = [&](size_t& at) -> uint8_t { return at < size ? data[at++] : 0; };
  size_t at = 0;
  const uint8_t flags = take(at);
  const uint8_t size_low = take(at);
  const uint8_t size_high = take(at);
  const int64_t fallback_size = (size_low | size_high << 8) % kLargestTarget;
  const size_t data_file_count = 1 + (flags >> 1 & 3) % 3;
  Layout layout;
  layout.mode = flags & 1 ? PatchMode::Reverse : PatchMode::Forward;
  for (size_t i = 0; i < data_file_count; ++i) {
    layout.data_files[kDataNames[i]] = Bytes(take(at), static_cast<unsigned>(i + 1));
  }
  layout.list.assign(reinterpret_cast<const char*>(data) + std::min(at, size),
                     size - std::min(at, size));
  std::replace(layout.list.begin(), layout.list.end(), '/', '_');
  const std::optional<int64_t> declared =
      tarnwick::fuzz::ReferenceNumber(tarnwick::fuzz::ReferenceLines(layout.list)[0]);
  const bool take_declared =
      !(flags & 8) && declared && *declared >= 0 && *declared <= kLargestTarget;
  layout.target = Bytes(static_cast<size_t>(take_declared ? *declared : fallback_size), 0);
  return layout;
}

// What the folder holds: every regular file with its bytes.
using Files = std::map<std::string, std::string>;

// The run as the rules give it, over the folder's files: its output, and the files afterwards.
struct Expected {
  std::string output;
  Files files;
};

void Line(Expected& expected, const std::string& text) { expected.output += text + "\r\n"; }

// A name the file system takes as a plain file of this folder: not empty, no byte 0, not a
// folder of its own, not too long.
bool CanBeCreated(const std::string& name, const Files& files) {
  return !name.empty() && name.find('\0') == std::string::npos && name != "." && name != ".." &&
         name != kFolderName && name.size() <= 255 && !files.contains(name);
}

Expected Model(const Layout& layout, const Files& before) {
  Expected expected{"", before};
  const std::vector<std::string> lines = tarnwick::fuzz::ReferenceLines(layout.list);
  const std::optional<int64_t> declared = tarnwick::fuzz::ReferenceNumber(lines[0]);
  if (!declared) {
    Line(expected, "TXT file open error!");
    return expected;
  }
  std::string& target = expected.files[kTargetName];
  const auto target_size = static_cast<int64_t>(target.size());
  if (*declared != target_size) {
    Line(expected, "Size of target file is different from size described in TXT!");
    return expected;
  }
  bool any_entry_failed = false;
  for (size_t i = 1; i + 1 < lines.size(); i += 2) {
    const int64_t offset = tarnwick::fuzz::ReferenceNumber(lines[i]).value_or(-1);
    const std::string& name = lines[i + 1];
    if (offset < 0) continue;
    const bool present = name.find('\0') == std::string::npos && expected.files.contains(name);
    if (!present) {
      if (layout.mode == PatchMode::Forward) {
        Line(expected, "ERROR: a data file does not exist!");
        any_entry_failed = true;
        continue;
      }
      Line(expected, "WARNING: new data file created (" + name + ")");
      if (!CanBeCreated(name, expected.files)) {
        Line(expected, "FATAL ERROR!");
        return expected;
      }
      expected.files[name] = "";
      continue;
    }
    // The run holds the target for itself and the list shared: neither opens as a data file.
    if (name == kTargetName || name == kListName) {
      Line(expected, "FATAL ERROR!");
      return expected;
    }
    std::string& data_file = expected.files[name];
    const auto data_size = static_cast<int64_t>(data_file.size());
    if (offset > target_size - data_size) {
      Line(expected, "ERROR: an offset too big!");
      any_entry_failed = true;
    } else if (data_size == 0) {
      Line(expected, "SKIP: offset " + std::to_string(offset) + "; bytes: 0");
    } else {
      const auto at = static_cast<size_t>(offset);
      if (layout.mode == PatchMode::Forward) {
        target.replace(at, data_file.size(), data_file);
      } else {
        data_file = target.substr(at, data_file.size());
      }
      Line(expected, "OK: Patched at offset " + std::to_string(offset) +
                         "; bytes: " + std::to_string(data_size));
    }
  }
  Line(expected, any_entry_failed ? "Wrong patch." : "Successfully patched!");
  return expected;
}

// The ranges of the target that an entry of the list may write, whatever else happens: the
// stretch of every entry whose offset is a number at or above 0, as long as the longest data
// file of the folder.
bool InsideSomeEntry(const std::string& list, size_t position, size_t longest) {
  const std::vector<std::string> lines = tarnwick::fuzz::ReferenceLines(list);
  for (size_t i = 1; i + 1 < lines.size(); i += 2) {
    const std::optional<int64_t> offset = tarnwick::fuzz::ReferenceNumber(lines[i]);
    if (!offset || *offset < 0) continue;
    const auto start = static_cast<uint64_t>(*offset);
    if (position >= start && position - start < longest) return true;
  }
  return false;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "patch run: %s\n", what.c_str());
  std::abort();
}

std::string ReadFile(const fs::path& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const fs::path& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}

Files ReadFolder(const fs::path& folder) {
  Files files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) files[entry.path().filename().string()] = ReadFile(entry.path());
  }
  return files;
}

struct Places {
  fs::path folder;  // the scratch folder, the run's current folder
  fs::path output;  // where standard output goes, outside it
};

const Places& Scratch() {
  static const Places places = [] {
    const Places made = {tarnwick::fuzz::ScratchFolder() / "folder",
                         tarnwick::fuzz::ScratchFolder() / "output"};
    fs::create_directory(made.folder);
    return made;
  }();
  return places;
}

void LayOut(const Places& places, const Layout& layout) {
  for (const auto& entry : fs::directory_iterator(places.folder)) fs::remove_all(entry.path());
  fs::create_directory(places.folder / kFolderName);
  WriteFile(places.folder / kTargetName, layout.target);
  WriteFile(places.folder / kListName, layout.list);
  for (const auto& [name, bytes] : layout.data_files) WriteFile(places.folder / name, bytes);
}

// Runs the patch run with standard output on a file, as the program would, and gives its bytes.
std::string RunCapturingOutput(const Places& places, PatchMode mode) {
  const int capture = open(places.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int saved = dup(1);
  if (capture < 0 || saved < 0 || dup2(capture, 1) != 1) std::abort();
  close(capture);
  tarnwick::ResetStandardOutputForTesting();
  // Relative names resolve in the scratch folder for the run only: the fuzzer's own paths (its
  // corpus, its artifacts) may be relative to where it was started.
  const fs::path started_in = fs::current_path();
  fs::current_path(places.folder);
  try {
    tarnwick::RunPatch(kTargetName, kListName, mode);
  } catch (const tarnwick::Failure& failure) {
    Fail("a failure escaped the run: " + failure.message());
  }
  fs::current_path(started_in);
  tarnwick::HandOverHeldOutput();
  if (tarnwick::PendingIoCode() != 0) Fail("a code left pending");
  dup2(saved, 1);
  close(saved);
  return ReadFile(places.output);
}

int NextFreeDescriptor() {
  const int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(probe);
  return probe;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Places& places = Scratch();
  const Layout layout = Decode(data, size);
  LayOut(places, layout);
  const Files before = ReadFolder(places.folder);

  const int free_descriptor = NextFreeDescriptor();
  const std::string output = RunCapturingOutput(places, layout.mode);
  const Files after = ReadFolder(places.folder);

  if (NextFreeDescriptor() != free_descriptor) Fail("the run left a descriptor open");
  const std::string& old_target = before.at(kTargetName);
  const auto found = after.find(kTargetName);
  if (found == after.end()) Fail("the target is gone");
  const std::string& new_target = found->second;
  if (new_target.size() != old_target.size()) Fail("the target changed its length");
  if (layout.mode == PatchMode::Reverse && new_target != old_target)
    Fail("reverse changed the target");
  size_t longest = 0;
  for (const auto& [name, bytes] : before) longest = std::max(longest, bytes.size());
  for (size_t i = 0; i < old_target.size(); ++i) {
    if (old_target[i] != new_target[i] && !InsideSomeEntry(layout.list, i, longest)) {
      Fail("target byte " + std::to_string(i) + " changed outside every entry");
    }
  }

  const Expected expected = Model(layout, before);
  if (output != expected.output)
    Fail("the output is not the model's:\n" + output + "--- model:\n" + expected.output);
  if (after != expected.files) Fail("the files are not the model's");
  return 0;
}
