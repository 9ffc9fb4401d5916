#include "tests/support/scratch_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <vector>

#include "platform/mutex.h"

namespace tw::test {

namespace {

Mutex dirs_mu;
std::vector<std::string>* dirs GUARDED_BY(dirs_mu) = nullptr;

void RemoveDirs() {
  MutexLock lock(dirs_mu);
  std::error_code ignored;
  for (const std::string& d : *dirs) std::filesystem::remove_all(d, ignored);
}

}  // namespace

std::string ScratchDirRemovedAtExit(const std::string& prefix) {
  std::string path = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) return "";
  MutexLock lock(dirs_mu);
  if (dirs == nullptr) {
    dirs = new std::vector<std::string>;  // kept past static destruction for the exit handler
    atexit(RemoveDirs);
  }
  dirs->push_back(path);
  return path;
}

}  // namespace tw::test
