// The keys of option.ini with their defaults, and typed access to them. Nothing is cached:
// every read goes to the file, so a change written by the console or the service is seen by
// the other at its next read. Reads never fail (defaults); writes return false with a text.
// Safe from any thread; concurrent writers in several processes keep each other's keys.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/protocols.h"

namespace tw {

constexpr char kSettingsFileName[] = "option.ini";

// One key of the settings file.
struct SettingKey {
  const char* section;
  const char* key;
  const char* default_text;
};

namespace setting {
// [Server]
inline constexpr SettingKey kStartup{"Server", "Startup", "0"};
inline constexpr SettingKey kAutoActive{"Server", "AutoActive", "0"};
inline constexpr SettingKey kMinimize{"Server", "Minimize", "0"};
inline constexpr SettingKey kSavelog{"Server", "Savelog", "0"};
inline constexpr SettingKey kAutoActiveSSL{"Server", "AutoActiveSSL", "0"};  // written, never read
inline constexpr SettingKey kHttpService{"Server", "httpservice", "1"};
inline constexpr SettingKey kHttpsService{"Server", "httpsservice", "1"};
inline constexpr SettingKey kPasswordMode{"Server", "password_mode", "1"};
// 1 admits guests from any address; 0 only from the networks attached to this machine.
inline constexpr SettingKey kGuestsFromAnywhere{"Server", "guests_from_anywhere", "0"};
// The IPv4 address every proxy listens on; empty: all interfaces.
inline constexpr SettingKey kListenAddress{"Server", "listen_address", ""};
// 1 lets the proxies connect to this machine and to loopback, link-local, multicast and
// reserved addresses (a test bench on one machine); the proxies' own ports stay refused.
inline constexpr SettingKey kAllowLocalDestinations{"Server", "allow_local_destinations", "0"};
// Connections one client address may have open at once to each proxy; 0 = no cap (a test
// bench whose clients all come from one address).
inline constexpr SettingKey kMaxConnectionsPerClient{"Server", "max_connections_per_client",
                                                     "256"};
// Days the daily activity files (log/YYYYMMDD.txt) are kept; older ones are removed.
inline constexpr SettingKey kLogDays{"Server", "log_days", "90"};
// Seconds a relayed connection may stay idle in both directions before it is closed.
inline constexpr SettingKey kIdleTimeout{"Server", "idle_timeout", "3600"};
// Seconds a name lookup may take before the client is refused as for an unknown name.
inline constexpr SettingKey kLookupTimeout{"Server", "lookup_timeout", "5"};
// "ADDR:PORT" where kestrane serves its monitoring figures (GET /metrics); empty: nowhere.
inline constexpr SettingKey kMetricsAddress{"Server", "metrics_address", ""};
// The bearer secret a scraper shows to read /metrics from an address other than loopback; made
// at installation when missing, never replaced after.
inline constexpr SettingKey kMetricsToken{"Server", "metrics_token", ""};
// Proxy sections
inline constexpr SettingKey kHttpPort{"HTTP", "port", "808"};
inline constexpr SettingKey kHttpAuth{"HTTP", "auth", "0"};
// Seconds each read of the FTP gateway's dialogue may wait for the FTP server.
inline constexpr SettingKey kHttpFtpTimeout{"HTTP", "ftp_timeout", "30"};
// Seconds the FTP gateway's whole dialogue may take, up to the start of the transfer.
inline constexpr SettingKey kHttpFtpDialogueTimeout{"HTTP", "ftp_dialogue_timeout", "120"};
inline constexpr SettingKey kFtpPort{"FTP", "port", "21"};
inline constexpr SettingKey kFtpAuth{"FTP", "auth", "0"};
// "host" or "host:port" of the address-echo web server the FTP proxy asks for the public
// address it announces to data peers outside the machine's networks; empty = never asked.
inline constexpr SettingKey kFtpAddressEcho{"FTP", "address_echo", ""};
inline constexpr SettingKey kSocksPort{"SOCKS", "port", "1080"};
inline constexpr SettingKey kSocksAuth{"SOCKS", "auth", "0"};
inline constexpr SettingKey kPop3Port{"POP3", "port", "110"};
inline constexpr SettingKey kSmtpPort{"SMTP", "port", "25"};
// [Guest]
inline constexpr SettingKey kDownloadLimit{"Guest", "download_limit", "0"};
inline constexpr SettingKey kDownloadSpeed{"Guest", "download_speed", "0"};
inline constexpr SettingKey kUploadLimit{"Guest", "upload_limit", "0"};
inline constexpr SettingKey kUploadSpeed{"Guest", "upload_speed", "0"};
inline constexpr SettingKey kDownloadLimitSocks{"Guest", "download_limit_socks", "0"};
inline constexpr SettingKey kDownloadSpeedSocks{"Guest", "download_speed_socks", "0"};
inline constexpr SettingKey kUploadLimitSocks{"Guest", "upload_limit_socks", "0"};
inline constexpr SettingKey kUploadSpeedSocks{"Guest", "upload_speed_socks", "0"};
inline constexpr SettingKey kDownloadLimitFtp{"Guest", "download_limit_ftp", "0"};
inline constexpr SettingKey kDownloadSpeedFtp{"Guest", "download_speed_ftp", "0"};
inline constexpr SettingKey kUploadLimitFtp{"Guest", "upload_limit_ftp", "0"};
inline constexpr SettingKey kUploadSpeedFtp{"Guest", "upload_speed_ftp", "0"};
inline constexpr SettingKey kDownloadLimitPop3{"Guest", "download_limit_pop3", "0"};
inline constexpr SettingKey kDownloadSpeedPop3{"Guest", "download_speed_pop3", "0"};
inline constexpr SettingKey kUploadLimitPop3{"Guest", "upload_limit_pop3", "0"};
inline constexpr SettingKey kUploadSpeedPop3{"Guest", "upload_speed_pop3", "0"};
inline constexpr SettingKey kDownloadLimitSmtp{"Guest", "download_limit_smtp", "0"};
inline constexpr SettingKey kDownloadSpeedSmtp{"Guest", "download_speed_smtp", "0"};
inline constexpr SettingKey kUploadLimitSmtp{"Guest", "upload_limit_smtp", "0"};
inline constexpr SettingKey kUploadSpeedSmtp{"Guest", "upload_speed_smtp", "0"};
inline constexpr SettingKey kIpRangeLimit{"Guest", "IpRange_limit", "0"};
inline constexpr SettingKey kIpRange{"Guest", "IpRange", ""};
inline constexpr SettingKey kIpRangeSocksLimit{"Guest", "IpRange_socks_limit", "0"};
inline constexpr SettingKey kIpRangeSocks{"Guest", "IpRange_socks", ""};
inline constexpr SettingKey kIpRangeFtpLimit{"Guest", "IpRange_ftp_limit", "0"};
inline constexpr SettingKey kIpRangeFtp{"Guest", "IpRange_ftp", ""};
inline constexpr SettingKey kIpRangePop3Limit{"Guest", "IpRange_pop3_limit", "0"};
inline constexpr SettingKey kIpRangePop3{"Guest", "IpRange_pop3", ""};
inline constexpr SettingKey kIpRangeSmtpLimit{"Guest", "IpRange_smtp_limit", "0"};
inline constexpr SettingKey kIpRangeSmtp{"Guest", "IpRange_smtp", ""};
// [Speed]: presets of a new user or group dialog
inline constexpr SettingKey kPresetDownloadLimit{"Speed", "download_limit", "0"};
inline constexpr SettingKey kPresetUploadLimit{"Speed", "upload_limit", "0"};
inline constexpr SettingKey kPresetDownloadSpeed{"Speed", "download_speed", "0"};
inline constexpr SettingKey kPresetUploadSpeed{"Speed", "upload_speed", "0"};
// [Console]: where the web console listens
inline constexpr SettingKey kConsoleAddress{"Console", "address", "127.0.0.1"};
inline constexpr SettingKey kConsolePort{"Console", "port", "8808"};
// Bounds of the Server Logs list in the console's memory (older lines stay in the daily files).
inline constexpr SettingKey kConsoleLogRows{"Console", "log_rows", "10000"};
inline constexpr SettingKey kConsoleLogMegabytes{"Console", "log_megabytes", "16"};
}  // namespace setting

// Every key above, for tools and tests that walk them all.
std::span<const SettingKey> AllSettingKeys();

// The guest keys of one proxy: two limit pairs and the address-rule pair.
struct GuestKeys {
  SettingKey download_limit, download_speed;
  SettingKey upload_limit, upload_speed;
  SettingKey ip_range_limit, ip_range;
};

// The keys the server manager reads for a proxy. POP3 and SMTP share one mail pair: the
// download limit from the _pop3 keys, the upload limit from the _smtp keys.
GuestKeys GuestReadKeys(int protocol_id);
// Each mail proxy's own-suffix keys, which no proxy reads: the server dialog uses GuestReadKeys.
GuestKeys GuestDialogKeys(int protocol_id);
SettingKey PortKey(int protocol_id);
// False for POP3 and SMTP, which have no login switch.
bool AuthKey(int protocol_id, SettingKey* key);

// What a listener is given before it starts.
struct ProxySettings {
  int port = 0;                    // no range check: the listener gets it as is
  int auth_mode = 0;               // 1 = clients must log in
  std::int32_t download_rate = 0;  // guest limits in bytes per second, 0 = unlimited
  std::int32_t upload_rate = 0;
  bool guest_rule_on = false;  // the address rule's switch
  std::string guest_ip_range;  // empty when its switch is 0
};

// Access to one settings file.
class Settings {
 public:
  explicit Settings(std::string path) : path_(std::move(path)) {}
  // The option.ini of a data directory.
  static Settings InDataDir(std::string_view data_dir);

  std::string Text(const SettingKey& key) const;  // at most 255 characters
  int Int(const SettingKey& key) const;           // leading digits; none gives 0
  bool Switch(const SettingKey& key) const { return Int(key) != 0; }
  bool SetText(const SettingKey& key, std::string_view value, std::string* error) const;
  bool SetInt(const SettingKey& key, int value, std::string* error) const;

  // Port, login switch and guest limits of one proxy as the server manager reads them.
  ProxySettings ReadProxySettings(int protocol_id) const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tw
