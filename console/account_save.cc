#include "console/account_save.h"

#include "config/account_tables.h"

namespace tw {

template <typename R>
PageResult SaveAccountRecord(const std::string& data_dir, const R& values, std::string_view name,
                             const char* what, void (*copy)(const R& from, R* to), R* saved) {
  AccountTable<R> table(data_dir);
  R holder;
  if (table.FindByName(name, &holder) && holder.id != values.id) {
    return PageResult::Refused("The " + std::string(what) + " name \"" + std::string(name) +
                               "\" already exists.");
  }
  R rec;
  bool existing = values.id > 0 && table.FindById(values.id, &rec);
  if (!existing) rec = R{};
  copy(values, &rec);
  std::string error;
  if (!(existing ? table.Update(rec, &error) : table.Add(&rec, &error))) {
    return PageResult::Refused("The " + std::string(what) + " could not be saved: " + error);
  }
  if (!table.FindById(rec.id, saved)) *saved = rec;
  return {};
}

template PageResult SaveAccountRecord<UserRecord>(const std::string&, const UserRecord&,
                                                  std::string_view, const char*,
                                                  void (*)(const UserRecord&, UserRecord*),
                                                  UserRecord*);
template PageResult SaveAccountRecord<GroupRecord>(const std::string&, const GroupRecord&,
                                                   std::string_view, const char*,
                                                   void (*)(const GroupRecord&, GroupRecord*),
                                                   GroupRecord*);

}  // namespace tw
