#include "config/account_tables.h"

#include "config/account_schema.h"
#include "config/data_dir.h"
#include "platform/profile.h"
#include "tablestore/sdb_table.h"

namespace tw {
namespace {

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

std::string TableError(const SdbTable& t, const std::string& what) {
  return t.ErrorText().empty() ? what : what + ": " + t.ErrorText();
}

// Copies the current record of t into *out. Fields missing from the file keep their defaults;
// numbers are read through their text so that Short, Byte or Int columns all read right.
template <typename R>
void ReadCurrent(const SdbTable& t, R* out) {
  R rec{};
  for (const FieldDef<R>& f : SchemaOf<R>().fields) {
    std::string text = f.read_by_number >= 0 ? t.GetFieldText(f.read_by_number)
                                             : t.GetFieldText(std::string_view(f.name));
    if (f.kind == FieldKind::kText) {
      *f.text(rec) = std::move(text);
    } else if (!text.empty()) {
      *f.number(rec) = ParseLeadingInt(text);
    }
  }
  *out = std::move(rec);
}

// Fills the pending record of t from rec. Refuses texts wider than their field rather than
// storing a cut value (a cut password would lock its user out).
template <typename R>
bool FillPending(SdbTable& t, const R& rec_in, std::string* error) {
  R rec = rec_in;
  for (const FieldDef<R>& f : SchemaOf<R>().fields) {
    if (f.kind == FieldKind::kText && f.text(rec)->size() > static_cast<std::size_t>(f.width)) {
      SetError(error,
               std::string(f.name) + " is longer than " + std::to_string(f.width) + " characters");
      return false;
    }
    if (f.kind == FieldKind::kText && f.text(rec)->find('\0') != std::string::npos) {
      SetError(error, std::string(f.name) + " holds a zero byte");
      return false;
    }
  }
  for (const FieldDef<R>& f : SchemaOf<R>().fields) {
    if (f.kind == FieldKind::kId) continue;
    if (t.FieldIndex(f.name) < 0) continue;  // a table made elsewhere may lack a column
    std::string text = f.kind == FieldKind::kText ? *f.text(rec) : std::to_string(*f.number(rec));
    if (!t.SetFieldText(text, std::string_view(f.name))) {
      SetError(error, TableError(t, std::string("cannot set ") + f.name));
      return false;
    }
  }
  return true;
}

template <typename R>
bool OpenTable(SdbTable& t, const std::string& path, int flags, std::string* error) {
  if (t.Open(path, flags)) return true;
  SetError(error, TableError(t, "cannot open " + path));
  return false;
}

bool UsableKeyText(std::string_view name) {
  return !name.empty() && name.size() <= 128 && name.find('\0') == std::string_view::npos;
}

}  // namespace

template <typename R>
AccountTable<R>::AccountTable(std::string_view data_dir)
    : path_(DataFilePath(data_dir, SchemaOf<R>().file_name)) {}

template <typename R>
AccountTable<R> AccountTable<R>::AtPath(std::string file_path) {
  AccountTable<R> table;
  table.path_ = std::move(file_path);
  return table;
}

template <typename R>
bool AccountTable<R>::FindById(std::int32_t id, R* out, std::string* error) const {
  SdbTable t;
  if (!OpenTable<R>(t, path_, SdbTable::kOpenReadOnly, error)) return false;
  if (!t.SeekNumber(0, id)) {
    SetError(error, "no record with id " + std::to_string(id));
    return false;
  }
  ReadCurrent(t, out);
  return true;
}

template <typename R>
bool AccountTable<R>::FindByName(std::string_view name, R* out, std::string* error) const {
  if (SchemaOf<R>().name_key_field < 0) {
    SetError(error, "this table has no name key");
    return false;
  }
  if (!UsableKeyText(name)) {
    SetError(error, "no such name");
    return false;
  }
  SdbTable t;
  if (!OpenTable<R>(t, path_, SdbTable::kOpenReadOnly, error)) return false;
  std::string key(name);
  if (!t.SeekText(1, key)) {
    SetError(error, "no such name");
    return false;
  }
  ReadCurrent(t, out);
  return true;
}

template <typename R>
bool AccountTable<R>::List(std::vector<R>* out, std::string* error, int key,
                           std::size_t max_records) const {
  out->clear();
  SdbTable t;
  if (!OpenTable<R>(t, path_, SdbTable::kOpenReadOnly, error)) return false;
  for (bool ok = t.First(key); ok && out->size() < max_records; ok = t.Next(key)) {
    R rec;
    ReadCurrent(t, &rec);
    out->push_back(std::move(rec));
    if (out->size() >= kMaxListedRecords) break;
  }
  return true;
}

template <typename R>
bool AccountTable<R>::Add(R* rec, std::string* error) const {
  SdbTable t;
  if (!OpenTable<R>(t, path_, SdbTable::kOpenReadWrite, error)) return false;
  if (!FillPending(t, *rec, error)) return false;
  if (!t.Append()) {
    SetError(error, TableError(t, "cannot add the record"));
    return false;
  }
  rec->id = t.LastValue();
  return true;
}

template <typename R>
bool AccountTable<R>::Update(const R& rec, std::string* error) const {
  SdbTable t;
  if (!OpenTable<R>(t, path_, SdbTable::kOpenReadWrite, error)) return false;
  std::int32_t id = rec.id;
  if (!t.SeekNumber(0, id)) {
    SetError(error, "no record with id " + std::to_string(id));
    return false;
  }
  if (!FillPending(t, rec, error)) return false;
  if (!t.Edit()) {
    SetError(error, TableError(t, "cannot change the record"));
    return false;
  }
  return true;
}

template <typename R>
bool AccountTable<R>::Delete(std::int32_t id, std::string* error) const {
  SdbTable t;
  if (!OpenTable<R>(t, path_, SdbTable::kOpenReadWrite, error)) return false;
  if (!t.SeekNumber(0, id)) {
    SetError(error, "no record with id " + std::to_string(id));
    return false;
  }
  if (!t.Delete()) {
    SetError(error, TableError(t, "cannot delete the record"));
    return false;
  }
  return true;
}

template <typename R>
bool AccountTable<R>::CreateFile(const std::string& file_path, std::string* error) {
  const Schema<R>& schema = SchemaOf<R>();
  SdbTable t;
  for (const FieldDef<R>& f : schema.fields) {
    bool ok = false;
    switch (f.kind) {
      case FieldKind::kId:
        ok = t.CreateField(f.name, SdbTable::AutoInc);
        break;
      case FieldKind::kNumber:
        ok = t.CreateField(f.name, SdbTable::Int);
        break;
      case FieldKind::kText:
        ok = t.CreateField(f.name, SdbTable::String, f.width);
        break;
    }
    if (!ok) {
      SetError(error, TableError(t, std::string("cannot define field ") + f.name));
      return false;
    }
  }
  if (schema.name_key_field >= 0 &&
      !t.CreateKey(schema.fields[schema.name_key_field].name, SdbTable::KeyUnique,
                   schema.name_key_field, SdbTable::CompareExact)) {
    SetError(error, TableError(t, "cannot define the name key"));
    return false;
  }
  if (!t.Create(file_path, schema.description)) {
    SetError(error, TableError(t, "cannot create " + file_path));
    return false;
  }
  t.Close();
  return true;
}

template class AccountTable<UserRecord>;
template class AccountTable<GroupRecord>;
template class AccountTable<ServerRecord>;
template class AccountTable<FilterRecord>;
template class AccountTable<ScheduleRecord>;

}  // namespace tw
