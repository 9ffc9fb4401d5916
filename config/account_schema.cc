#include "config/account_schema.h"

#include "config/account_tables.h"

namespace tw {
namespace {

template <typename R>
constexpr FieldDef<R> Id() {
  // Field 0 is the id whatever a table made elsewhere calls it.
  return {"id", FieldKind::kId, 0, [](R& r) { return &r.id; }, nullptr, 0};
}

// The rule fields shared by users and groups, reached through the record's rules member.
#define TW_RULE_NUMBER(R, field) \
  FieldDef<R> { #field, FieldKind::kNumber, 0, [](R& r) { return &r.rules.field; }, nullptr }
#define TW_RULE_FIELDS(R)                                                                     \
  TW_RULE_NUMBER(R, download_limit), TW_RULE_NUMBER(R, download_speed),                        \
      TW_RULE_NUMBER(R, upload_limit), TW_RULE_NUMBER(R, upload_speed), TW_RULE_NUMBER(R, ip), \
      FieldDef<R>{"iprange", FieldKind::kText, kRuleWidth, nullptr,                            \
                  [](R& r) { return &r.rules.iprange; }},                                      \
      TW_RULE_NUMBER(R, filter), TW_RULE_NUMBER(R, filterid), TW_RULE_NUMBER(R, schedule),     \
      TW_RULE_NUMBER(R, scheduleid), TW_RULE_NUMBER(R, server1), TW_RULE_NUMBER(R, server2),   \
      TW_RULE_NUMBER(R, server3), TW_RULE_NUMBER(R, server4), TW_RULE_NUMBER(R, server5)

#define TW_NUMBER(R, field) \
  FieldDef<R> { #field, FieldKind::kNumber, 0, [](R& r) { return &r.field; }, nullptr }
#define TW_TEXT(R, field, width) \
  FieldDef<R> { #field, FieldKind::kText, width, nullptr, [](R& r) { return &r.field; } }

const FieldDef<UserRecord> kUserFields[] = {
    Id<UserRecord>(),
    TW_TEXT(UserRecord, userid, kNameWidth),
    // The password is field 2 wherever the table came from; the account check reads it so.
    {"passwd", FieldKind::kText, kNameWidth, nullptr, [](UserRecord& r) { return &r.passwd; }, 2},
    TW_TEXT(UserRecord, email, kNameWidth),
    TW_TEXT(UserRecord, name, kNameWidth),
    TW_TEXT(UserRecord, notes, kNotesWidth),
    TW_NUMBER(UserRecord, group),
    TW_NUMBER(UserRecord, enable),
    TW_RULE_FIELDS(UserRecord),
};

const FieldDef<GroupRecord> kGroupFields[] = {
    Id<GroupRecord>(),
    TW_TEXT(GroupRecord, name, kNameWidth),
    TW_TEXT(GroupRecord, notes, kNotesWidth),
    TW_NUMBER(GroupRecord, enable),
    TW_RULE_FIELDS(GroupRecord),
};

const FieldDef<ServerRecord> kServerFields[] = {
    Id<ServerRecord>(),
    TW_TEXT(ServerRecord, name, kNameWidth),
    TW_TEXT(ServerRecord, description, kNotesWidth),
    TW_NUMBER(ServerRecord, disable),
};

const FieldDef<FilterRecord> kFilterFields[] = {
    Id<FilterRecord>(),
    TW_TEXT(FilterRecord, name, kNameWidth),
    TW_NUMBER(FilterRecord, type),
    {"UseFile", FieldKind::kNumber, 0, [](FilterRecord& r) { return &r.usefile; }, nullptr},
    TW_TEXT(FilterRecord, webaddresses, kSiteListWidth),
    TW_TEXT(FilterRecord, filepath, kNotesWidth),
};

#define TW_DAY(field, title)                                        \
  FieldDef<ScheduleRecord> {                                        \
    title, FieldKind::kText, kDayTextWidth, nullptr,                \
        [](ScheduleRecord& r) { return &r.field; }                  \
  }

const FieldDef<ScheduleRecord> kScheduleFields[] = {
    Id<ScheduleRecord>(),
    TW_TEXT(ScheduleRecord, name, kNameWidth),
    TW_DAY(sunday, "Sunday"),
    TW_DAY(monday, "Monday"),
    TW_DAY(tuesday, "Tuesday"),
    TW_DAY(wednesday, "Wednesday"),
    TW_DAY(thursday, "Thursday"),
    TW_DAY(friday, "Friday"),
    TW_DAY(saturday, "Saturday"),
    TW_NUMBER(ScheduleRecord, type),
    TW_NUMBER(ScheduleRecord, server1),
    TW_NUMBER(ScheduleRecord, server2),
    TW_NUMBER(ScheduleRecord, server3),
    TW_NUMBER(ScheduleRecord, server4),
    TW_NUMBER(ScheduleRecord, server5),
};

}  // namespace

template <>
const Schema<UserRecord>& SchemaOf<UserRecord>() {
  static const Schema<UserRecord> s{kUserTableFile, "user", kUserFields, 1};
  return s;
}
template <>
const Schema<GroupRecord>& SchemaOf<GroupRecord>() {
  static const Schema<GroupRecord> s{kGroupTableFile, "group", kGroupFields, 1};
  return s;
}
template <>
const Schema<ServerRecord>& SchemaOf<ServerRecord>() {
  static const Schema<ServerRecord> s{kServerTableFile, "server", kServerFields, -1};
  return s;
}
template <>
const Schema<FilterRecord>& SchemaOf<FilterRecord>() {
  static const Schema<FilterRecord> s{kFilterTableFile, "filter", kFilterFields, -1};
  return s;
}
template <>
const Schema<ScheduleRecord>& SchemaOf<ScheduleRecord>() {
  static const Schema<ScheduleRecord> s{kScheduleTableFile, "schedule", kScheduleFields, -1};
  return s;
}

}  // namespace tw
