// SdbTable: one open .sdb table file with its current record.
//
// Callers create an object on the stack, Open() a file by full path, position on a record
// through a key (Seek, First, Next, ...), read fields by number or name, and for changes fill
// the pending record with SetField/SetFieldText and call Append or Edit; Delete removes the
// current record. A new table is defined with CreateField/CreateKey and written by Create.
//
// Threads: one object is used by one thread at a time. Any number of objects, in this and in
// other processes, may have the same file open: every operation that reads the file holds a
// shared lock on it for its duration, every change an exclusive one, so no reader sees a half
// applied change and no two changes interleave. After each completed Append, Edit or Delete
// the header on disk matches the change, so a process that dies afterwards loses nothing.
//
// Failures: every operation returns false (or -1, "" or 0 for the value operations) and, where
// the operation defines one, leaves a text in ErrorText(). Nothing throws. Bytes read from the
// file are never trusted: a truncated or damaged file makes the operation fail, never crash.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace sdb {
struct TableState;
}

class SdbTable {
 public:
  // Field type codes, as stored in the file.
  enum FieldTypeCode : int {
    Short = 1,    // i16
    Int = 2,      // i32
    Float = 3,    // f32
    Double = 4,   // f64
    String = 5,   // text of a declared length (1 to 1024), zero-padded
    Byte = 6,     // unsigned 8-bit
    Memo = 7,     // long-text descriptor; read only
    AutoInc = 8,  // i32 given by Append: last id in key 0 order + 1
  };
  // Duplicate rule of a key.
  enum KeyModeCode : int { KeyDuplicates = 1, KeyUnique = 2 };
  // Comparison of text key parts.
  enum CompareModeCode : int { CompareExact = 1, CompareNoCase = 2 };
  // Open flags.
  enum OpenFlags : int { kOpenReadWrite = 0, kOpenReadOnly = 1 };

  SdbTable();
  ~SdbTable();  // closes the table
  SdbTable(const SdbTable&) = delete;
  SdbTable& operator=(const SdbTable&) = delete;

  // ---- Definition of a new table (only while no file is open) ----

  // Adds a field. length is used for String fields only (1 to 1024). An AutoInc field also
  // receives a unique key of its own, named like the field. The 129th field discards every
  // field and key defined so far.
  bool CreateField(std::string_view name, int type, int length = 0);
  // Adds a single-field key on field_number. For String fields, offset and length select the
  // characters used (defaults: the whole field, at most 128 characters).
  bool CreateKey(std::string_view name, int mode, int field_number, int compare_mode = CompareExact,
                 int offset = 0, int length = 0);
  // Creates (or truncates) the file with the definitions made so far; the table is then open
  // and empty.
  bool Create(const std::string& path, std::string_view description);

  // ---- Opening and closing ----

  // Closes whatever was open, then opens path. Fails with "key not found" on a file that
  // defines no key (the file stays open but nothing can be positioned).
  bool Open(const std::string& path, int open_flags = kOpenReadWrite);
  // Closes the file and returns the object to its initial state. Always safe to call.
  void Close();
  bool IsOpen() const;

  // ---- Positioning: make a record current; copy it into buffer when one is given ----
  // length 0 means the record length; at most the record length is copied.

  bool First(int key, void* buffer = nullptr, int length = 0);
  bool Last(int key, void* buffer = nullptr, int length = 0);
  bool Next(int key, void* buffer = nullptr, int length = 0);
  bool Prev(int key, void* buffer = nullptr, int length = 0);
  // value: value_length bytes in the key's own form, never read beyond: i16, i32, f32, f64
  // or byte for numeric keys and the concatenated key bytes for composite keys (a length other
  // than the key's: not found); a text for String keys, ending at its first zero byte or at
  // value_length (longer than the key: not found).
  bool Seek(int key, const void* value, int value_length, void* buffer = nullptr,
            int length = 0);
  bool SeekByKeyName(std::string_view key_name, const void* value, int value_length,
                     void* buffer = nullptr, int length = 0);
  // Seek of a text (String keys).
  bool SeekText(int key, std::string_view text, void* buffer = nullptr, int length = 0);
  // Seek of a number converted to the form and width of a numeric key (a number the key's
  // type cannot hold exactly: not found).
  bool SeekNumber(int key, std::int64_t number, void* buffer = nullptr, int length = 0);

  // ---- Reading fields of the current record ----

  // Copies the field's fixed-form bytes (2, 4, 8, 1, or the field length for String) to out.
  // out_length 0 trusts out to be large enough; otherwise a smaller out_length fails.
  bool GetField(int field_number, void* out, int out_length = 0);
  bool GetField(std::string_view field_name, void* out, int out_length = 0);
  // The value as text; "" for Memo fields, unknown fields or when no record is current.
  std::string GetFieldText(int field_number) const;
  std::string GetFieldText(std::string_view field_name) const;
  int FieldIndex(std::string_view name) const;  // -1 when there is no such field
  std::string FieldName(int field_number) const;
  int FieldType(int field_number) const;  // -1 when out of range
  int FieldCount() const;
  int KeyCount() const;
  int RecordCount() const;  // -1 when no file is open
  std::string Description() const;

  // ---- Changing the pending record ----

  // value: 2, 4, 8 or 1 bytes for numeric fields; for String a text read up to its first zero
  // or the field length, whichever comes first.
  bool SetField(int field_number, const void* value);
  bool SetField(std::string_view field_name, const void* value);
  bool SetFieldText(std::string_view text, int field_number);
  bool SetFieldText(std::string_view text, std::string_view field_name);

  // ---- Changing records ----

  // Adds the pending record, or buffer (fixed record form) when given. The AutoInc value
  // given to the record is also written into buffer.
  bool Append(void* buffer = nullptr, int length = 0);
  // Replaces the current record by the pending record (or buffer), keeping its AutoInc value.
  bool Edit(const void* buffer = nullptr, int length = 0);
  // Removes the current record.
  bool Delete();
  // Positions on the last record in key 0 order and returns its field 0; 0 when empty.
  int LastValue();

  // ---- Long texts (reading only) ----

  bool OpenMemo(int field_number);
  bool ReadMemo(void* buffer, int length, int field_number);
  int MemoLength(int field_number) const;

  const std::string& ErrorText() const;
  const std::string& InfoText() const;

 private:
  std::unique_ptr<sdb::TableState> s_;
};
