#pragma once
// The server dialog of the Proxy Servers page, for one proxy (1 HTTP, 2 FTP, 3 POP3, 4 SMTP,
// 5 SOCKS): its values as loaded from server.sdb, option.ini, user.sdb and group.sdb, which
// controls it has and which are enabled, the Add... and Remove buttons of its Users and Groups
// tabs, and OK, which checks every value and then writes them back.
//
// Where each proxy's values live:
//   General      name, description and "Enable this server" (the inverse of disable) in
//                server.sdb; the port in option.ini. The name is shown read-only: it is never
//                stored.
//   Limitations  "Permit everyone" is the inverse of the proxy's [section] auth (POP3 and SMTP
//                have none: the box is hidden and held checked); the guest speed switches and
//                KB/s and the guest IP range come from [Guest] under the keys the server
//                manager reads for the proxy. POP3 and SMTP share one pair: both dialogs show
//                and save download_limit_pop3/download_speed_pop3 and
//                upload_limit_smtp/upload_speed_smtp.
//   Users/Groups (HTTP, FTP, SOCKS) the accounts whose "server<id>" field is 1.
//
// Nothing is cached: load reads the files, save writes them. A running proxy keeps its old
// settings until it is started again. Owner thread only.
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "console/account_pickers.h"
#include "console/dialog_checks.h"
#include "console/page_result.h"

namespace tw {

// The largest guest speed a proxy applies: faster ones would overflow its bytes per second.
constexpr std::int32_t kMaxGuestSpeedKbps = kMaxSpeedKbps;
constexpr std::size_t kMaxGuestRangeText = 255;  // what option.ini keeps of a value

struct ServerDialogValues {
  std::int32_t id = 0;
  // General
  std::string name;  // read-only
  std::int32_t port = 0;
  std::string description;
  bool enabled = false;
  // Limitations
  bool permit_everyone = true;
  bool ip_range_on = false;
  std::string ip_range;
  bool download_limit_on = false;
  std::int32_t download_speed = 0;  // KB/s
  bool upload_limit_on = false;
  std::int32_t upload_speed = 0;  // KB/s
  // Users and Groups: the listed accounts, and the ids removed from the lists in this dialog.
  std::vector<UserChoice> users;
  std::vector<GroupChoice> groups;
  std::vector<std::int32_t> removed_user_ids;
  std::vector<std::int32_t> removed_group_ids;
};

// Which controls the dialog has for its proxy and which of them are enabled: a pure function
// of the values, applied again after every click.
struct ServerDialogControls {
  bool account_tabs = false;           // Users and Groups: HTTP, FTP, SOCKS
  bool permit_everyone_shown = false;  // hidden (and held checked) for POP3 and SMTP
  bool mail_limits_shared = false;     // POP3 and SMTP edit the same guest speed pair
  // General: the name edit is read-only always; these follow "Enable this server".
  bool port_edit = false;
  bool description_edit = false;
  // Limitations: the three boxes follow "Permit everyone"; each edit needs its box as well.
  bool ip_range_check = false;
  bool download_check = false;
  bool upload_check = false;
  bool ip_range_edit = false;
  bool download_edit = false;
  bool upload_edit = false;
};

ServerDialogControls ControlsOf(const ServerDialogValues& values);

// Opens the dialog for server `id`. Refused for an id that names no proxy. When server.sdb
// cannot be read the General texts stay empty, the box unchecked, and the result carries a
// plain message saying so; a missing user or group table lists no accounts.
PageResult LoadServerDialog(const std::string& data_dir, std::int32_t id,
                            ServerDialogValues* values);

// Add... on the Users (Groups) tab: each picked name that names an account not yet listed is
// added from its table; unknown names are skipped.
void AddUsersByName(const std::string& data_dir, const std::vector<std::string>& names,
                    ServerDialogValues* values);
void AddGroupsByName(const std::string& data_dir, const std::vector<std::string>& names,
                     ServerDialogValues* values);
// Remove: takes the account off the list and keeps its id for OK. False when not listed.
bool RemoveUser(std::int32_t id, ServerDialogValues* values);
bool RemoveGroup(std::int32_t id, ServerDialogValues* values);

// OK. Refuses, writing nothing, a port outside 1-65535, a speed outside 0-kMaxGuestSpeedKbps,
// a range text or description too long or holding a control character, and lists longer than
// kMaxListedAccounts. Then writes server.sdb (description, disable) when the proxy's record is
// there, option.ini (port, auth, the guest values), and for HTTP, FTP and SOCKS the accounts:
// every removed id to 0 first, then every listed one to 1, so an account removed and added
// back ends at 1. Accounts no longer in their table are skipped. A write that fails stops the
// save with its text (what was written before it stays).
PageResult SaveServerDialog(const std::string& data_dir, const ServerDialogValues& values);

// JSON: {"id", "name", "port", "description", "enabled", "permitEveryone", "ipRangeOn",
// "ipRange", "downloadLimitOn", "downloadSpeed", "uploadLimitOn", "uploadSpeed",
// "users": [UserChoice], "groups": [GroupChoice], "removedUserIds": [int],
// "removedGroupIds": [int]}. Reading ignores "name", and treats missing "permitEveryone" as
// checked and missing lists as empty; every other field must be there with its type.
void to_json(nlohmann::json& j, const ServerDialogValues& values);
void from_json(const nlohmann::json& j, ServerDialogValues& values);  // throws std::exception
// The same without exceptions: false with a text saying what was wrong.
bool ServerDialogValuesFromJson(const nlohmann::json& j, ServerDialogValues* values,
                                std::string* error);

// {"accountTabs", "permitEveryoneShown", "mailLimitsShared", "portEdit", "descriptionEdit",
// "ipRangeCheck", "downloadCheck", "uploadCheck", "ipRangeEdit", "downloadEdit", "uploadEdit"}
void to_json(nlohmann::json& j, const ServerDialogControls& controls);

}  // namespace tw
