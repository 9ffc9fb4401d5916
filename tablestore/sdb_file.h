// The file under a table: positioned reads and writes that never go past the data they
// were asked for, and whole-file open-file-description locks that coordinate every object,
// thread and process that has the same file open.
//
// Lock rules: an operation that only reads holds a shared lock, one that changes the file an
// exclusive lock, each for the whole operation. The locks belong to this object's own open
// file description, so two objects of one process exclude each other just as two processes do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sdb {

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool Open(const std::string& path, bool writable);
  // Creates if missing (0600, owner only), read/write; an existing file keeps its mode. See
  // Truncate.
  bool Create(const std::string& path);
  // Empties the file; call under the exclusive lock so no reader sees it half rewritten.
  bool Truncate();
  void Close();
  bool is_open() const { return fd_ != -1; }
  bool writable() const { return writable_; }

  // Waits for the lock. false only when the system refuses it.
  bool Lock(bool exclusive);
  void Unlock();

  // Learns the file's current size; call after taking a lock.
  bool RefreshSize();
  int64_t size() const { return size_; }

  // Exactly n bytes at pos, or false.
  bool Read(int64_t pos, void* buffer, size_t n);
  // An item of the heap: pos at or after the header and the n bytes inside the file.
  bool ValidItem(int64_t pos, int64_t n) const;
  bool ReadItem(int64_t pos, void* buffer, size_t n) {
    return ValidItem(pos, static_cast<int64_t>(n)) && Read(pos, buffer, n);
  }
  // Writes all n bytes at pos, or false. Extends the known size when writing past it.
  bool Write(int64_t pos, const void* buffer, size_t n);
  // The position for a new item of n bytes at the end of the file; false when the item
  // would lie beyond what an i32 position can address.
  bool EndPosition(size_t n, int32_t* pos) const;

 private:
  int fd_ = -1;
  bool writable_ = false;
  bool locked_ = false;
  int64_t size_ = 0;
};

// Holds a lock on a file for one scope.
class FileLock {
 public:
  FileLock(File& file, bool exclusive) : file_(file), held_(file.Lock(exclusive)) {}
  ~FileLock() {
    if (held_) file_.Unlock();
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return held_; }

 private:
  File& file_;
  bool held_;
};

}  // namespace sdb
