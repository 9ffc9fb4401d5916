#pragma once
// OK of the user and the group dialog, the part they share: the name must not be held by
// another record; the record the dialog was opened for (values.id > 0, still there) is changed
// and keeps every field the dialog does not show, otherwise a new record is added and gets
// its id from the table. Owner thread (the tables take no locks).
#include <cstdint>
#include <string>
#include <string_view>

#include "config/account_records.h"
#include "console/page_result.h"

namespace tw {

// `name` is the record's key 1 text in values; `what` ("user", "group") names it in the
// messages: "The user name "x" already exists.", "The user could not be saved: ...". On
// success *saved is the record as read back.
template <typename R>
PageResult SaveAccountRecord(const std::string& data_dir, const R& values, std::string_view name,
                             const char* what, void (*copy)(const R& from, R* to), R* saved);

extern template PageResult SaveAccountRecord<UserRecord>(const std::string&, const UserRecord&,
                                                         std::string_view, const char*,
                                                         void (*)(const UserRecord&, UserRecord*),
                                                         UserRecord*);
extern template PageResult SaveAccountRecord<GroupRecord>(
    const std::string&, const GroupRecord&, std::string_view, const char*,
    void (*)(const GroupRecord&, GroupRecord*), GroupRecord*);

}  // namespace tw
