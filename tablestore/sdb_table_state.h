// What an SdbTable object holds while a file is open (and, before Create, the definitions
// being collected in the header). Shared by the source files of SdbTable only.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "tablestore/sdb_file.h"
#include "tablestore/sdb_format.h"
#include "tablestore/sdb_header.h"
#include "tablestore/sdb_heap.h"
#include "tablestore/sdb_layout.h"
#include "tablestore/sdb_tree.h"

namespace sdb {

// Failure texts of the table. The first group is what callers and users have always seen;
// keep them as they are, spacing included.
namespace text {
constexpr const char kMustBeforeCreate[] = "must do before create db";
constexpr const char kFieldCount[] = "Field count must less than %d  ";
constexpr const char kFieldExists[] = "The FieldName exist already!";
constexpr const char kFieldLength[] = "field length must between %d and %d";
constexpr const char kTooManyAutoInc[] = "Too many AutoInc fields";
constexpr const char kCreateFieldFirst[] = "must create field first";
constexpr const char kFieldNo[] = "FieldNo must less than %d";
constexpr const char kKeyCount[] = "key count must less than %d  ";
constexpr const char kKeyExists[] = "The KeyName exist already!";
constexpr const char kCantBeKey[] = "This field can't be key!";
constexpr const char kCantCreate[] = "can't create file ";
constexpr const char kCreateKeyFirst[] = "Create Index error,please CreateKey first!";
constexpr const char kCantOpen[] = "file can't be  opened!";
constexpr const char kKeyNotFound[] = "key not found";
constexpr const char kNoIndex[] = "index file not found!";
constexpr const char kFieldInvalid[] = "field invalidation";
constexpr const char kUnduplicated[] = "the key is unduplicated";
constexpr const char kCurrentKeyInvalid[] = "current key invalid";
constexpr const char kCantLocate[] = "Can't locate a record  ";
// Failures the texts above do not cover.
constexpr const char kDamaged[] = "file is damaged";
constexpr const char kCantWrite[] = "can't write file";
constexpr const char kCantLock[] = "can't lock file";
constexpr const char kReadOnly[] = "file is opened read only";
constexpr const char kRecordTooLong[] = "record too long";
constexpr const char kTypeInvalid[] = "field type invalid";
}  // namespace text

struct TableState {
  File file;
  Header header;
  Layout layout;
  std::vector<std::unique_ptr<Tree>> trees;  // one per key; they refer to layout.keys

  bool open = false;
  bool index_ready = false;
  bool dirty = false;  // a header write failed; Close tries again
  bool read_only = false;
  std::string error;
  std::string info;

  std::vector<uint8_t> current;  // record last read (fixed form)
  std::vector<uint8_t> pending;  // values for the next Append or Edit
  std::vector<uint8_t> work;     // record being written
  std::vector<uint8_t> scratch;  // bytes of a packed record
  std::vector<uint8_t> packed;
  std::array<uint8_t, kMaxTextKeyLength + 8> value{};  // one key value

  int current_key = -1;
  std::array<Cursor, kMaxKeys> cursors;
  std::array<bool, kMaxFields> set_flags{};
  bool edit_mode = false;
  ChainPlace edit_place;

  int memo_field = -1;
  MemoReader memo;

  bool Fail(const char* why) {
    error = why;
    return false;
  }
  // Maps a tree status to the table's texts; returns false.
  bool Fail(Status s) {
    if (s == Status::kDamaged) error = text::kDamaged;
    if (s == Status::kWriteFailed) error = text::kCantWrite;
    return false;
  }
  bool has_current() const { return open && current_key >= 0 && cursors[current_key].record != -1; }
  int record_length() const { return layout.record_length; }

  // Brings the changing part of the header up to date with the file; call after locking.
  bool RefreshHeader();
  // Writes the header back at position 0; call under the exclusive lock.
  bool WriteHeader();
};

}  // namespace sdb
