// The shape of a table as derived from its header: where each field sits in the fixed record
// form, and for each key the form of its values and nodes. Built once per open file, after
// the header's definitions have been checked, so the code that walks records and nodes can
// rely on these numbers instead of re-reading (and re-checking) the header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tablestore/sdb_format.h"
#include "tablestore/sdb_header.h"

namespace sdb {

struct FieldLayout {
  int type = 0;
  int length = 0;  // fixed-form bytes
  int offset = 0;  // within the fixed record
};

struct KeyPart {
  int type = 0;  // field type of the part
  int compare = kCompareExact;
  int record_offset = 0;  // first byte used, within the fixed record
  int available = 0;      // bytes of the field from there on (text parts may ask for more)
  int length = 0;         // bytes of the part within the key value
  int value_offset = 0;   // where the part starts within the key value
};

struct KeyLayout {
  int mode = kKeyDuplicates;
  bool composite = false;  // several parts (or a part count read from the file)
  bool text = false;       // String or composite: zero-terminated slots of key_length + 1
  int value_type = 0;      // field type of a single-field key; kTypeString for composites
  int key_length = 0;      // bytes of a value (numeric width, or text/composite length)
  int slot_start = 0;      // first key slot within a node
  int slot_size = 0;       // bytes per key slot
  int node_size = 0;       // bytes of one node
  std::vector<KeyPart> parts;

  bool unique() const { return mode == kKeyUnique; }
};

struct Layout {
  int record_length = 0;
  bool packed = true;
  int max_packed_length = 0;  // recordLength + 2 + 2 per String field
  int autoinc_field = -1;
  std::vector<FieldLayout> fields;
  std::vector<KeyLayout> keys;
};

// Checks every definition of the header and derives the layout. A count out of range, an
// unknown type, a length that is not the type's, a record length that is not the sum of
// the fields, a key part naming a missing field or a Memo field: false, with the reason.
bool BuildLayout(const Header& header, Layout* layout, std::string* why);

// The key value of a record (fixed form): slot_size bytes, text zero-terminated and padded.
void MakeKeyValue(const KeyLayout& key, const uint8_t* record, uint8_t* value);

// The caller's search value of value_length bytes in the key's own form turned into a slot;
// no byte beyond value_length is read. A text longer than the key length, and a numeric or
// composite value whose length is not the key's, are refused (false).
bool SearchValue(const KeyLayout& key, const void* value, size_t value_length, uint8_t* slot);

// <0, 0, >0 as a is below, equal to or above b; both are slots of this key.
int CompareKeyValues(const KeyLayout& key, const uint8_t* a, const uint8_t* b);

}  // namespace sdb
