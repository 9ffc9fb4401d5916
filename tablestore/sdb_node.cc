#include "tablestore/sdb_node.h"

namespace sdb {

void Node::InsertEntry(int i, const uint8_t* key_value, int32_t child_pos, int32_t data_pos) {
  const int n = count();
  uint8_t* b = bytes_.data();
  const int moved = n - i;
  if (moved > 0) {
    uint8_t* children = b + 4 * (kNodeWordChildren + i);
    uint8_t* datas = b + 4 * (kNodeWordData + i);
    std::memmove(children + 4, children, 4 * moved);
    std::memmove(datas + 4, datas, 4 * moved);
    std::memmove(key(i + 1), key(i), static_cast<size_t>(slot_size_) * moved);
  }
  std::memcpy(key(i), key_value, slot_size_);
  set_child(i, child_pos);
  set_entry_data(i, data_pos);
  set_count(n + 1);
}

void Node::MoveTail(int from, Node* to) {
  const int n = count();
  const int moved = n - from;
  uint8_t* b = bytes_.data();
  uint8_t* t = to->bytes_.data();
  std::memcpy(t + 4 * kNodeWordChildren, b + 4 * (kNodeWordChildren + from), 4 * moved);
  std::memcpy(t + 4 * kNodeWordData, b + 4 * (kNodeWordData + from), 4 * moved);
  std::memcpy(to->key(0), key(from), static_cast<size_t>(slot_size_) * moved);
  std::memset(b + 4 * (kNodeWordChildren + from), 0, 4 * moved);
  std::memset(b + 4 * (kNodeWordData + from), 0, 4 * moved);
  std::memset(key(from), 0, static_cast<size_t>(slot_size_) * moved);
  to->set_count(moved);
  set_count(from);
}

}  // namespace sdb
