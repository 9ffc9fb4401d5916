#pragma once
// What both programs do before they host the proxies: one instance per data directory (a
// lock file), the stop signals taken into a descriptor for the main loop, and the data
// directory made absolute. Main thread, before any other thread exists.
#include <string>

namespace tw {

// Holds an exclusive lock on <dataDir>/<fileName> (made 0600 when missing) for the life of
// the object. Not held: another process holds it, or openError() says why the file could
// not be opened.
class InstanceLock {
 public:
  InstanceLock(const std::string& dataDir, const char* fileName);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  bool held() const { return held_; }
  int openError() const { return openError_; }  // errno of a lock file that could not be made

 private:
  int fd_ = -1;
  int openError_ = 0;
  bool held_ = false;
};

// Blocks SIGTERM and SIGINT in the calling thread (every later thread inherits the mask, so
// the signals wait for the main loop) and returns a non-blocking signalfd for them; -1 when
// none could be made.
int StopSignalDescriptor();

// dir itself when absolute, else joined to the working directory.
std::string AbsoluteDir(const std::string& dir);

}  // namespace tw
