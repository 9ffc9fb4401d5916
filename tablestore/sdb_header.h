// The 15472-byte header of a table file, held as the bytes themselves so that what is
// written back is exactly what was read, plus whatever the accessors changed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "tablestore/sdb_format.h"

namespace sdb {

class Header {
 public:
  Header() { bytes_.fill(0); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  void Clear() { bytes_.fill(0); }

  // A freshly created table: signature, version, empty roots and free lists. The field and
  // key definitions already in the header are kept.
  void InitForCreate(std::string_view description);

  int32_t RecordLength() const { return I32(kOffRecordLength); }
  void SetRecordLength(int32_t v) { SetI32(kOffRecordLength, v); }
  int32_t RecordCount() const { return I32(kOffRecordCount); }
  void SetRecordCount(int32_t v) { SetI32(kOffRecordCount, v); }

  int FieldCount() const { return I16(kOffFieldCount); }
  void SetFieldCount(int v) { SetI16(kOffFieldCount, v); }
  std::string_view FieldName(int i) const {
    return Text(kOffFieldNames + i * kNameSize, kNameSize);
  }
  void SetFieldName(int i, std::string_view name) {
    SetText(kOffFieldNames + i * kNameSize, kNameSize, name);
  }
  int FieldType(int i) const { return I16(kOffFieldTypes + 2 * i); }
  void SetFieldType(int i, int v) { SetI16(kOffFieldTypes + 2 * i, v); }
  int FieldLength(int i) const { return I16(kOffFieldLengths + 2 * i); }
  void SetFieldLength(int i, int v) { SetI16(kOffFieldLengths + 2 * i, v); }

  int KeyCount() const { return I16(kOffKeyCount); }
  void SetKeyCount(int v) { SetI16(kOffKeyCount, v); }
  std::string_view KeyName(int k) const { return Text(kOffKeyNames + k * kNameSize, kNameSize); }
  void SetKeyName(int k, std::string_view name) {
    SetText(kOffKeyNames + k * kNameSize, kNameSize, name);
  }
  int KeyMode(int k) const { return I16(kOffKeyModes + 2 * k); }
  void SetKeyMode(int k, int v) { SetI16(kOffKeyModes + 2 * k, v); }
  int KeyPartCount(int k) const { return I16(kOffKeyPartCounts + 2 * k); }
  void SetKeyPartCount(int k, int v) { SetI16(kOffKeyPartCounts + 2 * k, v); }
  int KeyPartField(int k, int p) const { return I16(PartOff(kOffKeyPartFields, k, p)); }
  void SetKeyPartField(int k, int p, int v) { SetI16(PartOff(kOffKeyPartFields, k, p), v); }
  int KeyPartCompare(int k, int p) const { return I16(PartOff(kOffKeyPartCompare, k, p)); }
  void SetKeyPartCompare(int k, int p, int v) { SetI16(PartOff(kOffKeyPartCompare, k, p), v); }
  int KeyPartOffset(int k, int p) const { return I16(PartOff(kOffKeyPartOffsets, k, p)); }
  void SetKeyPartOffset(int k, int p, int v) { SetI16(PartOff(kOffKeyPartOffsets, k, p), v); }
  int KeyPartLength(int k, int p) const { return I16(PartOff(kOffKeyPartLengths, k, p)); }
  void SetKeyPartLength(int k, int p, int v) { SetI16(PartOff(kOffKeyPartLengths, k, p), v); }

  int32_t KeyRoot(int k) const { return I32(kOffKeyRoots + 4 * k); }
  void SetKeyRoot(int k, int32_t v) { SetI32(kOffKeyRoots + 4 * k, v); }
  int32_t KeyFirstLeaf(int k) const { return I32(kOffKeyFirstLeaves + 4 * k); }
  void SetKeyFirstLeaf(int k, int32_t v) { SetI32(kOffKeyFirstLeaves + 4 * k, v); }
  int32_t KeyLastLeaf(int k) const { return I32(kOffKeyLastLeaves + 4 * k); }
  void SetKeyLastLeaf(int k, int32_t v) { SetI32(kOffKeyLastLeaves + 4 * k, v); }

  int32_t FreeRecordHead() const { return I32(kOffFreeRecordHead); }
  void SetFreeRecordHead(int32_t v) { SetI32(kOffFreeRecordHead, v); }
  int32_t FreeEntryHead() const { return I32(kOffFreeEntryHead); }
  void SetFreeEntryHead(int32_t v) { SetI32(kOffFreeEntryHead, v); }
  int32_t FreeMemoHead() const { return I32(kOffFreeMemoHead); }
  void SetFreeMemoHead(int32_t v) { SetI32(kOffFreeMemoHead, v); }
  int RecordFormat() const { return I16(kOffRecordFormat); }

  std::string_view Description() const { return Text(kOffDescription, kDescriptionSize); }
  std::string_view Version() const { return Text(kOffVersion, kVersionSize); }

 private:
  static constexpr int PartOff(int base, int k, int p) { return base + (k * kMaxKeyParts + p) * 2; }
  int I16(int off) const { return GetI16(bytes_.data() + off); }
  int32_t I32(int off) const { return GetI32(bytes_.data() + off); }
  void SetI16(int off, int v) { PutI16(bytes_.data() + off, v); }
  void SetI32(int off, int32_t v) { PutI32(bytes_.data() + off, v); }
  // A zero-terminated text in a slot of size bytes; a full slot without zero is bounded.
  std::string_view Text(int off, int size) const;
  // Stores at most size - 1 characters and zero-fills the rest of the slot.
  void SetText(int off, int size, std::string_view text);

  std::array<uint8_t, kHeaderSize> bytes_;
};

}  // namespace sdb
