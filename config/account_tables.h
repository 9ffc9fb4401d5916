// Reading and writing the five account tables of the data directory. Every operation opens
// the table file, does its work and closes it before returning, so changes made by the
// console reach the service at its next open and no table stays open between logins.
// Objects are cheap and immutable; any thread may use its own or a shared one.
// Failures return false with a text in *error when one is given; a missing or unreadable
// table reads as "not found" / empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/account_records.h"

namespace tw {

constexpr char kUserTableFile[] = "user.sdb";
constexpr char kGroupTableFile[] = "group.sdb";
constexpr char kServerTableFile[] = "server.sdb";
constexpr char kFilterTableFile[] = "filter.sdb";
constexpr char kScheduleTableFile[] = "schedule.sdb";

// Walks stop after this many records, so a damaged file cannot loop forever.
constexpr std::size_t kMaxListedRecords = 1000000;

// One table file, R being one of the record types of account_records.h.
template <typename R>
class AccountTable {
 public:
  explicit AccountTable(std::string_view data_dir);
  // The table at a full file path instead of its usual name in a data directory.
  static AccountTable AtPath(std::string file_path);

  const std::string& path() const { return path_; }

  // By id (key 0).
  bool FindById(std::int32_t id, R* out, std::string* error = nullptr) const;
  // By name (key 1: user name for users, group name for groups); other tables have no key 1.
  // A name holding a zero byte or longer than a key can be never matches.
  bool FindByName(std::string_view name, R* out, std::string* error = nullptr) const;
  // Every record in the order of key (0 = id, 1 = name), at most max_records.
  bool List(std::vector<R>* out, std::string* error = nullptr, int key = 0,
            std::size_t max_records = kMaxListedRecords) const;

  // Appends rec (its id is ignored) and sets rec->id to the id given by the table. Texts
  // longer than their field are refused, never cut.
  bool Add(R* rec, std::string* error) const;
  // Replaces the record whose id is rec.id.
  bool Update(const R& rec, std::string* error) const;
  bool Delete(std::int32_t id, std::string* error) const;

  // Creates the empty table file with this system's definition (fields, widths, keys),
  // replacing whatever is at file_path. Used for fresh installations (see installation.h).
  static bool CreateFile(const std::string& file_path, std::string* error);

 private:
  AccountTable() = default;
  std::string path_;
};

using UserTable = AccountTable<UserRecord>;
using GroupTable = AccountTable<GroupRecord>;
using ServerTable = AccountTable<ServerRecord>;
using FilterTable = AccountTable<FilterRecord>;
using ScheduleTable = AccountTable<ScheduleRecord>;

extern template class AccountTable<UserRecord>;
extern template class AccountTable<GroupRecord>;
extern template class AccountTable<ServerRecord>;
extern template class AccountTable<FilterRecord>;
extern template class AccountTable<ScheduleRecord>;

}  // namespace tw
