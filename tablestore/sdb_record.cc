#include "tablestore/sdb_record.h"

namespace sdb {

bool PackRecord(const Layout& layout, const uint8_t* fixed, std::vector<uint8_t>* packed) {
  packed->assign(kPackedLengthSize, 0);
  packed->reserve(layout.max_packed_length);
  for (const FieldLayout& f : layout.fields) {
    const uint8_t* from = fixed + f.offset;
    if (f.type != kTypeString) {
      packed->insert(packed->end(), from, from + f.length);
      continue;
    }
    int n = 0;  // a text that fills its field has no terminator
    while (n < f.length && from[n] != 0) ++n;
    uint8_t count[2];
    PutI16(count, n);
    packed->insert(packed->end(), count, count + 2);
    packed->insert(packed->end(), from, from + n);
  }
  if (packed->size() > static_cast<size_t>(kPackedMaxLength)) return false;
  PutI16(packed->data(), static_cast<int32_t>(packed->size()));
  return true;
}

bool UnpackRecord(const Layout& layout, const uint8_t* bytes, int length, uint8_t* fixed) {
  std::memset(fixed, 0, layout.record_length);
  if (length < kPackedLengthSize) return false;
  int at = kPackedLengthSize;
  for (const FieldLayout& f : layout.fields) {
    if (f.type != kTypeString) {
      if (length - at < f.length) return false;
      std::memcpy(fixed + f.offset, bytes + at, f.length);
      at += f.length;
      continue;
    }
    if (length - at < 2) return false;
    const int n = GetU16(bytes + at);
    at += 2;
    if (n > f.length || length - at < n) return false;
    std::memcpy(fixed + f.offset, bytes + at, n);
    at += n;
  }
  return true;
}

}  // namespace sdb
