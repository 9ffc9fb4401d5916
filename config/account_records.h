// The records of the five account tables (user.sdb, group.sdb, server.sdb, filter.sdb,
// schedule.sdb) as plain values with named fields. Ids are field 0 (AutoInc) of each table;
// cross-references hold the other record's id, 0 = none. Switches are 0 or 1; speeds are KB/s.
// No behaviour beyond picking a per-proxy or per-day field.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

// Widths of the text fields in tables this system creates (files made elsewhere may differ).
constexpr int kNameWidth = 64;        // user names, passwords, e-mail, full and record names
constexpr int kNotesWidth = 255;      // notes, descriptions, file paths
constexpr int kRuleWidth = 64;        // address rules
constexpr int kSiteListWidth = 1024;  // web-filter site lists
constexpr int kDayTextWidth = 128;    // schedule day texts

// The rule fields that users and groups share.
struct AccountRules {
  std::int32_t download_limit = 0, download_speed = 0;
  std::int32_t upload_limit = 0, upload_speed = 0;
  std::int32_t ip = 0;
  std::string iprange;
  std::int32_t filter = 0, filterid = 0;
  std::int32_t schedule = 0, scheduleid = 0;
  // 1 = these rules apply on the proxy (1 HTTP, 2 FTP, 3 POP3, 4 SMTP, 5 SOCKS).
  std::int32_t server1 = 0, server2 = 0, server3 = 0, server4 = 0, server5 = 0;

  // "server%d" for a proxy number; 0 for a number outside 1..5.
  std::int32_t Server(int protocol_id) const;
  void SetServer(int protocol_id, std::int32_t value);
};

struct UserRecord {
  std::int32_t id = 0;
  std::string userid;  // field 1, key 1
  std::string passwd;  // field 2, clear text
  std::string email;
  std::string name;
  std::string notes;
  std::int32_t group = 0;  // group id, 0 = none
  std::int32_t enable = 1;
  AccountRules rules;
};

// The group of clients without a login, made by the installation; it cannot be deleted.
constexpr char kGuestGroupName[] = "[Guest]";

struct GroupRecord {
  std::int32_t id = 0;
  std::string name;  // field 1, key 1
  std::string notes;
  std::int32_t enable = 1;
  AccountRules rules;
};

// One record per proxy: ids 1 HTTP, 2 FTP, 3 POP3, 4 SMTP, 5 SOCKS.
struct ServerRecord {
  std::int32_t id = 0;
  std::string name;
  std::string description;
  std::int32_t disable = 0;  // 1 = not started
};

struct FilterRecord {
  std::int32_t id = 0;
  std::string name;
  std::int32_t type = 2;     // 2 = listed sites forbidden, 1 = only listed sites permitted
  std::int32_t usefile = 0;  // 1 = patterns come from the file at filepath
  std::string webaddresses;  // patterns separated by ";"
  std::string filepath;
};

struct ScheduleRecord {
  std::int32_t id = 0;
  std::string name;
  // Allowed times per weekday: "08:00-12:00" or windows joined by "+".
  std::string sunday, monday, tuesday, wednesday, thursday, friday, saturday;
  std::int32_t type = 0;
  std::int32_t server1 = 0, server2 = 0, server3 = 0, server4 = 0, server5 = 0;

  // The day text of a weekday, 0 = Sunday .. 6 = Saturday; "" outside.
  const std::string& Day(int weekday) const;
  std::int32_t Server(int protocol_id) const;
  void SetServer(int protocol_id, std::int32_t value);
};

}  // namespace tw
