// Index nodes and duplicate entries as they sit in the file, with accessors over their
// bytes. A node is the 1628-byte prefix of 407 i32 words (count, 201 children, 201 data
// positions, parent, self, previous, next) followed by 201 key slots.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tablestore/sdb_format.h"
#include "tablestore/sdb_layout.h"

namespace sdb {

class Node {
 public:
  explicit Node(const KeyLayout& key)
      : bytes_(key.node_size, 0), slot_start_(key.slot_start), slot_size_(key.slot_size) {}

  int32_t pos = -1;

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  int size() const { return static_cast<int>(bytes_.size()); }
  void Clear() { std::fill(bytes_.begin(), bytes_.end(), 0); }

  int count() const { return Word(kNodeWordCount); }
  void set_count(int v) { SetWord(kNodeWordCount, v); }
  int32_t child(int i) const { return Word(kNodeWordChildren + i); }
  void set_child(int i, int32_t v) { SetWord(kNodeWordChildren + i, v); }
  int32_t entry_data(int i) const { return Word(kNodeWordData + i); }
  void set_entry_data(int i, int32_t v) { SetWord(kNodeWordData + i, v); }
  int32_t parent() const { return Word(kNodeWordParent); }
  void set_parent(int32_t v) { SetWord(kNodeWordParent, v); }
  int32_t self() const { return Word(kNodeWordSelf); }
  void set_self(int32_t v) { SetWord(kNodeWordSelf, v); }
  int32_t prev() const { return Word(kNodeWordPrev); }
  void set_prev(int32_t v) { SetWord(kNodeWordPrev, v); }
  int32_t next() const { return Word(kNodeWordNext); }
  void set_next(int32_t v) { SetWord(kNodeWordNext, v); }

  uint8_t* key(int i) { return bytes_.data() + slot_start_ + i * slot_size_; }
  const uint8_t* key(int i) const { return bytes_.data() + slot_start_ + i * slot_size_; }
  int slot_size() const { return slot_size_; }
  int slot_offset(int i) const { return slot_start_ + i * slot_size_; }

  // Inserts (key, child, data) at index i, moving the later entries up by one.
  // REQUIRES: count() < kNodeSlots.
  void InsertEntry(int i, const uint8_t* key_value, int32_t child_pos, int32_t data_pos);

  // Moves entries from..count-1 into the empty node to, which gets them as its entries
  // 0.., and clears their old slots here.
  void MoveTail(int from, Node* to);

 private:
  int32_t Word(int w) const { return GetI32(bytes_.data() + 4 * w); }
  void SetWord(int w, int32_t v) { PutI32(bytes_.data() + 4 * w, v); }

  std::vector<uint8_t> bytes_;
  int slot_start_;
  int slot_size_;
};

class DupEntry {
 public:
  DupEntry() { std::memset(bytes_, 0, sizeof bytes_); }
  // A new entry: tag, record, links.
  DupEntry(int32_t record, int32_t next, int32_t prev, int32_t last) {
    std::memset(bytes_, 0, sizeof bytes_);
    std::memcpy(bytes_, kDupTag, sizeof kDupTag);
    set_record(record);
    set_next(next);
    set_prev(prev);
    set_last(last);
  }

  uint8_t* data() { return bytes_; }
  const uint8_t* data() const { return bytes_; }
  bool tagged() const { return std::memcmp(bytes_, kDupTag, kDupTagCompare) == 0; }
  int32_t record() const { return GetI32(bytes_ + kDupOffRecord); }
  void set_record(int32_t v) { PutI32(bytes_ + kDupOffRecord, v); }
  int32_t next() const { return GetI32(bytes_ + kDupOffNext); }
  void set_next(int32_t v) { PutI32(bytes_ + kDupOffNext, v); }
  int32_t prev() const { return GetI32(bytes_ + kDupOffPrev); }
  void set_prev(int32_t v) { PutI32(bytes_ + kDupOffPrev, v); }
  int32_t last() const { return GetI32(bytes_ + kDupOffLast); }
  void set_last(int32_t v) { PutI32(bytes_ + kDupOffLast, v); }

 private:
  uint8_t bytes_[kDupEntrySize];
};

}  // namespace sdb
