#include "config/settings.h"

#include "config/data_dir.h"
#include "config/speed.h"
#include "platform/profile.h"

namespace tw {

using namespace setting;

std::span<const SettingKey> AllSettingKeys() {
  // clang-format off
  static const SettingKey kAll[] = {
      kStartup, kAutoActive, kMinimize, kSavelog, kAutoActiveSSL, kHttpService, kHttpsService,
      kPasswordMode, kHttpPort, kHttpAuth, kFtpPort, kFtpAuth, kSocksPort, kSocksAuth, kPop3Port,
      kSmtpPort, kDownloadLimit, kDownloadSpeed, kUploadLimit, kUploadSpeed, kDownloadLimitSocks,
      kDownloadSpeedSocks, kUploadLimitSocks, kUploadSpeedSocks, kDownloadLimitFtp,
      kDownloadSpeedFtp, kUploadLimitFtp, kUploadSpeedFtp, kDownloadLimitPop3, kDownloadSpeedPop3,
      kUploadLimitPop3, kUploadSpeedPop3, kDownloadLimitSmtp, kDownloadSpeedSmtp,
      kUploadLimitSmtp, kUploadSpeedSmtp, kIpRangeLimit, kIpRange, kIpRangeSocksLimit,
      kIpRangeSocks, kIpRangeFtpLimit, kIpRangeFtp, kIpRangePop3Limit, kIpRangePop3,
      kIpRangeSmtpLimit, kIpRangeSmtp, kPresetDownloadLimit, kPresetUploadLimit,
      kPresetDownloadSpeed, kPresetUploadSpeed, kConsoleAddress, kConsolePort,
      kConsoleLogRows, kConsoleLogMegabytes, kFtpAddressEcho,
      kHttpFtpTimeout, kGuestsFromAnywhere, kListenAddress, kAllowLocalDestinations,
      kMaxConnectionsPerClient, kLogDays, kIdleTimeout, kLookupTimeout, kHttpFtpDialogueTimeout,
      kMetricsAddress, kMetricsToken};
  // clang-format on
  return kAll;
}

GuestKeys GuestReadKeys(int protocol_id) {
  switch (protocol_id) {
    case kProtocolFtp:
      return {kDownloadLimitFtp, kDownloadSpeedFtp, kUploadLimitFtp,
              kUploadSpeedFtp,   kIpRangeFtpLimit,  kIpRangeFtp};
    case kProtocolPop3:
      return {kDownloadLimitPop3, kDownloadSpeedPop3, kUploadLimitSmtp,
              kUploadSpeedSmtp,   kIpRangePop3Limit,  kIpRangePop3};
    case kProtocolSmtp:
      return {kDownloadLimitPop3, kDownloadSpeedPop3, kUploadLimitSmtp,
              kUploadSpeedSmtp,   kIpRangeSmtpLimit,  kIpRangeSmtp};
    case kProtocolSocks:
      return {kDownloadLimitSocks, kDownloadSpeedSocks, kUploadLimitSocks,
              kUploadSpeedSocks,   kIpRangeSocksLimit,  kIpRangeSocks};
    default:
      return {kDownloadLimit, kDownloadSpeed, kUploadLimit, kUploadSpeed, kIpRangeLimit, kIpRange};
  }
}

GuestKeys GuestDialogKeys(int protocol_id) {
  switch (protocol_id) {
    case kProtocolPop3:
      return {kDownloadLimitPop3, kDownloadSpeedPop3, kUploadLimitPop3,
              kUploadSpeedPop3,   kIpRangePop3Limit,  kIpRangePop3};
    case kProtocolSmtp:
      return {kDownloadLimitSmtp, kDownloadSpeedSmtp, kUploadLimitSmtp,
              kUploadSpeedSmtp,   kIpRangeSmtpLimit,  kIpRangeSmtp};
    default:
      return GuestReadKeys(protocol_id);
  }
}

SettingKey PortKey(int protocol_id) {
  switch (protocol_id) {
    case kProtocolFtp:
      return kFtpPort;
    case kProtocolPop3:
      return kPop3Port;
    case kProtocolSmtp:
      return kSmtpPort;
    case kProtocolSocks:
      return kSocksPort;
    default:
      return kHttpPort;
  }
}

bool AuthKey(int protocol_id, SettingKey* key) {
  switch (protocol_id) {
    case kProtocolHttp:
      *key = kHttpAuth;
      return true;
    case kProtocolFtp:
      *key = kFtpAuth;
      return true;
    case kProtocolSocks:
      *key = kSocksAuth;
      return true;
    default:
      return false;
  }
}

Settings Settings::InDataDir(std::string_view data_dir) {
  return Settings(DataFilePath(data_dir, kSettingsFileName));
}

std::string Settings::Text(const SettingKey& key) const {
  return GetProfileString(key.section, key.key, key.default_text, path_);
}

int Settings::Int(const SettingKey& key) const {
  return GetProfileInt(key.section, key.key, key.default_text, path_);
}

bool Settings::SetText(const SettingKey& key, std::string_view value, std::string* error) const {
  return WriteProfileString(key.section, key.key, value, path_, error);
}

bool Settings::SetInt(const SettingKey& key, int value, std::string* error) const {
  return SetText(key, std::to_string(value), error);
}

ProxySettings Settings::ReadProxySettings(int protocol_id) const {
  ProxySettings s;
  s.port = Int(PortKey(protocol_id));
  SettingKey auth{};
  if (AuthKey(protocol_id, &auth)) s.auth_mode = Int(auth);
  GuestKeys g = GuestReadKeys(protocol_id);
  s.download_rate = SpeedToRate(Int(g.download_limit), Int(g.download_speed));
  s.upload_rate = SpeedToRate(Int(g.upload_limit), Int(g.upload_speed));
  s.guest_rule_on = Switch(g.ip_range_limit);
  if (s.guest_rule_on) s.guest_ip_range = Text(g.ip_range);
  return s;
}

}  // namespace tw
