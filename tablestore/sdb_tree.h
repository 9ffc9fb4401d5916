// The B+-tree of one key: search, insertion with splits, removal by marking, the chains of
// equal values of a KeyDuplicates key, and the per-key cursor.
//
// Shape: nodes of at most 200 entries (key, child, data); in a leaf the child is -1 and the
// data is a record, the first entry of a duplicate chain, or -1 for a removed entry. An
// internal entry's key is the largest key of its child's subtree. Leaves at one level are
// linked both ways. Nodes never shrink or go away.
//
// Every position read from the file is checked before use and every walk is bounded, so a
// damaged file ends an operation with Status::kDamaged instead of a crash or an endless loop.
// REQUIRES for every call: the file lock is held (shared for lookups and cursor moves,
// exclusive for Insert and Remove) and the header reflects the file.
#pragma once

#include <array>
#include <cstdint>

#include "tablestore/sdb_file.h"
#include "tablestore/sdb_header.h"
#include "tablestore/sdb_layout.h"
#include "tablestore/sdb_node.h"

namespace sdb {

enum class Status {
  kOk,
  kNotFound,     // no such value, end of the key, or nothing to remove
  kDamaged,      // a position, count or link in the file makes no sense
  kWriteFailed,  // the file refused a write
};

// Where a key stands: the leaf entry, the record, and (in a chain) the duplicate entry.
struct Cursor {
  int32_t leaf = -1;
  int index = -1;
  int32_t record = -1;
  int32_t dup = -1;  // position of the duplicate entry, -1 when the entry is not a chain
  DupEntry entry;    // that entry as last read
  // Steps taken since the cursor was placed, so that a walk through a damaged file whose leaf
  // links or chain links form a circle ends instead of going round for ever.
  int direction = 0;        // +1 forward, -1 backward, 0 just placed
  int64_t leaf_hops = 0;    // leaves entered in this direction
  int64_t chain_hops = 0;   // chain entries passed on the current leaf entry
  // The key value of the leaf entry. Another writer may shift or split the leaf between two
  // moves; the value finds the entry again.
  std::array<uint8_t, kMaxTextKeyLength + 1> key{};

  bool placed() const { return leaf != -1; }
};

// Where a removed duplicate entry stood, so that Edit can put the record back in its place.
struct ChainPlace {
  bool valid = false;
  int32_t leaf = -1;
  int index = -1;
  int32_t prev = -1;  // the entry before it, -1 when it was the first
};

// The entries that a removal will change, found before anything is written.
struct Removal {
  int32_t leaf = -1;
  int index = -1;
  int32_t first = -1;  // chain: the first entry (the leaf's data)
  int32_t entry = -1;  // chain: the entry of the record; -1 for a plain leaf entry
  DupEntry dup;        // that entry as read from the file
};

class Tree {
 public:
  Tree(File& file, Header& header, const KeyLayout& key, int key_number)
      : file_(file), header_(header), key_(key), k_(key_number), node_(key), other_(key) {}

  // The first record holding value (a slot). kNotFound when absent or removed.
  Status Find(const uint8_t* value, Cursor* cursor);
  // Whether a live entry holds value.
  Status Holds(const uint8_t* value, bool* live);

  // Adds record under value. place: when it names the leaf entry the value lands on, the
  // record goes back to that place in the chain (Edit). *dup: the chain entry made, or -1.
  Status Insert(const uint8_t* value, int32_t record, const ChainPlace* place, int32_t* dup);

  // Finds the entry of record under value. On the current key cursor names the duplicate
  // entry the caller stands on; it is read again from the file before it is trusted.
  Status Locate(const uint8_t* value, int32_t record, const Cursor* cursor, Removal* removal);
  // Unlinks what Locate found. *place (optional) tells where a chain entry stood.
  Status Remove(const Removal& removal, ChainPlace* place);

  Status First(Cursor* cursor);
  Status Last(Cursor* cursor);
  Status Next(const Cursor& from, Cursor* cursor);
  Status Prev(const Cursor& from, Cursor* cursor);

 private:
  struct Probe {
    int index = 0;
    bool equal = false;
    bool greater = false;  // above every key of the node
  };
  struct Hit {
    bool found = false;
    int32_t leaf = -1;  // -1: empty tree
    int index = 0;      // entry when found, insertion index otherwise
    int32_t data = -1;
  };

  Probe FindIndex(const Node& node, const uint8_t* value) const;
  // Descends from the root. inserting: raise the last key of internal nodes on the way when
  // value is above them. Leaves the leaf reached in node_.
  Status Search(const uint8_t* value, bool inserting, Hit* hit);

  Status ReadNode(int32_t pos, Node* node);
  Status ReadPrefix(int32_t pos, Node* node);
  Status WriteNode(const Node& node);
  Status WritePrefix(const Node& node);
  Status WriteWord(int32_t node_pos, int word, int32_t value);

  Status ReadEntry(int32_t pos, DupEntry* entry);  // must be a tagged entry
  bool IsChain(int32_t data, DupEntry* first);
  Status WriteEntry(int32_t pos, const DupEntry& entry);
  Status AllocEntry(int32_t* pos);
  Status FreeEntry(int32_t pos);

  Status AddToChain(Node* leaf, int index, int32_t record, const ChainPlace* place, int32_t* dup);
  Status LinkAtPlace(Node* leaf, int index, const DupEntry& first, int32_t record,
                     const ChainPlace& place, int32_t* dup);
  Status Split(Node* node);

  // Makes a cursor on leaf entry index with the given data; forward selects the first
  // record of a chain, otherwise its last.
  Status Land(int32_t leaf, int index, int32_t data, bool forward, Cursor* cursor);
  // Looks for a live entry from index of leaf onward (forward) or backward, crossing leaves.
  // hops: leaves entered before, in this direction.
  Status WalkLeaves(int32_t leaf, int index, bool forward, int64_t hops, Cursor* cursor);
  // The cursor's leaf entry as it stands now: unchanged, or found again by its key value.
  // found: the value is still in the tree; otherwise the index is where it would go.
  Status Revalidate(const Cursor& from, Cursor* now, bool* found);
  Status StepInChain(const Cursor& from, int32_t to, int direction, Cursor* cursor);

  int64_t MaxNodes() const;
  int64_t MaxEntries() const;

  File& file_;
  Header& header_;
  const KeyLayout& key_;
  int k_;
  Node node_;   // scratch: the node being searched or changed
  Node other_;  // scratch: a second node (split partner, parent, neighbour)
};

}  // namespace sdb
