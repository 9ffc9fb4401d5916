// SdbTable: definition of new tables, opening and closing, and what the object tells about
// the table. Positioning and field reads are in sdb_table_read.cc, changes in
// sdb_table_write.cc.
#include "tablestore/sdb_table.h"

#include <bit>
#include <cctype>
#include <cstdio>

#include "tablestore/sdb_table_state.h"

static_assert(std::endian::native == std::endian::little,
              "the fixed record form is used in memory as it is on disk (little-endian)");

namespace sdb {

bool TableState::RefreshHeader() {
  if (file.size() < kHeaderSize) return Fail(text::kDamaged);
  uint8_t* h = header.data();
  if (!file.Read(kOffRecordCount, h + kOffRecordCount, 4) ||
      !file.Read(kOffMutableStart, h + kOffMutableStart, kMutableLength) ||
      !file.Read(kOffFreeMemoHead, h + kOffFreeMemoHead, 4)) {
    return Fail(text::kDamaged);
  }
  return true;
}

bool TableState::WriteHeader() {
  if (!file.Write(0, header.data(), kHeaderSize)) {
    dirty = true;
    return Fail(text::kCantWrite);
  }
  dirty = false;
  return true;
}

namespace {

std::string_view Trim(std::string_view s) {
  const char* space = " \t\r\n\v\f";
  const size_t b = s.find_first_not_of(space);
  if (b == std::string_view::npos) return {};
  const size_t e = s.find_last_not_of(space);
  return s.substr(b, e - b + 1);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Names are stored with at most 31 characters; compare what would be stored.
std::string_view StoredName(std::string_view name) {
  return Trim(name).substr(0, kNameSize - 1);
}

std::string Format(const char* pattern, int a, int b = 0) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, pattern, a, b);
  return buffer;
}

std::string InfoFor(std::string_view version) {
  return std::string(version) + " ,Krdb Engine,Tarnwick table store";
}

}  // namespace
}  // namespace sdb

using sdb::TableState;
namespace text = sdb::text;

SdbTable::SdbTable() : s_(std::make_unique<TableState>()) {}

SdbTable::~SdbTable() { Close(); }

// ---- definition ----

bool SdbTable::CreateField(std::string_view name, int type, int length) {
  TableState& s = *s_;
  sdb::Header& h = s.header;
  if (s.open) return s.Fail(text::kMustBeforeCreate);
  const int count = h.FieldCount();
  if (count >= sdb::kMaxFields) {
    // The definitions made so far are given up; keys go with them, since they would name
    // fields that no longer exist.
    h.Clear();
    s.error = sdb::Format(text::kFieldCount, sdb::kMaxFields);
    return false;
  }
  const std::string_view stored = sdb::StoredName(name);
  for (int i = 0; i < count; ++i) {
    if (sdb::EqualNoCase(sdb::Trim(h.FieldName(i)), stored)) return s.Fail(text::kFieldExists);
  }
  if (type == String && (length < sdb::kMinStringLength || length > sdb::kMaxStringLength)) {
    s.error = sdb::Format(text::kFieldLength, sdb::kMinStringLength, sdb::kMaxStringLength);
    return false;
  }
  if (type == AutoInc) {
    for (int i = 0; i < count; ++i) {
      if (h.FieldType(i) == AutoInc) return s.Fail(text::kTooManyAutoInc);
    }
  }
  if (type != String && sdb::TypeWidth(type) == 0) return s.Fail(text::kTypeInvalid);
  h.SetFieldName(count, stored);
  h.SetFieldType(count, type);
  h.SetFieldLength(count, type == String ? length : sdb::TypeWidth(type));
  h.SetFieldCount(count + 1);
  if (type == AutoInc && !CreateKey(stored, KeyUnique, count)) {
    // Without its key the id could not be kept unique: the field is not added either.
    h.SetFieldName(count, "");
    h.SetFieldType(count, 0);
    h.SetFieldLength(count, 0);
    h.SetFieldCount(count);
    return false;
  }
  return true;
}

bool SdbTable::CreateKey(std::string_view name, int mode, int field_number, int compare_mode,
                         int offset, int length) {
  TableState& s = *s_;
  sdb::Header& h = s.header;
  if (s.open) return s.Fail(text::kMustBeforeCreate);
  const int fields = h.FieldCount();
  if (fields <= 0) return s.Fail(text::kCreateFieldFirst);
  if (field_number < 0 || field_number >= fields) {
    s.error = sdb::Format(text::kFieldNo, fields);
    return false;
  }
  const int k = h.KeyCount();
  if (k >= sdb::kMaxKeys) {
    s.error = sdb::Format(text::kKeyCount, sdb::kMaxKeys);
    return false;
  }
  const std::string_view stored = sdb::StoredName(name);
  for (int i = 0; i < k; ++i) {
    if (sdb::EqualNoCase(sdb::Trim(h.KeyName(i)), stored)) return s.Fail(text::kKeyExists);
  }
  const int type = h.FieldType(field_number);
  if (type == Memo || (type != String && sdb::TypeWidth(type) == 0)) {
    return s.Fail(text::kCantBeKey);
  }
  h.SetKeyName(k, stored);
  h.SetKeyMode(k, mode == KeyUnique ? KeyUnique : KeyDuplicates);
  h.SetKeyPartCount(k, -1);
  h.SetKeyPartField(k, 0, field_number);
  if (type == String) {
    const int field_length = h.FieldLength(field_number);
    h.SetKeyPartOffset(k, 0, offset >= 0 && offset < field_length ? offset : 0);
    h.SetKeyPartLength(k, 0,
                       length >= 1 && length <= sdb::kMaxTextKeyLength
                           ? length
                           : std::min(field_length, sdb::kMaxTextKeyLength));
    h.SetKeyPartCompare(k, 0, compare_mode == CompareNoCase ? CompareNoCase : CompareExact);
  } else {
    h.SetKeyPartLength(k, 0, sdb::TypeWidth(type));
  }
  h.SetKeyCount(k + 1);
  return true;
}

namespace sdb {
namespace {

// Makes the object ready for records once the header and layout are in place.
void PrepareBuffers(TableState& s) {
  const int n = s.layout.record_length;
  s.current.assign(n, 0);
  s.pending.assign(n, 0);
  s.work.assign(n, 0);
  s.trees.clear();
  for (int k = 0; k < static_cast<int>(s.layout.keys.size()); ++k) {
    s.trees.push_back(std::make_unique<Tree>(s.file, s.header, s.layout.keys[k], k));
  }
  s.info = InfoFor(s.header.Version());
}

}  // namespace
}  // namespace sdb

bool SdbTable::Create(const std::string& path, std::string_view description) {
  TableState& s = *s_;
  sdb::Header& h = s.header;
  if (s.open) return s.Fail(text::kMustBeforeCreate);
  if (!s.file.Create(path)) return s.Fail(text::kCantCreate);
  sdb::FileLock lock(s.file, true);
  if (!lock.held()) {
    s.file.Close();
    return s.Fail(text::kCantLock);
  }
  if (!s.file.Truncate()) {
    s.file.Close();
    return s.Fail(text::kCantCreate);
  }
  s.open = true;
  if (h.KeyCount() <= 0) return s.Fail(text::kCreateKeyFirst);
  int record_length = 0;
  for (int i = 0; i < h.FieldCount(); ++i) record_length += h.FieldLength(i);
  h.SetRecordLength(record_length);
  h.InitForCreate(description);
  std::string why;
  if (!sdb::BuildLayout(h, &s.layout, &why)) return s.Fail(text::kDamaged);
  if (!s.WriteHeader()) return false;
  sdb::PrepareBuffers(s);
  s.index_ready = true;
  return true;
}

// ---- opening and closing ----

bool SdbTable::Open(const std::string& path, int open_flags) {
  Close();
  TableState& s = *s_;
  s.read_only = open_flags == kOpenReadOnly;
  if (!s.file.Open(path, !s.read_only)) return s.Fail(text::kCantOpen);
  {
    sdb::FileLock lock(s.file, false);
    std::string why;
    if (!lock.held()) {
      s.error = text::kCantLock;
    } else if (s.file.size() < sdb::kHeaderSize ||
               !s.file.Read(0, s.header.data(), sdb::kHeaderSize) ||
               !sdb::BuildLayout(s.header, &s.layout, &why)) {
      s.error = text::kDamaged;
    } else {
      s.open = true;
    }
  }
  if (!s.open) {
    std::string error = s.error;
    Close();  // replaces the state: s is gone from here on
    s_->error = error;
    return false;
  }
  sdb::PrepareBuffers(s);
  if (s.layout.keys.empty()) return s.Fail(text::kKeyNotFound);
  s.index_ready = true;
  return true;
}

void SdbTable::Close() {
  TableState& s = *s_;
  if (s.file.is_open() && s.dirty && !s.read_only) {
    sdb::FileLock lock(s.file, true);
    if (lock.held()) s.WriteHeader();
  }
  std::string error = std::move(s.error);
  s.trees.clear();  // before the layout they refer to
  s_ = std::make_unique<TableState>();
  s_->error = std::move(error);
}

bool SdbTable::IsOpen() const { return s_->open; }

// ---- what the table tells ----

int SdbTable::FieldIndex(std::string_view name) const {
  std::string wanted(name);
  for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const sdb::Header& h = s_->header;
  const int count = std::clamp(h.FieldCount(), 0, sdb::kMaxFields);
  for (int i = 0; i < count; ++i) {
    if (sdb::EqualNoCase(sdb::Trim(h.FieldName(i)), wanted)) return i;
  }
  return -1;
}

std::string SdbTable::FieldName(int field_number) const {
  if (field_number < 0 || field_number >= FieldCount()) return "";
  return std::string(s_->header.FieldName(field_number));
}

int SdbTable::FieldType(int field_number) const {
  if (field_number < 0 || field_number >= FieldCount()) return -1;
  return s_->header.FieldType(field_number);
}

int SdbTable::FieldCount() const { return std::clamp(s_->header.FieldCount(), 0, sdb::kMaxFields); }

int SdbTable::KeyCount() const { return std::clamp(s_->header.KeyCount(), 0, sdb::kMaxKeys); }

int SdbTable::RecordCount() const { return s_->open ? s_->header.RecordCount() : -1; }

std::string SdbTable::Description() const { return std::string(s_->header.Description()); }

const std::string& SdbTable::ErrorText() const { return s_->error; }

const std::string& SdbTable::InfoText() const { return s_->info; }
