#include "tablestore/sdb_header.h"

#include <algorithm>

namespace sdb {

std::string_view Header::Text(int off, int size) const {
  const auto* p = reinterpret_cast<const char*>(bytes_.data() + off);
  size_t n = 0;
  while (n < static_cast<size_t>(size) && p[n] != '\0') ++n;
  return std::string_view(p, n);
}

void Header::SetText(int off, int size, std::string_view text) {
  const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memset(bytes_.data() + off, 0, size);
  std::memcpy(bytes_.data() + off, text.data(), n);
}

void Header::InitForCreate(std::string_view description) {
  SetText(kOffSignature, 32, kSignature);
  SetRecordCount(0);
  for (int k = 0; k < kMaxKeys; ++k) {
    SetKeyRoot(k, -1);
    SetKeyFirstLeaf(k, -1);
    SetKeyLastLeaf(k, -1);
  }
  SetFreeRecordHead(-1);
  SetFreeEntryHead(-1);
  SetI16(kOffRecordFormat, kRecordsPacked);
  SetText(kOffDescription, kDescriptionSize, description);
  SetText(kOffVersion, kVersionSize, kVersionText);
  SetFreeMemoHead(-1);
  std::memset(bytes_.data() + kOffReserved, 0, kHeaderSize - kOffReserved);
}

}  // namespace sdb
