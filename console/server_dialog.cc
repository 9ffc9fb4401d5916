#include "console/server_dialog.h"

#include <algorithm>

#include "config/account_records.h"
#include "config/account_tables.h"
#include "config/protocols.h"
#include "config/settings.h"
#include "console/dialog_checks.h"

namespace tw {

namespace {

constexpr char kNoSuchServer[] = "There is no such server.";

bool HasAccountTabs(std::int32_t id) {
  return id == kProtocolHttp || id == kProtocolFtp || id == kProtocolSocks;
}

template <typename Choice>
bool Listed(const std::vector<Choice>& list, std::int32_t id) {
  return std::any_of(list.begin(), list.end(), [id](const Choice& c) { return c.id == id; });
}

template <typename Choice>
bool RemoveListed(std::int32_t id, std::vector<Choice>* list, std::vector<std::int32_t>* removed) {
  auto it = std::find_if(list->begin(), list->end(), [id](const Choice& c) { return c.id == id; });
  if (it == list->end()) return false;
  list->erase(it);
  removed->push_back(id);
  return true;
}

template <typename Record, typename Choice>
void AddByName(const AccountTable<Record>& table, const std::vector<std::string>& names,
               std::vector<Choice>* list) {
  for (const std::string& name : names) {
    Record rec;
    if (list->size() >= kMaxListedAccounts) return;
    if (!table.FindByName(name, &rec) || Listed(*list, rec.id)) continue;
    list->push_back(ChoiceOf(std::move(rec)));
  }
}

// The first refusal of the values, or an empty text when they may be saved.
std::string Refusal(const ServerDialogValues& v) {
  if (!ValidProtocol(v.id)) return kNoSuchServer;
  if (v.port < 1 || v.port > 65535) return "The port must be a number from 1 to 65535.";
  for (const std::string& refusal :
       {SpeedRefusal("download speed limit", v.download_speed),
        SpeedRefusal("upload speed limit", v.upload_speed),
        TextRefusal("IP address range for guests", v.ip_range, kMaxGuestRangeText),
        TextRefusal("description", v.description, kNotesWidth)}) {
    if (!refusal.empty()) return refusal;
  }
  if (v.users.size() > kMaxListedAccounts || v.groups.size() > kMaxListedAccounts ||
      v.removed_user_ids.size() > kMaxListedAccounts ||
      v.removed_group_ids.size() > kMaxListedAccounts) {
    return "The lists of users and groups are too long.";
  }
  return {};
}

// Sets field "server<id>" of every removed record to 0, then of every listed one to 1.
template <typename Record, typename Choice>
bool SaveAccounts(const AccountTable<Record>& table, std::int32_t server_id,
                  const std::vector<std::int32_t>& removed, const std::vector<Choice>& listed,
                  std::string* error) {
  auto set = [&](std::int32_t account_id, std::int32_t value) {
    Record rec;
    if (!table.FindById(account_id, &rec)) return true;  // deleted meanwhile: skipped
    rec.rules.SetServer(server_id, value);
    return table.Update(rec, error);
  };
  for (std::int32_t id : removed) {
    if (!set(id, 0)) return false;
  }
  for (const Choice& c : listed) {
    if (!set(c.id, 1)) return false;
  }
  return true;
}

PageResult SaveFailed(const std::string& what, const std::string& error) {
  return PageResult::Refused("The " + what + " could not be saved: " + error);
}

}  // namespace

ServerDialogControls ControlsOf(const ServerDialogValues& v) {
  ServerDialogControls c;
  c.account_tabs = HasAccountTabs(v.id);
  SettingKey auth{};
  c.permit_everyone_shown = AuthKey(v.id, &auth);
  c.mail_limits_shared = v.id == kProtocolPop3 || v.id == kProtocolSmtp;
  c.port_edit = v.enabled;
  c.description_edit = v.enabled;
  bool guests = v.permit_everyone || !c.permit_everyone_shown;
  c.ip_range_check = guests;
  c.download_check = guests;
  c.upload_check = guests;
  c.ip_range_edit = guests && v.ip_range_on;
  c.download_edit = guests && v.download_limit_on;
  c.upload_edit = guests && v.upload_limit_on;
  return c;
}

PageResult LoadServerDialog(const std::string& data_dir, std::int32_t id,
                            ServerDialogValues* values) {
  if (!ValidProtocol(id)) return PageResult::Refused(kNoSuchServer);
  ServerDialogValues v;
  v.id = id;
  PageResult result;
  ServerRecord record;
  std::string error;
  if (ServerTable(data_dir).FindById(id, &record, &error)) {
    v.name = record.name;
    v.description = record.description;
    v.enabled = record.disable == 0;
  } else {
    result.message = error.empty() ? "This server has no record in the server table."
                                   : "The server table could not be read: " + error;
  }

  Settings settings = Settings::InDataDir(data_dir);
  v.port = settings.Int(PortKey(id));
  SettingKey auth{};
  v.permit_everyone = !AuthKey(id, &auth) || !settings.Switch(auth);
  GuestKeys keys = GuestReadKeys(id);
  v.download_limit_on = settings.Switch(keys.download_limit);
  v.download_speed = settings.Int(keys.download_speed);
  v.upload_limit_on = settings.Switch(keys.upload_limit);
  v.upload_speed = settings.Int(keys.upload_speed);
  v.ip_range_on = settings.Switch(keys.ip_range_limit);
  v.ip_range = settings.Text(keys.ip_range);

  if (HasAccountTabs(id)) {
    std::vector<UserRecord> users;
    UserTable(data_dir).List(&users, nullptr, 0, kMaxListedAccounts);
    for (UserRecord& u : users) {
      if (u.rules.Server(id) == 1) v.users.push_back(ChoiceOf(std::move(u)));
    }
    std::vector<GroupRecord> groups;
    GroupTable(data_dir).List(&groups, nullptr, 0, kMaxListedAccounts);
    for (GroupRecord& g : groups) {
      if (g.rules.Server(id) == 1) v.groups.push_back(ChoiceOf(std::move(g)));
    }
  }
  *values = std::move(v);
  return result;
}

void AddUsersByName(const std::string& data_dir, const std::vector<std::string>& names,
                    ServerDialogValues* values) {
  AddByName(UserTable(data_dir), names, &values->users);
}

void AddGroupsByName(const std::string& data_dir, const std::vector<std::string>& names,
                     ServerDialogValues* values) {
  AddByName(GroupTable(data_dir), names, &values->groups);
}

bool RemoveUser(std::int32_t id, ServerDialogValues* values) {
  return RemoveListed(id, &values->users, &values->removed_user_ids);
}

bool RemoveGroup(std::int32_t id, ServerDialogValues* values) {
  return RemoveListed(id, &values->groups, &values->removed_group_ids);
}

PageResult SaveServerDialog(const std::string& data_dir, const ServerDialogValues& v) {
  std::string refusal = Refusal(v);
  if (!refusal.empty()) return PageResult::Refused(refusal);
  std::string error;

  // Without its record (or without the table) the proxy's settings are still saved.
  ServerTable servers(data_dir);
  ServerRecord record;
  if (servers.FindById(v.id, &record)) {
    record.description = v.description;
    record.disable = v.enabled ? 0 : 1;
    if (!servers.Update(record, &error)) return SaveFailed("server table", error);
  }

  Settings settings = Settings::InDataDir(data_dir);
  GuestKeys keys = GuestReadKeys(v.id);
  SettingKey auth{};
  bool ok = settings.SetInt(PortKey(v.id), v.port, &error) &&
            (!AuthKey(v.id, &auth) || settings.SetInt(auth, v.permit_everyone ? 0 : 1, &error)) &&
            settings.SetInt(keys.download_limit, v.download_limit_on ? 1 : 0, &error) &&
            settings.SetInt(keys.download_speed, v.download_speed, &error) &&
            settings.SetInt(keys.upload_limit, v.upload_limit_on ? 1 : 0, &error) &&
            settings.SetInt(keys.upload_speed, v.upload_speed, &error) &&
            settings.SetInt(keys.ip_range_limit, v.ip_range_on ? 1 : 0, &error) &&
            settings.SetText(keys.ip_range, v.ip_range, &error);
  if (!ok) return SaveFailed("settings", error);

  if (!HasAccountTabs(v.id)) return {};
  if (!SaveAccounts(UserTable(data_dir), v.id, v.removed_user_ids, v.users, &error)) {
    return SaveFailed("users", error);
  }
  if (!SaveAccounts(GroupTable(data_dir), v.id, v.removed_group_ids, v.groups, &error)) {
    return SaveFailed("groups", error);
  }
  return {};
}

}  // namespace tw
