// Byte layout of a .sdb table file. Files are exchanged between installations, so every
// number here is fixed: change none of them.
//
// A file is the header at position 0 followed by a heap of items in the order they were
// appended: records, index nodes, 24-byte duplicate entries and long-text blocks. A position
// is an i32 absolute offset; -1 means none. All integers are little-endian.
#pragma once

#include <cstdint>
#include <cstring>

namespace sdb {

// ---- header ----
constexpr int kHeaderSize = 15472;
constexpr int kMaxFields = 128;
constexpr int kMaxKeys = 10;
constexpr int kMaxKeyParts = 128;
constexpr int kNameSize = 32;  // field and key names: 31 characters and a zero

constexpr int kOffSignature = 0;           // char[32]: engine name, a comma, a notice
constexpr int kOffRecordLength = 32;       // i32: sum of the field lengths (fixed form)
constexpr int kOffRecordCount = 36;        // i32: live records
constexpr int kOffFieldNames = 40;         // 128 x char[32]
constexpr int kOffFieldTypes = 4136;       // 128 x i16 type codes
constexpr int kOffFieldLengths = 4392;     // 128 x i16 fixed-form lengths
constexpr int kOffFieldCount = 4648;       // i16, 0..128
constexpr int kOffKeyNames = 4650;         // 10 x char[32]
constexpr int kOffKeyModes = 4970;         // 10 x i16: 1 duplicates allowed, 2 unique
constexpr int kOffKeyPartFields = 4990;    // 10 x 128 x i16 field number of each part
constexpr int kOffKeyPartCompare = 7550;   // 10 x 128 x i16: 1 exact, 2 ignoring case (text)
constexpr int kOffKeyPartOffsets = 10110;  // 10 x 128 x i16 first character used (text)
constexpr int kOffKeyPartLengths = 12670;  // 10 x 128 x i16 bytes of each part in the key value
constexpr int kOffKeyPartCounts = 15230;   // 10 x i16: -1 single-field key, n > 0 composite
constexpr int kOffKeyCount = 15250;        // i16, 0..10
constexpr int kOffKeyRoots = 15252;        // 10 x i32 root node, -1 empty
constexpr int kOffKeyFirstLeaves = 15292;  // 10 x i32 leftmost leaf, -1 empty
constexpr int kOffKeyLastLeaves = 15332;   // 10 x i32 rightmost leaf, -1 empty
constexpr int kOffFreeRecordHead = 15372;  // i32 first free record block, -1 empty
constexpr int kOffFreeEntryHead = 15376;   // i32 first free duplicate entry, -1 empty
constexpr int kOffRecordFormat = 15380;    // i16: -1 fixed records, 0 packed records
constexpr int kOffDescription = 15382;     // char[60]: 59 characters and a zero
constexpr int kOffVersion = 15442;         // char[10]: "2.60"
constexpr int kOffFreeMemoHead = 15452;    // i32 first free long-text block, -1 empty
constexpr int kOffReserved = 15456;        // 16 zero bytes

// The part of the header that changes after creation: the record count at 36, and the
// roots, leaf ends and free-list heads from 15252 to 15380, and the free long-text head.
constexpr int kOffMutableStart = kOffKeyRoots;
constexpr int kMutableLength = kOffRecordFormat - kOffKeyRoots;

constexpr int kDescriptionSize = 60;
constexpr int kVersionSize = 10;
constexpr const char kSignature[] = "Krdb,Tarnwick table file";
constexpr const char kVersionText[] = "2.60";

constexpr int16_t kRecordsFixed = -1;
constexpr int16_t kRecordsPacked = 0;

// ---- fields ----
constexpr int kTypeShort = 1;
constexpr int kTypeInt = 2;
constexpr int kTypeFloat = 3;
constexpr int kTypeDouble = 4;
constexpr int kTypeString = 5;
constexpr int kTypeByte = 6;
constexpr int kTypeMemo = 7;
constexpr int kTypeAutoInc = 8;
constexpr int kMinStringLength = 1;
constexpr int kMaxStringLength = 1024;
constexpr int kMemoDescriptorSize = 8;  // i32 first block, i32 total length

// Fixed-form width of a type other than String; 0 for String and unknown codes.
constexpr int TypeWidth(int type) {
  switch (type) {
    case kTypeShort:
      return 2;
    case kTypeInt:
      return 4;
    case kTypeFloat:
      return 4;
    case kTypeDouble:
      return 8;
    case kTypeByte:
      return 1;
    case kTypeMemo:
      return 8;
    case kTypeAutoInc:
      return 4;
    default:
      return 0;
  }
}

// ---- keys ----
constexpr int kKeyDuplicates = 1;
constexpr int kKeyUnique = 2;
constexpr int kCompareExact = 1;
constexpr int kCompareNoCase = 2;
constexpr int kMaxTextKeyLength = 128;  // String and composite key values

// ---- index nodes ----
constexpr int kNodeEntries = 200;         // entries in use at most
constexpr int kNodeSlots = 201;           // one more, to hold an entry before a split
constexpr int kSplitKeep = 100;           // entries 0..99 stay, 100..200 move
constexpr int kNodeWordCount = 0;         // i32 word: entries in use
constexpr int kNodeWordChildren = 1;      // 201 x i32 child positions, -1 in a leaf
constexpr int kNodeWordData = 202;        // 201 x i32 record or chain positions, -1 removed
constexpr int kNodeWordParent = 403;      // -1 for the root
constexpr int kNodeWordSelf = 404;        // the node's own position
constexpr int kNodeWordPrev = 405;        // previous node at the same level
constexpr int kNodeWordNext = 406;        // next node at the same level
constexpr int kNodePrefixSize = 1628;     // 407 words
constexpr int kNodeWideSlotStart = 1632;  // Double, String and composite keys

// ---- duplicate entries ----
constexpr int kDupEntrySize = 24;
constexpr const char kDupTag[8] = "fDUPKEY";  // compared on its first 7 characters
constexpr int kDupTagCompare = 7;
constexpr int kDupOffRecord = 8;
constexpr int kDupOffNext = 12;
constexpr int kDupOffPrev = 16;
constexpr int kDupOffLast = 20;  // first entry: the last entry; others: own position

// ---- records ----
constexpr int kPackedLengthSize = 2;      // u16 total length at offset 0
constexpr int kPackedMaxLength = 65535;   // what the u16 can say
constexpr int kPackedFreeLinkOffset = 2;  // free packed record: i32 next at 2..5
constexpr int kPackedFreeMinLength = 6;   // shorter freed records are not linked
constexpr int kFreeRecordLookAhead = 3;   // free blocks examined for a new record

// ---- long texts ----
constexpr int kMemoBlockHeader = 8;  // i32 next block (0 or -1 last), i32 bytes here
constexpr int kMemoFreeMaxHops = 1000;

// ---- little-endian access ----
inline int16_t GetI16(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}
inline uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int32_t GetI32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) |
                              (static_cast<uint32_t>(p[3]) << 24));
}
inline void PutI16(uint8_t* p, int32_t v) {
  const auto u = static_cast<uint16_t>(v);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
}
inline void PutI32(uint8_t* p, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
  p[2] = static_cast<uint8_t>(u >> 16);
  p[3] = static_cast<uint8_t>(u >> 24);
}
inline float GetF32(const uint8_t* p) {
  const uint32_t u = static_cast<uint32_t>(GetI32(p));
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
inline double GetF64(const uint8_t* p) {
  uint64_t u = static_cast<uint32_t>(GetI32(p)) |
               (static_cast<uint64_t>(static_cast<uint32_t>(GetI32(p + 4))) << 32);
  double d;
  std::memcpy(&d, &u, 8);
  return d;
}

}  // namespace sdb
