// SdbTable: the pending record and the changes (Append, Edit, Delete). Each change runs
// under the exclusive file lock from a fresh header to a written header, so another object
// sees it whole or not at all, and a process that dies afterwards leaves a consistent file.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "tablestore/sdb_record.h"
#include "tablestore/sdb_table.h"
#include "tablestore/sdb_table_state.h"

using sdb::Status;
using sdb::TableState;
namespace text = sdb::text;

// ---- the pending record ----

bool SdbTable::SetField(int field_number, const void* value) {
  TableState& s = *s_;
  if (!s.open || field_number < 0 || field_number >= static_cast<int>(s.layout.fields.size()) ||
      s.pending.empty() || value == nullptr) {
    return false;
  }
  const sdb::FieldLayout& f = s.layout.fields[field_number];
  if (f.type == AutoInc || f.type == Memo) return s.Fail(text::kFieldInvalid);
  uint8_t* to = s.pending.data() + f.offset;
  if (f.type == String) {
    const size_t n = strnlen(static_cast<const char*>(value), f.length);
    std::memset(to, 0, f.length);
    std::memcpy(to, value, n);
  } else {
    std::memcpy(to, value, f.length);
  }
  s.set_flags[field_number] = true;
  return true;
}

bool SdbTable::SetField(std::string_view field_name, const void* value) {
  const int i = FieldIndex(field_name);
  return i >= 0 && SetField(i, value);
}

bool SdbTable::SetFieldText(std::string_view text, int field_number) {
  TableState& s = *s_;
  if (!s.open || field_number < 0 || field_number >= static_cast<int>(s.layout.fields.size())) {
    return false;
  }
  const std::string t(text);  // the conversions need a terminator
  switch (s.layout.fields[field_number].type) {
    case Short: {
      const auto v = static_cast<int16_t>(std::strtoll(t.c_str(), nullptr, 10));
      return SetField(field_number, &v);
    }
    case Int: {
      const auto v = static_cast<int32_t>(std::strtoll(t.c_str(), nullptr, 10));
      return SetField(field_number, &v);
    }
    case Byte: {
      const uint8_t v = std::strtoll(t.c_str(), nullptr, 10) != 0 ? 1 : 0;
      return SetField(field_number, &v);
    }
    case Float: {
      const float v = std::strtof(t.c_str(), nullptr);
      return SetField(field_number, &v);
    }
    case Double: {
      const double v = std::strtod(t.c_str(), nullptr);
      return SetField(field_number, &v);
    }
    case String: return SetField(field_number, t.c_str());
    default: return false;
  }
}

bool SdbTable::SetFieldText(std::string_view text, std::string_view field_name) {
  const int i = FieldIndex(field_name);
  return i >= 0 && SetFieldText(text, i);
}

// ---- changes ----

namespace {

// The AutoInc value of the record that is last in key 0 order; 0 when there is none.
// Leaves cursors and records as they were.
Status LastAutoInc(TableState& s, int32_t* value) {
  *value = 0;
  sdb::Cursor cursor;
  const Status st = s.trees[0]->Last(&cursor);
  if (st == Status::kNotFound) return Status::kOk;
  if (st != Status::kOk) return st;
  std::vector<uint8_t> record(s.record_length());
  if (Status r = sdb::ReadRecord(s.file, s.layout, cursor.record, record.data(), &s.scratch);
      r != Status::kOk) {
    return r;
  }
  *value = sdb::GetI32(record.data() + s.layout.fields[s.layout.autoinc_field].offset);
  return Status::kOk;
}

// Adds the record in s.work. REQUIRES: exclusive lock, fresh header. *pos: where it went.
// *changed: something was written (the header must go back even when this fails).
bool AppendLocked(TableState& s, void* buffer, int length, int32_t* pos, bool* changed) {
  uint8_t* rec = s.work.data();
  const int autoinc = s.layout.autoinc_field;
  if (!s.edit_mode && autoinc >= 0 && !s.trees.empty()) {
    int32_t last;
    if (Status st = LastAutoInc(s, &last); st != Status::kOk) return s.Fail(st);
    const auto id = static_cast<int32_t>(static_cast<uint32_t>(last) + 1u);
    const sdb::FieldLayout& f = s.layout.fields[autoinc];
    sdb::PutI32(rec + f.offset, id);
    if (buffer != nullptr && f.offset + f.length <= length) {
      std::memcpy(static_cast<uint8_t*>(buffer) + f.offset, rec + f.offset, f.length);
    }
  }
  if (!s.edit_mode) {  // while editing, the record keeps its long texts
    for (size_t i = 0; i < s.layout.fields.size(); ++i) {
      const sdb::FieldLayout& f = s.layout.fields[i];
      if (f.type == SdbTable::Memo && !s.set_flags[i]) std::memset(rec + f.offset, 0, f.length);
    }
  }
  s.set_flags.fill(false);
  if (s.trees.empty()) return s.Fail(text::kKeyNotFound);
  if (s.layout.packed) {
    if (!sdb::PackRecord(s.layout, rec, &s.packed)) return s.Fail(text::kRecordTooLong);
  } else {
    s.packed.assign(rec, rec + s.record_length());
  }
  for (size_t k = 0; k < s.trees.size(); ++k) {
    if (!s.layout.keys[k].unique()) continue;
    sdb::MakeKeyValue(s.layout.keys[k], rec, s.value.data());
    bool live = false;
    if (Status st = s.trees[k]->Holds(s.value.data(), &live); st != Status::kOk) return s.Fail(st);
    if (live) return s.Fail(text::kUnduplicated);
  }
  *changed = true;
  if (Status st = sdb::PlaceRecord(s.file, s.header, s.layout, s.packed, pos); st != Status::kOk) {
    return s.Fail(st);
  }
  for (size_t k = 0; k < s.trees.size(); ++k) {
    sdb::MakeKeyValue(s.layout.keys[k], rec, s.value.data());
    const bool here = s.edit_mode && static_cast<int>(k) == s.current_key;
    int32_t dup;
    if (Status st = s.trees[k]->Insert(s.value.data(), *pos, here ? &s.edit_place : nullptr, &dup);
        st != Status::kOk) {
      return s.Fail(st);
    }
  }
  s.header.SetRecordCount(s.header.RecordCount() + 1);
  std::fill(s.pending.begin(), s.pending.end(), 0);
  return true;
}

// Removes the current record. Every key's entry is found before anything is written, so a
// record that cannot be removed whole is not touched. REQUIRES: exclusive lock, fresh header.
bool DeleteLocked(TableState& s, bool* changed) {
  sdb::Cursor& cursor = s.cursors[s.current_key];
  const int32_t record = cursor.record;
  std::array<sdb::Removal, sdb::kMaxKeys> removals;
  for (size_t k = 0; k < s.trees.size(); ++k) {
    sdb::MakeKeyValue(s.layout.keys[k], s.current.data(), s.value.data());
    const bool here = static_cast<int>(k) == s.current_key;
    const Status st =
        s.trees[k]->Locate(s.value.data(), record, here ? &cursor : nullptr, &removals[k]);
    if (st == Status::kNotFound) return false;
    if (st != Status::kOk) return s.Fail(st);
  }
  *changed = true;
  for (size_t k = 0; k < s.trees.size(); ++k) {
    const bool here = static_cast<int>(k) == s.current_key;
    if (Status st = s.trees[k]->Remove(removals[k], here ? &s.edit_place : nullptr);
        st != Status::kOk) {
      return s.Fail(st);
    }
  }
  s.header.SetRecordCount(s.header.RecordCount() - 1);
  if (!s.edit_mode) {  // while editing, the long texts stay with the record
    for (const sdb::FieldLayout& f : s.layout.fields) {
      if (f.type != SdbTable::Memo) continue;
      const int32_t first = sdb::GetI32(s.current.data() + f.offset);
      if (first <= 0) continue;
      if (Status st = sdb::FreeMemo(s.file, s.header, first); st != Status::kOk) return s.Fail(st);
    }
  }
  if (Status st = sdb::FreeRecord(s.file, s.header, s.layout, record); st != Status::kOk) {
    return s.Fail(st);
  }
  // Next and Prev go on from where the record was, through the entry as it was unlinked.
  cursor.entry = removals[s.current_key].dup;
  cursor.record = -1;
  return true;
}

// Places the current key's cursor on the record just written at pos.
void CursorOnRecord(TableState& s, int32_t pos) {
  sdb::Cursor& cursor = s.cursors[s.current_key];
  sdb::Removal where;
  sdb::MakeKeyValue(s.layout.keys[s.current_key], s.work.data(), s.value.data());
  if (s.trees[s.current_key]->Locate(s.value.data(), pos, nullptr, &where) != Status::kOk) return;
  cursor.leaf = where.leaf;
  cursor.index = where.index;
  cursor.record = pos;
  cursor.dup = where.entry;
  cursor.entry = where.dup;
  cursor.chain_hops = 0;
  std::memcpy(cursor.key.data(), s.value.data(), s.layout.keys[s.current_key].slot_size);
  s.current = s.work;
}

bool CanChange(TableState& s) {
  if (!s.open) return false;
  if (s.read_only) return s.Fail(text::kReadOnly);
  return true;
}

}  // namespace

bool SdbTable::Append(void* buffer, int length) {
  TableState& s = *s_;
  if (!CanChange(s)) return false;
  if (!s.index_ready) return s.Fail(text::kKeyNotFound);
  const int n = s.record_length();
  const int take = buffer == nullptr ? 0 : (length <= 0 ? n : std::min(length, n));
  if (buffer != nullptr) {
    std::fill(s.work.begin(), s.work.end(), 0);
    std::memcpy(s.work.data(), buffer, take);
  } else {
    s.work = s.pending;
  }
  sdb::FileLock lock(s.file, true);
  if (!lock.held()) return s.Fail(text::kCantLock);
  if (!s.RefreshHeader()) return false;
  int32_t pos;
  bool changed = false;
  const bool ok = AppendLocked(s, buffer, take, &pos, &changed);
  if (changed && !s.WriteHeader()) return false;
  return ok;
}

bool SdbTable::Delete() {
  TableState& s = *s_;
  if (!CanChange(s)) return false;
  if (!s.index_ready) return s.Fail(text::kKeyNotFound);
  sdb::FileLock lock(s.file, true);
  if (!lock.held()) return s.Fail(text::kCantLock);
  if (!s.RefreshHeader()) return false;
  if (s.header.RecordCount() <= 0) return false;
  if (s.current_key < 0) return s.Fail(text::kCantLocate);
  if (!s.has_current()) return false;
  bool changed = false;
  const bool ok = DeleteLocked(s, &changed);
  if (changed && !s.WriteHeader()) return false;
  return ok;
}

bool SdbTable::Edit(const void* buffer, int length) {
  TableState& s = *s_;
  if (!CanChange(s)) return false;
  if (!s.index_ready) return s.Fail(text::kKeyNotFound);
  if (s.current_key < 0) return s.Fail(text::kCurrentKeyInvalid);
  if (!s.has_current()) return false;
  sdb::FileLock lock(s.file, true);
  if (!lock.held()) return s.Fail(text::kCantLock);
  if (!s.RefreshHeader()) return false;
  if (s.header.RecordCount() <= 0) return false;

  // The new record keeps the old one's id and long texts.
  const std::vector<uint8_t> old = s.current;
  std::vector<uint8_t> next = s.pending;
  if (buffer != nullptr) {
    std::fill(next.begin(), next.end(), 0);
    const int n = length <= 0 ? s.record_length() : std::min(length, s.record_length());
    std::memcpy(next.data(), buffer, n);
  }
  for (const sdb::FieldLayout& f : s.layout.fields) {
    if (f.type == AutoInc || f.type == Memo) {
      std::memcpy(next.data() + f.offset, old.data() + f.offset, f.length);
    }
  }
  s.set_flags.fill(true);
  s.edit_mode = true;
  s.edit_place = sdb::ChainPlace{};
  bool changed = false;
  bool ok = DeleteLocked(s, &changed);
  if (ok) {
    int32_t pos;
    s.work = next;
    if (AppendLocked(s, nullptr, 0, &pos, &changed)) {
      CursorOnRecord(s, pos);
    } else {
      // Put the old record back as it was: same id, same long texts, same place in its chain.
      const std::string why = s.error;
      s.work = old;
      if (AppendLocked(s, nullptr, 0, &pos, &changed)) {
        CursorOnRecord(s, pos);
        s.error = why;  // "the key is unduplicated" when a unique key refused it
      } else {
        s.error = text::kDamaged;
      }
      ok = false;
    }
  }
  s.edit_mode = false;
  s.edit_place = sdb::ChainPlace{};
  s.set_flags.fill(false);
  if (changed && !s.WriteHeader()) return false;
  return ok;
}

int SdbTable::LastValue() {
  TableState& s = *s_;
  if (!Last(0)) return 0;
  if (s.layout.fields.empty()) return 0;
  const sdb::FieldLayout& f = s.layout.fields[0];
  const uint8_t* p = s.current.data() + f.offset;
  switch (f.type) {
    case Short: return sdb::GetI16(p);
    case Int:
    case AutoInc: return sdb::GetI32(p);
    case Byte: return p[0];
    default: return 0;
  }
}
