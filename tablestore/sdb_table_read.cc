// SdbTable: positioning through the keys, reading fields of the current record, and reading
// long texts.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "tablestore/sdb_table.h"
#include "tablestore/sdb_table_state.h"

using sdb::Status;
using sdb::TableState;
namespace text = sdb::text;

namespace {

enum class Move { kFirst, kLast, kNext, kPrev, kSeek };

}  // namespace

// All positioning: computes the new cursor and reads its record under a shared lock, and
// only then makes it current, so a failure leaves the current record as it was.
static bool Position(TableState& s, int key, Move move, const void* value, int value_length,
                     void* buffer, int length) {
  if (!s.open) return false;
  if (!s.index_ready) return move == Move::kSeek ? s.Fail(text::kNoIndex) : false;
  if (key < 0 || key >= static_cast<int>(s.trees.size())) return false;
  if (move == Move::kSeek) {
    if (value == nullptr || value_length < 0) return false;
    if (!sdb::SearchValue(s.layout.keys[key], value, static_cast<size_t>(value_length),
                          s.value.data())) {
      return false;
    }
  }
  sdb::FileLock lock(s.file, false);
  if (!lock.held()) return s.Fail(text::kCantLock);
  if (!s.RefreshHeader()) return false;
  if (s.header.RecordCount() <= 0) return false;
  sdb::Tree& tree = *s.trees[key];
  sdb::Cursor cursor;
  Status st = Status::kNotFound;
  switch (move) {
    case Move::kFirst:
      st = tree.First(&cursor);
      break;
    case Move::kLast:
      st = tree.Last(&cursor);
      break;
    case Move::kNext:
      st = tree.Next(s.cursors[key], &cursor);
      break;
    case Move::kPrev:
      st = tree.Prev(s.cursors[key], &cursor);
      break;
    case Move::kSeek:
      st = tree.Find(s.value.data(), &cursor);
      break;
  }
  if (st == Status::kOk) {
    st = sdb::ReadRecord(s.file, s.layout, cursor.record, s.work.data(), &s.scratch);
  }
  if (st != Status::kOk) return s.Fail(st);
  s.cursors[key] = cursor;
  s.current_key = key;
  s.current.swap(s.work);
  if (!s.edit_mode) s.pending = s.current;
  if (buffer != nullptr) {
    const int n = length <= 0 ? s.record_length() : std::min(length, s.record_length());
    std::memcpy(buffer, s.current.data(), n);
  }
  return true;
}

bool SdbTable::First(int key, void* buffer, int length) {
  return Position(*s_, key, Move::kFirst, nullptr, 0, buffer, length);
}

bool SdbTable::Last(int key, void* buffer, int length) {
  return Position(*s_, key, Move::kLast, nullptr, 0, buffer, length);
}

bool SdbTable::Next(int key, void* buffer, int length) {
  return Position(*s_, key, Move::kNext, nullptr, 0, buffer, length);
}

bool SdbTable::Prev(int key, void* buffer, int length) {
  return Position(*s_, key, Move::kPrev, nullptr, 0, buffer, length);
}

bool SdbTable::Seek(int key, const void* value, int value_length, void* buffer, int length) {
  return Position(*s_, key, Move::kSeek, value, value_length, buffer, length);
}

bool SdbTable::SeekText(int key, std::string_view text, void* buffer, int length) {
  if (text.size() > static_cast<size_t>(INT32_MAX)) return false;
  return Seek(key, text.data(), static_cast<int>(text.size()), buffer, length);
}

bool SdbTable::SeekNumber(int key, std::int64_t number, void* buffer, int length) {
  if (!s_->open || key < 0 || key >= static_cast<int>(s_->layout.keys.size())) return false;
  const sdb::KeyLayout& k = s_->layout.keys[key];
  if (k.composite) return false;
  // The value in the key's own form; a number the type cannot hold is in no record.
  const auto fits = [number](auto narrow) {
    return static_cast<std::int64_t>(static_cast<decltype(narrow)>(number)) == number;
  };
  const auto exact = [number](double d) {  // within range before it is converted back
    return d > -9.2e18 && d < 9.2e18 && static_cast<std::int64_t>(d) == number;
  };
  switch (k.value_type) {
    case sdb::kTypeShort: {
      std::int16_t v = static_cast<std::int16_t>(number);
      return fits(v) && Seek(key, &v, sizeof v, buffer, length);
    }
    case sdb::kTypeInt:
    case sdb::kTypeAutoInc: {
      std::int32_t v = static_cast<std::int32_t>(number);
      return fits(v) && Seek(key, &v, sizeof v, buffer, length);
    }
    case sdb::kTypeByte: {
      std::uint8_t v = static_cast<std::uint8_t>(number);
      return fits(v) && Seek(key, &v, sizeof v, buffer, length);
    }
    case sdb::kTypeFloat: {
      float v = static_cast<float>(number);
      return exact(v) && Seek(key, &v, sizeof v, buffer, length);
    }
    case sdb::kTypeDouble: {
      double v = static_cast<double>(number);
      return exact(v) && Seek(key, &v, sizeof v, buffer, length);
    }
    default:
      return false;
  }
}

bool SdbTable::SeekByKeyName(std::string_view key_name, const void* value, int value_length,
                             void* buffer, int length) {
  const auto trim = [](std::string_view v) {
    const char* space = " \t\r\n\v\f";
    const size_t b = v.find_first_not_of(space);
    if (b == std::string_view::npos) return std::string_view{};
    return v.substr(b, v.find_last_not_of(space) - b + 1);
  };
  const auto same = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::tolower(static_cast<unsigned char>(x)) ==
                    std::tolower(static_cast<unsigned char>(y));
           });
  };
  const std::string_view wanted = trim(key_name);
  for (int k = 0; k < static_cast<int>(s_->layout.keys.size()); ++k) {
    if (same(trim(s_->header.KeyName(k)), wanted)) {
      return Seek(k, value, value_length, buffer, length);
    }
  }
  return false;
}

// ---- fields ----

bool SdbTable::GetField(int field_number, void* out, int out_length) {
  TableState& s = *s_;
  if (!s.has_current() || field_number < 0 ||
      field_number >= static_cast<int>(s.layout.fields.size()) || out == nullptr) {
    return false;
  }
  const sdb::FieldLayout& f = s.layout.fields[field_number];
  if (f.type == Memo) return s.Fail(text::kFieldInvalid);
  if (out_length > 0 && out_length < f.length) return false;
  std::memcpy(out, s.current.data() + f.offset, f.length);
  return true;
}

bool SdbTable::GetField(std::string_view field_name, void* out, int out_length) {
  const int i = FieldIndex(field_name);
  return i >= 0 && GetField(i, out, out_length);
}

std::string SdbTable::GetFieldText(int field_number) const {
  const TableState& s = *s_;
  if (!s.has_current() || field_number < 0 ||
      field_number >= static_cast<int>(s.layout.fields.size())) {
    return "";
  }
  const sdb::FieldLayout& f = s.layout.fields[field_number];
  const uint8_t* p = s.current.data() + f.offset;
  char buffer[64];
  switch (f.type) {
    case Short:
      std::snprintf(buffer, sizeof buffer, "%d", sdb::GetI16(p));
      break;
    case Int:
    case AutoInc:
      std::snprintf(buffer, sizeof buffer, "%d", sdb::GetI32(p));
      break;
    case Byte:
      std::snprintf(buffer, sizeof buffer, "%d", p[0]);
      break;
    case Float: {
      std::string out(std::snprintf(nullptr, 0, "%.6f", sdb::GetF32(p)), '\0');
      std::snprintf(out.data(), out.size() + 1, "%.6f", sdb::GetF32(p));
      return out;
    }
    case Double: {
      std::string out(std::snprintf(nullptr, 0, "%.14f", sdb::GetF64(p)), '\0');
      std::snprintf(out.data(), out.size() + 1, "%.14f", sdb::GetF64(p));
      return out;
    }
    case String: {
      // A text that fills its field has no terminator.
      const auto* c = reinterpret_cast<const char*>(p);
      return std::string(c, strnlen(c, f.length));
    }
    default:
      return "";
  }
  return buffer;
}

std::string SdbTable::GetFieldText(std::string_view field_name) const {
  const int i = FieldIndex(field_name);
  return i >= 0 ? GetFieldText(i) : "";
}

// ---- long texts ----

namespace {

bool MemoDescriptor(const TableState& s, int field, int32_t* first, int32_t* length) {
  if (!s.has_current() || field < 0 || field >= static_cast<int>(s.layout.fields.size())) {
    return false;
  }
  const sdb::FieldLayout& f = s.layout.fields[field];
  if (f.type != SdbTable::Memo) return false;
  *first = sdb::GetI32(s.current.data() + f.offset);
  *length = sdb::GetI32(s.current.data() + f.offset + 4);
  return true;
}

}  // namespace

bool SdbTable::OpenMemo(int field_number) {
  TableState& s = *s_;
  int32_t first, length;
  s.memo_field = -1;
  s.memo.Reset();
  if (!MemoDescriptor(s, field_number, &first, &length) || first <= 0) return false;
  s.memo_field = field_number;
  s.memo.Start(first);
  return true;
}

bool SdbTable::ReadMemo(void* buffer, int length, int field_number) {
  TableState& s = *s_;
  if (!s.open || buffer == nullptr || length < 0 || field_number != s.memo_field ||
      !s.memo.started()) {
    return false;
  }
  sdb::FileLock lock(s.file, false);
  if (!lock.held()) return s.Fail(text::kCantLock);
  int got = 0;
  if (!s.memo.Read(s.file, static_cast<uint8_t*>(buffer), length, &got)) {
    return s.Fail(text::kDamaged);
  }
  return got == length;
}

int SdbTable::MemoLength(int field_number) const {
  int32_t first, length;
  if (!MemoDescriptor(*s_, field_number, &first, &length)) return -1;
  return length < 0 ? 0 : length;
}
