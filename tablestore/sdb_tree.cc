#include "tablestore/sdb_tree.h"

#include <algorithm>

namespace sdb {
namespace {

constexpr int kMaxDepth = 32;  // far beyond any real tree; ends cycles through child links

}  // namespace

// ---- reading and writing items ----

int64_t Tree::MaxNodes() const { return (file_.size() - kHeaderSize) / key_.node_size + 2; }

int64_t Tree::MaxEntries() const { return (file_.size() - kHeaderSize) / kDupEntrySize + 2; }

Status Tree::ReadNode(int32_t pos, Node* node) {
  if (!file_.ReadItem(pos, node->data(), node->size())) return Status::kDamaged;
  node->pos = pos;
  const int n = node->count();
  if (n < 1 || n > kNodeEntries || node->self() != pos) return Status::kDamaged;
  return Status::kOk;
}

Status Tree::ReadPrefix(int32_t pos, Node* node) {
  if (!file_.ValidItem(pos, node->size())) return Status::kDamaged;
  if (!file_.Read(pos, node->data(), kNodePrefixSize)) return Status::kDamaged;
  node->pos = pos;
  const int n = node->count();
  if (n < 1 || n > kNodeEntries || node->self() != pos) return Status::kDamaged;
  return Status::kOk;
}

Status Tree::WriteNode(const Node& node) {
  return file_.Write(node.pos, node.data(), node.size()) ? Status::kOk : Status::kWriteFailed;
}

Status Tree::WritePrefix(const Node& node) {
  return file_.Write(node.pos, node.data(), kNodePrefixSize) ? Status::kOk : Status::kWriteFailed;
}

Status Tree::WriteWord(int32_t node_pos, int word, int32_t value) {
  if (!file_.ValidItem(node_pos, key_.node_size)) return Status::kDamaged;
  uint8_t b[4];
  PutI32(b, value);
  return file_.Write(static_cast<int64_t>(node_pos) + 4 * word, b, 4) ? Status::kOk
                                                                       : Status::kWriteFailed;
}

Status Tree::ReadEntry(int32_t pos, DupEntry* entry) {
  if (!file_.ReadItem(pos, entry->data(), kDupEntrySize)) return Status::kDamaged;
  return entry->tagged() ? Status::kOk : Status::kDamaged;
}

bool Tree::IsChain(int32_t data, DupEntry* first) {
  if (key_.unique()) return false;
  return file_.ReadItem(data, first->data(), kDupEntrySize) && first->tagged();
}

Status Tree::WriteEntry(int32_t pos, const DupEntry& entry) {
  return file_.Write(pos, entry.data(), kDupEntrySize) ? Status::kOk : Status::kWriteFailed;
}

// A freed entry keeps the tail of its tag ("KEY" and the zero) behind the link in its first
// four bytes; a head that points at anything else is not trusted and the entry is appended.
Status Tree::AllocEntry(int32_t* pos) {
  const int32_t head = header_.FreeEntryHead();
  uint8_t b[kDupEntrySize];
  if (head > 0 && file_.ReadItem(head, b, kDupEntrySize) &&
      std::memcmp(b + 4, kDupTag + 4, 4) == 0) {
    header_.SetFreeEntryHead(GetI32(b));
    *pos = head;
    return Status::kOk;
  }
  if (!file_.EndPosition(kDupEntrySize, pos)) return Status::kWriteFailed;
  std::memset(b, 0, sizeof b);
  return file_.Write(*pos, b, sizeof b) ? Status::kOk : Status::kWriteFailed;
}

Status Tree::FreeEntry(int32_t pos) {
  uint8_t b[4];
  PutI32(b, header_.FreeEntryHead());
  if (!file_.Write(pos, b, 4)) return Status::kWriteFailed;
  header_.SetFreeEntryHead(pos);
  return Status::kOk;
}

// ---- search ----

Tree::Probe Tree::FindIndex(const Node& node, const uint8_t* value) const {
  Probe p;
  const int n = node.count();
  if (CompareKeyValues(key_, value, node.key(0)) < 0) return p;
  if (CompareKeyValues(key_, value, node.key(n - 1)) > 0) {
    p.index = n - 1;
    p.greater = true;
    return p;
  }
  int low = 0;
  int high = n - 1;
  while (low <= high) {
    const int middle = (low + high) / 2;
    const int c = CompareKeyValues(key_, value, node.key(middle));
    if (c == 0) {
      p.index = middle;
      p.equal = true;
      return p;
    }
    if (c < 0) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  p.index = low;
  return p;
}

Status Tree::Search(const uint8_t* value, bool inserting, Hit* hit) {
  *hit = Hit{};
  int32_t pos = header_.KeyRoot(k_);
  if (pos == -1) return Status::kOk;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    if (Status s = ReadNode(pos, &node_); s != Status::kOk) return s;
    const Probe p = FindIndex(node_, value);
    const int32_t child = node_.child(p.index);
    if (child == -1) {
      hit->leaf = pos;
      hit->found = p.equal;
      hit->index = p.index + (p.greater ? 1 : 0);
      hit->data = p.equal ? node_.entry_data(p.index) : -1;
      return Status::kOk;
    }
    if (p.greater && inserting) {
      // The new value becomes the largest of this subtree.
      std::memcpy(node_.key(p.index), value, key_.slot_size);
      if (!file_.Write(static_cast<int64_t>(pos) + node_.slot_offset(p.index), value,
                       key_.slot_size)) {
        return Status::kWriteFailed;
      }
    }
    pos = child;
  }
  return Status::kDamaged;
}

Status Tree::Find(const uint8_t* value, Cursor* cursor) {
  Hit hit;
  if (Status s = Search(value, false, &hit); s != Status::kOk) return s;
  if (!hit.found || hit.data == -1) return Status::kNotFound;
  return Land(hit.leaf, hit.index, hit.data, true, cursor);
}

Status Tree::Holds(const uint8_t* value, bool* live) {
  Hit hit;
  *live = false;
  if (Status s = Search(value, false, &hit); s != Status::kOk) return s;
  *live = hit.found && hit.data != -1;
  return Status::kOk;
}

// ---- insertion ----

Status Tree::Insert(const uint8_t* value, int32_t record, const ChainPlace* place, int32_t* dup) {
  *dup = -1;
  Hit hit;
  if (Status s = Search(value, true, &hit); s != Status::kOk) return s;
  if (hit.found) {
    if (hit.data == -1) {  // a removed entry comes back to life
      node_.set_entry_data(hit.index, record);
      return WritePrefix(node_);
    }
    if (key_.unique()) return Status::kDamaged;  // Append checks this before writing
    return AddToChain(&node_, hit.index, record, place, dup);
  }
  if (hit.leaf == -1) {  // empty tree: one leaf, which is root and both leaf ends
    int32_t pos;
    if (!file_.EndPosition(key_.node_size, &pos)) return Status::kWriteFailed;
    node_.Clear();
    node_.pos = pos;
    node_.set_self(pos);
    node_.set_parent(-1);
    node_.set_prev(-1);
    node_.set_next(-1);
    node_.InsertEntry(0, value, -1, record);
    if (Status s = WriteNode(node_); s != Status::kOk) return s;
    header_.SetKeyRoot(k_, pos);
    header_.SetKeyFirstLeaf(k_, pos);
    header_.SetKeyLastLeaf(k_, pos);
    return Status::kOk;
  }
  node_.InsertEntry(hit.index, value, -1, record);
  if (node_.count() <= kNodeEntries) return WriteNode(node_);
  return Split(&node_);
}

// Splits a node holding 201 entries, then inserts into its parent (splitting that in turn)
// or makes a new root.
Status Tree::Split(Node* full) {
  Node n(key_);
  Node m(key_);
  Node parent(key_);
  std::memcpy(n.data(), full->data(), n.size());
  n.pos = full->pos;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    const bool leaf = n.child(0) == -1;
    int32_t m_pos;
    if (!file_.EndPosition(2 * static_cast<size_t>(key_.node_size), &m_pos)) {
      return Status::kWriteFailed;
    }
    m.Clear();
    m.pos = m_pos;
    m.set_self(m_pos);
    n.MoveTail(kSplitKeep, &m);
    m.set_parent(n.parent());
    m.set_next(n.next());
    m.set_prev(n.pos);
    if (n.next() != -1) {
      if (Status s = WriteWord(n.next(), kNodeWordPrev, m_pos); s != Status::kOk) return s;
    }
    n.set_next(m_pos);
    if (!leaf) {
      for (int i = 0; i < m.count(); ++i) {
        if (Status s = WriteWord(m.child(i), kNodeWordParent, m_pos); s != Status::kOk) return s;
      }
    }
    if (m.next() == -1 && leaf) header_.SetKeyLastLeaf(k_, m_pos);

    const int last_kept = kSplitKeep - 1;
    if (n.parent() == -1) {
      // New root: (largest of the old node, old node), (largest of the new node, new node).
      // Each entry carries the data of its child's last entry, as parent entries do.
      const int32_t root_pos = m_pos + key_.node_size;
      n.set_parent(root_pos);
      m.set_parent(root_pos);
      if (Status s = WriteNode(m); s != Status::kOk) return s;
      parent.Clear();
      parent.pos = root_pos;
      parent.set_self(root_pos);
      parent.set_parent(-1);
      parent.set_prev(-1);
      parent.set_next(-1);
      parent.InsertEntry(0, n.key(last_kept), n.pos, n.entry_data(last_kept));
      parent.InsertEntry(1, m.key(m.count() - 1), m_pos, m.entry_data(m.count() - 1));
      if (Status s = WriteNode(parent); s != Status::kOk) return s;
      if (Status s = WriteNode(n); s != Status::kOk) return s;
      header_.SetKeyRoot(k_, root_pos);
      return Status::kOk;
    }
    if (Status s = WriteNode(m); s != Status::kOk) return s;
    if (Status s = WriteNode(n); s != Status::kOk) return s;

    // The parent's entry for the old node keeps its key (now the new node's largest) and
    // points at the new node; the old node gets a new entry before it.
    if (Status s = ReadNode(n.parent(), &parent); s != Status::kOk) return s;
    int j = FindIndex(parent, n.key(last_kept)).index;
    if (parent.child(j) != n.pos) {
      j = -1;
      for (int i = 0; i < parent.count(); ++i) {
        if (parent.child(i) == n.pos) j = i;
      }
      if (j < 0) return Status::kDamaged;
    }
    parent.set_child(j, m_pos);
    parent.InsertEntry(j, n.key(last_kept), n.pos, n.entry_data(last_kept));
    if (parent.count() <= kNodeEntries) return WriteNode(parent);
    std::memcpy(n.data(), parent.data(), n.size());
    n.pos = parent.pos;
  }
  return Status::kDamaged;
}

// ---- duplicate chains ----

Status Tree::AddToChain(Node* leaf, int index, int32_t record, const ChainPlace* place,
                        int32_t* dup) {
  const int32_t data = leaf->entry_data(index);
  DupEntry first;
  if (!IsChain(data, &first)) {
    // The value held one record: make a chain of it and the new one.
    int32_t a, b;
    if (Status s = AllocEntry(&a); s != Status::kOk) return s;
    if (Status s = AllocEntry(&b); s != Status::kOk) return s;
    if (Status s = WriteEntry(a, DupEntry(data, b, -1, b)); s != Status::kOk) return s;
    if (Status s = WriteEntry(b, DupEntry(record, -1, a, b)); s != Status::kOk) return s;
    leaf->set_entry_data(index, a);
    *dup = b;
    return WritePrefix(*leaf);
  }
  if (place != nullptr && place->valid && place->leaf == leaf->pos && place->index == index) {
    return LinkAtPlace(leaf, index, first, record, *place, dup);
  }
  int32_t n;
  if (Status s = AllocEntry(&n); s != Status::kOk) return s;
  *dup = n;
  const int32_t last = first.last();
  if (last <= 0) {  // no last entry recorded: link right after the first
    const int32_t after = first.next();
    if (after > 0) {
      DupEntry x;
      if (Status s = ReadEntry(after, &x); s != Status::kOk) return s;
      x.set_prev(n);
      if (Status s = WriteEntry(after, x); s != Status::kOk) return s;
    }
    if (Status s = WriteEntry(n, DupEntry(record, after > 0 ? after : -1, data, n));
        s != Status::kOk) {
      return s;
    }
    first.set_next(n);
    return WriteEntry(data, first);
  }
  if (Status s = WriteEntry(n, DupEntry(record, -1, last, n)); s != Status::kOk) return s;
  if (last != data) {
    DupEntry l;
    if (Status s = ReadEntry(last, &l); s != Status::kOk) return s;
    l.set_next(n);
    if (Status s = WriteEntry(last, l); s != Status::kOk) return s;
  } else {
    first.set_next(n);
  }
  first.set_last(n);
  return WriteEntry(data, first);
}

Status Tree::LinkAtPlace(Node* leaf, int index, const DupEntry& first_in, int32_t record,
                         const ChainPlace& place, int32_t* dup) {
  const int32_t data = leaf->entry_data(index);
  int32_t n;
  if (Status s = AllocEntry(&n); s != Status::kOk) return s;
  *dup = n;
  if (place.prev == -1) {  // it was the first: it becomes the first again
    DupEntry first = first_in;
    if (Status s = WriteEntry(n, DupEntry(record, data, -1, first.last())); s != Status::kOk) {
      return s;
    }
    first.set_prev(n);
    first.set_last(data);  // entries after the first hold their own position
    if (Status s = WriteEntry(data, first); s != Status::kOk) return s;
    leaf->set_entry_data(index, n);
    return WritePrefix(*leaf);
  }
  DupEntry p;
  if (Status s = ReadEntry(place.prev, &p); s != Status::kOk) return s;
  const int32_t after = p.next();
  if (Status s = WriteEntry(n, DupEntry(record, after > 0 ? after : -1, place.prev, n));
      s != Status::kOk) {
    return s;
  }
  if (after > 0) {
    DupEntry x;
    if (Status s = ReadEntry(after, &x); s != Status::kOk) return s;
    x.set_prev(n);
    if (Status s = WriteEntry(after, x); s != Status::kOk) return s;
  }
  p.set_next(n);
  if (Status s = WriteEntry(place.prev, p); s != Status::kOk) return s;
  if (after <= 0) {  // it was the last: the first entry records it again
    DupEntry first;
    if (Status s = ReadEntry(data, &first); s != Status::kOk) return s;
    first.set_last(n);
    return WriteEntry(data, first);
  }
  return Status::kOk;
}

// ---- removal ----

Status Tree::Locate(const uint8_t* value, int32_t record, const Cursor* cursor, Removal* r) {
  *r = Removal{};
  Hit hit;
  if (Status s = Search(value, false, &hit); s != Status::kOk) return s;
  if (!hit.found || hit.data == -1) return Status::kNotFound;
  r->leaf = hit.leaf;
  r->index = hit.index;
  DupEntry first;
  if (!IsChain(hit.data, &first)) {
    return hit.data == record ? Status::kOk : Status::kNotFound;
  }
  r->first = hit.data;
  // The caller's copy of its entry may be stale (a record may have joined the chain since):
  // only the entry as it is in the file now is unlinked.
  if (cursor != nullptr && cursor->dup > 0) {
    DupEntry e;
    if (ReadEntry(cursor->dup, &e) == Status::kOk && e.record() == record) {
      r->entry = cursor->dup;
      r->dup = e;
      return Status::kOk;
    }
  }
  int32_t pos = hit.data;
  DupEntry e = first;
  for (int64_t hops = 0, max = MaxEntries(); hops < max; ++hops) {
    if (e.record() == record) {
      r->entry = pos;
      r->dup = e;
      return Status::kOk;
    }
    pos = e.next();
    if (pos <= 0) return Status::kNotFound;
    if (Status s = ReadEntry(pos, &e); s != Status::kOk) return s;
  }
  return Status::kDamaged;
}

Status Tree::Remove(const Removal& r, ChainPlace* place) {
  if (Status s = ReadNode(r.leaf, &node_); s != Status::kOk) return s;
  if (r.entry == -1) {
    node_.set_entry_data(r.index, -1);
    return WritePrefix(node_);
  }
  const DupEntry& e = r.dup;
  const bool is_first = r.entry == r.first;
  const int32_t next = e.next() > 0 ? e.next() : -1;
  if (place != nullptr) {
    place->valid = true;
    place->leaf = r.leaf;
    place->index = r.index;
    place->prev = is_first ? -1 : e.prev();
  }
  if (next != -1) {
    DupEntry x;
    if (Status s = ReadEntry(next, &x); s != Status::kOk) return s;
    x.set_prev(is_first ? -1 : e.prev());
    if (is_first) x.set_last(e.last());  // the new first inherits the last pointer
    if (Status s = WriteEntry(next, x); s != Status::kOk) return s;
  }
  if (is_first) {
    node_.set_entry_data(r.index, next);
    if (Status s = WritePrefix(node_); s != Status::kOk) return s;
  } else {
    DupEntry p;
    if (Status s = ReadEntry(e.prev(), &p); s != Status::kOk) return s;
    p.set_next(next);
    if (Status s = WriteEntry(e.prev(), p); s != Status::kOk) return s;
    if (next == -1) {  // it was the last
      DupEntry first;
      if (Status s = ReadEntry(r.first, &first); s != Status::kOk) return s;
      first.set_last(e.prev());
      if (Status s = WriteEntry(r.first, first); s != Status::kOk) return s;
    }
  }
  return FreeEntry(r.entry);
}

// ---- cursor ----

Status Tree::Land(int32_t leaf, int index, int32_t data, bool forward, Cursor* c) {
  c->leaf = leaf;
  c->index = index;
  c->chain_hops = 0;
  if (!file_.Read(static_cast<int64_t>(leaf) + key_.slot_start + index * key_.slot_size,
                  c->key.data(), key_.slot_size)) {
    return Status::kDamaged;
  }
  c->dup = -1;
  c->entry = DupEntry();
  c->record = data;
  DupEntry first;
  if (!IsChain(data, &first)) return Status::kOk;
  if (forward) {
    c->dup = data;
    c->entry = first;
    c->record = first.record();
    return Status::kOk;
  }
  // Backward: the last entry, as the first records it, or found by walking when it does not.
  int32_t pos = data;
  DupEntry e = first;
  if (first.last() > 0 && first.last() != data) {
    pos = first.last();
    if (Status s = ReadEntry(pos, &e); s != Status::kOk) return s;
  } else if (first.last() <= 0) {
    for (int64_t hops = 0, max = MaxEntries(); e.next() > 0; ++hops) {
      if (hops >= max) return Status::kDamaged;
      pos = e.next();
      if (Status s = ReadEntry(pos, &e); s != Status::kOk) return s;
    }
  }
  c->dup = pos;
  c->entry = e;
  c->record = e.record();
  return Status::kOk;
}

Status Tree::WalkLeaves(int32_t leaf, int index, bool forward, int64_t hops, Cursor* c) {
  for (const int64_t max = MaxNodes(); hops < max; ++hops) {
    if (leaf == -1) return Status::kNotFound;
    c->direction = forward ? 1 : -1;
    c->leaf_hops = hops;
    if (Status s = ReadPrefix(leaf, &node_); s != Status::kOk) return s;
    const int n = node_.count();
    if (index == -2) index = forward ? 0 : n - 1;  // entering a new leaf
    if (forward) {
      for (int i = std::max(index, 0); i < n; ++i) {
        if (node_.entry_data(i) == -1) continue;
        if (node_.child(i) != -1) return Status::kDamaged;
        return Land(leaf, i, node_.entry_data(i), true, c);
      }
      leaf = node_.next();
    } else {
      for (int i = std::min(index, n - 1); i >= 0; --i) {
        if (node_.entry_data(i) == -1) continue;
        if (node_.child(i) != -1) return Status::kDamaged;
        return Land(leaf, i, node_.entry_data(i), false, c);
      }
      leaf = node_.prev();
    }
    index = -2;
  }
  return Status::kDamaged;
}

Status Tree::First(Cursor* c) { return WalkLeaves(header_.KeyFirstLeaf(k_), -2, true, 0, c); }

Status Tree::Last(Cursor* c) { return WalkLeaves(header_.KeyLastLeaf(k_), -2, false, 0, c); }

Status Tree::StepInChain(const Cursor& from, int32_t to, int direction, Cursor* c) {
  if (from.chain_hops >= MaxEntries()) return Status::kDamaged;
  DupEntry e;
  if (Status s = ReadEntry(to, &e); s != Status::kOk) return s;
  *c = from;
  c->dup = to;
  c->entry = e;
  c->record = e.record();
  c->chain_hops = from.chain_hops + 1;
  if (c->direction != direction) c->leaf_hops = 0;
  c->direction = direction;
  return Status::kOk;
}

// The entry the cursor stands on, as the file holds it now when it is still the cursor's
// entry; after the record was removed, the copy taken when it was unlinked.
static DupEntry CurrentEntry(File& file, const Cursor& from) {
  DupEntry now;
  if (file.ReadItem(from.dup, now.data(), kDupEntrySize) && now.tagged() &&
      now.record() == from.record) {
    return now;
  }
  return from.entry;
}

Status Tree::Revalidate(const Cursor& from, Cursor* now, bool* found) {
  *now = from;
  *found = true;
  uint8_t slot[kMaxTextKeyLength + 1];
  if (from.index >= 0 && from.index < kNodeEntries && file_.ValidItem(from.leaf, key_.node_size) &&
      file_.Read(static_cast<int64_t>(from.leaf) + key_.slot_start + from.index * key_.slot_size,
                 slot, key_.slot_size) &&
      CompareKeyValues(key_, slot, from.key.data()) == 0) {
    return Status::kOk;
  }
  Hit hit;
  if (Status s = Search(from.key.data(), false, &hit); s != Status::kOk) return s;
  if (hit.leaf == -1) return Status::kNotFound;
  now->leaf = hit.leaf;
  now->index = hit.index;
  *found = hit.found;
  return Status::kOk;
}

Status Tree::Next(const Cursor& cursor, Cursor* c) {
  if (!cursor.placed()) return Status::kNotFound;
  Cursor from;
  bool found;
  if (Status s = Revalidate(cursor, &from, &found); s != Status::kOk) return s;
  if (!found) {  // go on with the entry at the insertion index
    --from.index;
    from.dup = -1;
  }
  if (!key_.unique() && from.dup > 0) {
    const DupEntry e = CurrentEntry(file_, from);
    if (e.next() > 0) return StepInChain(from, e.next(), 1, c);
  }
  const int64_t hops = from.direction == 1 ? from.leaf_hops : 0;
  return WalkLeaves(from.leaf, from.index + 1, true, hops, c);
}

Status Tree::Prev(const Cursor& cursor, Cursor* c) {
  if (!cursor.placed()) return Status::kNotFound;
  Cursor from;
  bool found;
  if (Status s = Revalidate(cursor, &from, &found); s != Status::kOk) return s;
  if (!found) from.dup = -1;
  if (!key_.unique() && from.dup > 0) {
    const DupEntry e = CurrentEntry(file_, from);
    if (e.prev() > 0) return StepInChain(from, e.prev(), -1, c);
  }
  const int64_t hops = from.direction == -1 ? from.leaf_hops : 0;
  if (from.index <= 0) {
    if (Status s = ReadPrefix(from.leaf, &node_); s != Status::kOk) return s;
    return WalkLeaves(node_.prev(), -2, false, hops + 1, c);
  }
  return WalkLeaves(from.leaf, from.index - 1, false, hops, c);
}

}  // namespace sdb
