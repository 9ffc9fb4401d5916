#include "tablestore/sdb_heap.h"

#include <algorithm>

#include "tablestore/sdb_record.h"

namespace sdb {

Status ReadRecord(File& file, const Layout& layout, int32_t pos, uint8_t* fixed,
                  std::vector<uint8_t>* scratch) {
  if (!layout.packed) {
    return file.ReadItem(pos, fixed, layout.record_length) ? Status::kOk : Status::kDamaged;
  }
  uint8_t head[kPackedLengthSize];
  if (!file.ReadItem(pos, head, sizeof head)) return Status::kDamaged;
  const int length = GetU16(head);
  if (length < kPackedLengthSize || length > layout.max_packed_length) return Status::kDamaged;
  scratch->resize(length);
  if (!file.ReadItem(pos, scratch->data(), length)) return Status::kDamaged;
  return UnpackRecord(layout, scratch->data(), length, fixed) ? Status::kOk : Status::kDamaged;
}

namespace {

// Fixed format: the head of the free list, if it can hold a record, else the end.
Status PlaceFixed(File& file, Header& header, const Layout& layout, int32_t* pos) {
  const int32_t head = header.FreeRecordHead();
  uint8_t link[4];
  if (head >= 0 && layout.record_length >= 4 && file.ValidItem(head, layout.record_length) &&
      file.Read(head, link, 4)) {
    header.SetFreeRecordHead(GetI32(link));
    *pos = head;
    return Status::kOk;
  }
  return file.EndPosition(layout.record_length, pos) ? Status::kOk : Status::kWriteFailed;
}

// Packed format: the first of the first three free blocks that is long enough, else the end.
Status PlacePacked(File& file, Header& header, int n, int32_t* pos) {
  int32_t prev = -1;
  int32_t block = header.FreeRecordHead();
  for (int look = 0; look < kFreeRecordLookAhead && block > 0; ++look) {
    uint8_t b[kPackedFreeMinLength];
    if (!file.ReadItem(block, b, sizeof b)) break;  // a damaged list is not followed
    const int length = GetU16(b);
    const int32_t next = GetI32(b + kPackedFreeLinkOffset);
    if (length >= n && length >= kPackedFreeMinLength && file.ValidItem(block, length)) {
      if (prev == -1) {
        header.SetFreeRecordHead(next);
      } else {
        uint8_t link[4];
        PutI32(link, next);
        if (!file.Write(static_cast<int64_t>(prev) + kPackedFreeLinkOffset, link, 4)) {
          return Status::kWriteFailed;
        }
      }
      *pos = block;
      return Status::kOk;
    }
    prev = block;
    block = next;
  }
  return file.EndPosition(n, pos) ? Status::kOk : Status::kWriteFailed;
}

}  // namespace

Status PlaceRecord(File& file, Header& header, const Layout& layout,
                   const std::vector<uint8_t>& bytes, int32_t* pos) {
  const Status s = layout.packed ? PlacePacked(file, header, static_cast<int>(bytes.size()), pos)
                                 : PlaceFixed(file, header, layout, pos);
  if (s != Status::kOk) return s;
  return file.Write(*pos, bytes.data(), bytes.size()) ? Status::kOk : Status::kWriteFailed;
}

Status FreeRecord(File& file, Header& header, const Layout& layout, int32_t pos) {
  uint8_t link[4];
  PutI32(link, header.FreeRecordHead());
  if (!layout.packed) {
    if (layout.record_length < 4) return Status::kOk;
    if (!file.Write(pos, link, 4)) return Status::kWriteFailed;
    header.SetFreeRecordHead(pos);
    return Status::kOk;
  }
  uint8_t head[kPackedLengthSize];
  if (!file.ReadItem(pos, head, sizeof head)) return Status::kDamaged;
  if (GetU16(head) < kPackedFreeMinLength) return Status::kOk;
  if (!file.ValidItem(pos, kPackedFreeMinLength)) return Status::kDamaged;
  if (!file.Write(static_cast<int64_t>(pos) + kPackedFreeLinkOffset, link, 4)) {
    return Status::kWriteFailed;
  }
  header.SetFreeRecordHead(pos);
  return Status::kOk;
}

Status FreeMemo(File& file, Header& header, int32_t first) {
  int32_t block = first;
  for (int hops = 0; hops <= kMemoFreeMaxHops; ++hops) {
    uint8_t b[kMemoBlockHeader];
    if (!file.ReadItem(block, b, sizeof b)) return Status::kOk;  // leads out of the file
    const int32_t next = GetI32(b);
    if (next > 0) {
      block = next;
      continue;
    }
    uint8_t link[4];
    PutI32(link, header.FreeMemoHead());
    if (!file.Write(block, link, 4)) return Status::kWriteFailed;
    header.SetFreeMemoHead(first);
    return Status::kOk;
  }
  return Status::kOk;  // too long (or a cycle): left as it is
}

bool MemoReader::Read(File& file, uint8_t* out, int n, int* got) {
  *got = 0;
  const int64_t max_hops = file.size() / kMemoBlockHeader + 1;
  while (*got < n && block_ > 0) {
    if (!loaded_) {
      uint8_t b[kMemoBlockHeader];
      if (!file.ReadItem(block_, b, sizeof b)) return false;
      next_ = GetI32(b);
      length_ = GetI32(b + 4);
      if (length_ < 0 ||
          !file.ValidItem(static_cast<int64_t>(block_) + kMemoBlockHeader, length_)) {
        return false;
      }
      loaded_ = true;
      offset_ = 0;
    }
    const int take = std::min(n - *got, length_ - offset_);
    if (take > 0) {
      if (!file.Read(static_cast<int64_t>(block_) + kMemoBlockHeader + offset_, out + *got, take)) {
        return false;
      }
      *got += take;
      offset_ += take;
      continue;
    }
    if (++hops_ > max_hops) return false;  // a cycle of blocks
    block_ = next_ > 0 ? next_ : -1;
    loaded_ = false;
  }
  return true;
}

}  // namespace sdb
