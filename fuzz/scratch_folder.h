// A folder of the fuzz target's own for whatever the code under test writes: made once per
// process under /dev/shm when it can be (the targets' databases and files then cost no disk
// writes) or the temporary folder, and removed with everything in it when the process ends.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_require.h"

namespace kestrune::fuzz {

class ScratchFolder {
 public:
  explicit ScratchFolder(const char* target) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base =
        fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / (std::string(target) + "-XXXXXX")).string();
    require(target, mkdtemp(pattern.data()) != nullptr, "no scratch folder can be made");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace kestrune::fuzz
