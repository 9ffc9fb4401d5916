// Records and long texts in the heap behind the header: reading a record, choosing the place
// of a new one (free list or end of file), freeing records and long-text chains, and reading
// long texts block by block.
// REQUIRES for every call: the file lock is held (exclusive for anything that writes) and the
// header reflects the file.
#pragma once

#include <cstdint>
#include <vector>

#include "tablestore/sdb_file.h"
#include "tablestore/sdb_header.h"
#include "tablestore/sdb_layout.h"
#include "tablestore/sdb_tree.h"

namespace sdb {

// Reads the record at pos into fixed (record_length bytes). scratch is reused between calls.
Status ReadRecord(File& file, const Layout& layout, int32_t pos, uint8_t* fixed,
                  std::vector<uint8_t>* scratch);

// Writes a record (packed bytes, or the fixed form for fixed-format tables) at a place taken
// from the free-record list or at the end of the file.
Status PlaceRecord(File& file, Header& header, const Layout& layout,
                   const std::vector<uint8_t>& bytes, int32_t* pos);

// Gives the record at pos to the free-record list (a record too short for the link stays
// unreachable).
Status FreeRecord(File& file, Header& header, const Layout& layout, int32_t pos);

// Gives the long-text chain starting at first to the free long-text list. A chain that is
// longer than the list allows, or that leads out of the file, is left as it is.
Status FreeMemo(File& file, Header& header, int32_t first);

// Reads a long text across its blocks.
class MemoReader {
 public:
  void Start(int32_t first_block) {
    block_ = first_block;
    loaded_ = false;
    offset_ = 0;
    hops_ = 0;
  }
  void Reset() { block_ = -1; }
  bool started() const { return block_ > 0; }
  // Copies up to n bytes; *got says how many. false on a damaged chain.
  bool Read(File& file, uint8_t* out, int n, int* got);

 private:
  int32_t block_ = -1;
  bool loaded_ = false;
  int32_t next_ = -1;
  int32_t length_ = 0;
  int32_t offset_ = 0;
  int64_t hops_ = 0;
};

}  // namespace sdb
