#include "config/account_schema.h"

#include "config/account_tables.h"

namespace tw {
namespace {

template <typename R>
constexpr FieldDef<R> Id() {
  // Field 0 is the id whatever a table made elsewhere calls it.
  return {"id", FieldKind::kId, 0, [](R& r) { return &r.id; }, nullptr, 0};
}

template <typename R, std::int32_t R::*M>
constexpr FieldDef<R> Number(const char* name) {
  return {name, FieldKind::kNumber, 0, [](R& r) { return &(r.*M); }, nullptr};
}

template <typename R, std::string R::*M>
constexpr FieldDef<R> Text(const char* name, int width) {
  return {name, FieldKind::kText, width, nullptr, [](R& r) { return &(r.*M); }};
}

// The rule fields that users and groups share, reached through the record's rules member.
template <typename R, std::int32_t AccountRules::*M>
constexpr FieldDef<R> Rule(const char* name) {
  return {name, FieldKind::kNumber, 0, [](R& r) { return &(r.rules.*M); }, nullptr};
}

template <typename R>
constexpr FieldDef<R> RuleText() {
  return {"iprange", FieldKind::kText, kRuleWidth, nullptr, [](R& r) { return &r.rules.iprange; }};
}

const FieldDef<UserRecord> kUserFields[] = {
    Id<UserRecord>(),
    Text<UserRecord, &UserRecord::userid>("userid", kNameWidth),
    // The password is field 2 wherever the table came from; the account check reads it so.
    {"passwd", FieldKind::kText, kNameWidth, nullptr, [](UserRecord& r) { return &r.passwd; }, 2},
    Text<UserRecord, &UserRecord::email>("email", kNameWidth),
    Text<UserRecord, &UserRecord::name>("name", kNameWidth),
    Text<UserRecord, &UserRecord::notes>("notes", kNotesWidth),
    Number<UserRecord, &UserRecord::group>("group"),
    Number<UserRecord, &UserRecord::enable>("enable"),
    Rule<UserRecord, &AccountRules::download_limit>("download_limit"),
    Rule<UserRecord, &AccountRules::download_speed>("download_speed"),
    Rule<UserRecord, &AccountRules::upload_limit>("upload_limit"),
    Rule<UserRecord, &AccountRules::upload_speed>("upload_speed"),
    Rule<UserRecord, &AccountRules::ip>("ip"),
    RuleText<UserRecord>(),
    Rule<UserRecord, &AccountRules::filter>("filter"),
    Rule<UserRecord, &AccountRules::filterid>("filterid"),
    Rule<UserRecord, &AccountRules::schedule>("schedule"),
    Rule<UserRecord, &AccountRules::scheduleid>("scheduleid"),
    Rule<UserRecord, &AccountRules::server1>("server1"),
    Rule<UserRecord, &AccountRules::server2>("server2"),
    Rule<UserRecord, &AccountRules::server3>("server3"),
    Rule<UserRecord, &AccountRules::server4>("server4"),
    Rule<UserRecord, &AccountRules::server5>("server5"),
};

const FieldDef<GroupRecord> kGroupFields[] = {
    Id<GroupRecord>(),
    Text<GroupRecord, &GroupRecord::name>("name", kNameWidth),
    Text<GroupRecord, &GroupRecord::notes>("notes", kNotesWidth),
    Number<GroupRecord, &GroupRecord::enable>("enable"),
    Rule<GroupRecord, &AccountRules::download_limit>("download_limit"),
    Rule<GroupRecord, &AccountRules::download_speed>("download_speed"),
    Rule<GroupRecord, &AccountRules::upload_limit>("upload_limit"),
    Rule<GroupRecord, &AccountRules::upload_speed>("upload_speed"),
    Rule<GroupRecord, &AccountRules::ip>("ip"),
    RuleText<GroupRecord>(),
    Rule<GroupRecord, &AccountRules::filter>("filter"),
    Rule<GroupRecord, &AccountRules::filterid>("filterid"),
    Rule<GroupRecord, &AccountRules::schedule>("schedule"),
    Rule<GroupRecord, &AccountRules::scheduleid>("scheduleid"),
    Rule<GroupRecord, &AccountRules::server1>("server1"),
    Rule<GroupRecord, &AccountRules::server2>("server2"),
    Rule<GroupRecord, &AccountRules::server3>("server3"),
    Rule<GroupRecord, &AccountRules::server4>("server4"),
    Rule<GroupRecord, &AccountRules::server5>("server5"),
};

const FieldDef<ServerRecord> kServerFields[] = {
    Id<ServerRecord>(),
    Text<ServerRecord, &ServerRecord::name>("name", kNameWidth),
    Text<ServerRecord, &ServerRecord::description>("description", kNotesWidth),
    Number<ServerRecord, &ServerRecord::disable>("disable"),
};

const FieldDef<FilterRecord> kFilterFields[] = {
    Id<FilterRecord>(),
    Text<FilterRecord, &FilterRecord::name>("name", kNameWidth),
    Number<FilterRecord, &FilterRecord::type>("type"),
    Number<FilterRecord, &FilterRecord::usefile>("UseFile"),
    Text<FilterRecord, &FilterRecord::webaddresses>("webaddresses", kSiteListWidth),
    Text<FilterRecord, &FilterRecord::filepath>("filepath", kNotesWidth),
};

const FieldDef<ScheduleRecord> kScheduleFields[] = {
    Id<ScheduleRecord>(),
    Text<ScheduleRecord, &ScheduleRecord::name>("name", kNameWidth),
    Text<ScheduleRecord, &ScheduleRecord::sunday>("Sunday", kDayTextWidth),
    Text<ScheduleRecord, &ScheduleRecord::monday>("Monday", kDayTextWidth),
    Text<ScheduleRecord, &ScheduleRecord::tuesday>("Tuesday", kDayTextWidth),
    Text<ScheduleRecord, &ScheduleRecord::wednesday>("Wednesday", kDayTextWidth),
    Text<ScheduleRecord, &ScheduleRecord::thursday>("Thursday", kDayTextWidth),
    Text<ScheduleRecord, &ScheduleRecord::friday>("Friday", kDayTextWidth),
    Text<ScheduleRecord, &ScheduleRecord::saturday>("Saturday", kDayTextWidth),
    Number<ScheduleRecord, &ScheduleRecord::type>("type"),
    Number<ScheduleRecord, &ScheduleRecord::server1>("server1"),
    Number<ScheduleRecord, &ScheduleRecord::server2>("server2"),
    Number<ScheduleRecord, &ScheduleRecord::server3>("server3"),
    Number<ScheduleRecord, &ScheduleRecord::server4>("server4"),
    Number<ScheduleRecord, &ScheduleRecord::server5>("server5"),
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
