#include "fuzz/scratch_folder.h"

#include <stdlib.h>

#include <cstdlib>
#include <string>
#include <system_error>

namespace tarnwick::fuzz {
namespace {

namespace fs = std::filesystem;

class OwnFolder {
 public:
  OwnFolder() {
    std::error_code error;
    const fs::path root =
        fs::is_directory("/dev/shm", error) ? "/dev/shm" : fs::temp_directory_path();
    std::string pattern = (root / "tarnwick-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~OwnFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

const fs::path& ScratchFolder() {
  static const OwnFolder folder;
  return folder.path();
}

}  // namespace tarnwick::fuzz
