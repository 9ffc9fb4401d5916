#include "tablestore/sdb_layout.h"

#include <algorithm>

namespace sdb {
namespace {

bool Fail(std::string* why, const char* text) {
  *why = text;
  return false;
}

bool BuildFields(const Header& h, Layout* layout, std::string* why) {
  const int count = h.FieldCount();
  if (count < 0 || count > kMaxFields) return Fail(why, "field count out of range");
  layout->fields.resize(count);
  int offset = 0;
  int strings = 0;
  for (int i = 0; i < count; ++i) {
    FieldLayout& f = layout->fields[i];
    f.type = h.FieldType(i);
    f.length = h.FieldLength(i);
    f.offset = offset;
    if (f.type == kTypeString) {
      if (f.length < kMinStringLength || f.length > kMaxStringLength) {
        return Fail(why, "text field length out of range");
      }
      ++strings;
    } else if (TypeWidth(f.type) == 0) {
      return Fail(why, "unknown field type");
    } else if (f.length != TypeWidth(f.type)) {
      return Fail(why, "field length does not match its type");
    }
    if (f.type == kTypeAutoInc && layout->autoinc_field < 0) layout->autoinc_field = i;
    offset += f.length;
  }
  if (h.RecordLength() != offset) return Fail(why, "record length does not match the fields");
  if (count > 0 && offset <= 0) return Fail(why, "empty record");
  layout->record_length = offset;
  layout->max_packed_length = offset + kPackedLengthSize + 2 * strings;
  const int format = h.RecordFormat();
  if (format != kRecordsFixed && format != kRecordsPacked)
    return Fail(why, "unknown record format");
  layout->packed = format == kRecordsPacked;
  return true;
}

// One part of key k: part p of the header arrays. single: the key is a single-field key.
bool BuildPart(const Header& h, const Layout& layout, int k, int p, bool single, KeyPart* part,
               std::string* why) {
  const int field = h.KeyPartField(k, p);
  if (field < 0 || field >= static_cast<int>(layout.fields.size())) {
    return Fail(why, "key part names a missing field");
  }
  const FieldLayout& f = layout.fields[field];
  part->type = f.type;
  if (f.type == kTypeMemo) return Fail(why, "key part on a long-text field");
  if (f.type != kTypeString) {
    part->record_offset = f.offset;
    part->available = f.length;
    part->length = f.length;
    // A composite value is cut by the stored part lengths, so they must be the widths.
    if (!single && h.KeyPartLength(k, p) != f.length) return Fail(why, "key part length invalid");
    return true;
  }
  const int offset = h.KeyPartOffset(k, p);
  const int length = h.KeyPartLength(k, p);
  if (offset < 0 || offset >= f.length) return Fail(why, "key part offset invalid");
  if (length < 1 || length > kMaxTextKeyLength) return Fail(why, "key part length invalid");
  part->compare = h.KeyPartCompare(k, p) == kCompareNoCase ? kCompareNoCase : kCompareExact;
  part->record_offset = f.offset + offset;
  part->available = f.length - offset;
  part->length = length;
  return true;
}

bool BuildKey(const Header& h, const Layout& layout, int k, KeyLayout* key, std::string* why) {
  key->mode = h.KeyMode(k) == kKeyUnique ? kKeyUnique : kKeyDuplicates;
  const int parts = h.KeyPartCount(k);
  const bool single = parts == -1;
  if (!single && (parts < 1 || parts > kMaxKeyParts)) return Fail(why, "key part count invalid");
  key->parts.resize(single ? 1 : parts);
  int total = 0;
  for (size_t p = 0; p < key->parts.size(); ++p) {
    if (!BuildPart(h, layout, k, static_cast<int>(p), single, &key->parts[p], why)) return false;
    key->parts[p].value_offset = total;
    total += key->parts[p].length;
  }
  key->composite = !single;
  key->value_type = single ? key->parts[0].type : kTypeString;
  key->text = key->value_type == kTypeString;
  key->key_length = total;
  if (key->text) {
    if (total > kMaxTextKeyLength) return Fail(why, "key length invalid");
    key->slot_start = kNodeWideSlotStart;
    key->slot_size = total + 1;
    key->node_size = kNodeWideSlotStart + kNodeSlots * key->slot_size;
    return true;
  }
  key->slot_size = total;
  key->slot_start = key->value_type == kTypeDouble ? kNodeWideSlotStart : kNodePrefixSize;
  const int used = key->slot_start + kNodeSlots * total;
  key->node_size = (used + 3) / 4 * 4;  // Byte and Short nodes end on a whole word
  return true;
}

int CompareText(const uint8_t* a, const uint8_t* b, int length, bool no_case) {
  for (int i = 0; i < length; ++i) {
    int ca = a[i];
    int cb = b[i];
    if (no_case) {
      if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
      if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

template <typename T>
int Order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int ComparePart(int type, int compare, const uint8_t* a, const uint8_t* b, int length) {
  switch (type) {
    case kTypeByte:
      return Order(a[0], b[0]);
    case kTypeShort:
      return Order(GetI16(a), GetI16(b));
    case kTypeInt:
    case kTypeAutoInc:
      return Order(GetI32(a), GetI32(b));
    case kTypeFloat:
      return Order(GetF32(a), GetF32(b));
    case kTypeDouble:
      return Order(GetF64(a), GetF64(b));
    default:
      return CompareText(a, b, length, compare == kCompareNoCase);
  }
}

}  // namespace

bool BuildLayout(const Header& h, Layout* layout, std::string* why) {
  *layout = Layout{};
  if (!BuildFields(h, layout, why)) return false;
  const int keys = h.KeyCount();
  if (keys < 0 || keys > kMaxKeys) return Fail(why, "key count out of range");
  layout->keys.resize(keys);
  for (int k = 0; k < keys; ++k) {
    if (!BuildKey(h, *layout, k, &layout->keys[k], why)) return false;
  }
  return true;
}

void MakeKeyValue(const KeyLayout& key, const uint8_t* record, uint8_t* value) {
  std::memset(value, 0, key.slot_size);
  for (const KeyPart& part : key.parts) {
    const uint8_t* from = record + part.record_offset;
    uint8_t* to = value + part.value_offset;
    if (part.type != kTypeString) {
      std::memcpy(to, from, part.length);
      continue;
    }
    // A text that fills its field has no terminator: stop at the field's end.
    const int limit = std::min(part.length, part.available);
    for (int i = 0; i < limit && from[i] != 0; ++i) to[i] = from[i];
  }
}

bool SearchValue(const KeyLayout& key, const void* value, size_t value_length, uint8_t* slot) {
  std::memset(slot, 0, key.slot_size);
  const auto* v = static_cast<const uint8_t*>(value);
  const size_t width = static_cast<size_t>(key.key_length);
  if (key.value_type == kTypeString && !key.composite) {
    const size_t n = strnlen(static_cast<const char*>(value), std::min(value_length, width + 1));
    if (n > width) return false;
    std::memcpy(slot, v, n);
    return true;
  }
  if (value_length != width) return false;
  std::memcpy(slot, v, width);
  return true;
}

int CompareKeyValues(const KeyLayout& key, const uint8_t* a, const uint8_t* b) {
  for (const KeyPart& part : key.parts) {
    const int c = ComparePart(part.type, part.compare, a + part.value_offset, b + part.value_offset,
                              part.length);
    if (c != 0) return c;
  }
  return 0;
}

}  // namespace sdb
