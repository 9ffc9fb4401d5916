#include "hosting/server_manager.h"

#include <cstdio>

#include "config/account_tables.h"
#include "config/activity_log.h"
#include "config/activity_text.h"
#include "config/settings.h"
#include "config/speed.h"

namespace tw {

namespace {

// Names as the whole-set log lines, the single-server start post, and its failure text use
// them (index = server id).
constexpr const char* kLogName[] = {"", "Http", "Ftp", "Pop3", "Smtp", "Socks"};
constexpr const char* kStartedName[] = {"", "HTTP", "FTP", "Pop3", "Smtp", "Socks"};
constexpr const char* kErrorName[] = {"", "HTTP", "FTP", "Pop3", "Smtp", "SOCKS"};
constexpr char kCaptionlessDisabled[] = "The Server is disabled!";

bool ValidId(int32_t id) {
  return id >= 1 && id <= 5;
}

// [HTTP] ftp_timeout in seconds; a value outside 1-3600 takes the default of 30.
uint32_t FtpGatewayTimeoutMs(const Settings& settings) {
  int seconds = settings.Int(setting::kHttpFtpTimeout);
  if (seconds < 1 || seconds > 3600) seconds = 30;
  return static_cast<uint32_t>(seconds) * 1000;
}

}  // namespace

ServerManager::ServerManager(ManagerHost host, std::string dataDir,
                             std::function<void(const std::string&)> log)
    : host_(host), dataDir_(std::move(dataDir)), log_(std::move(log)) {
  for (int32_t id = 1; id <= 5; ++id) Server(id).dataDir = dataDir_;
}

ServerManager::~ServerManager() {
  for (int32_t id = 1; id <= 5; ++id) Server(id).Stop();
}

ProxyServer& ServerManager::Server(int32_t id) {
  switch (id) {
    case kProtocolHttp:
      return http_;
    case kProtocolFtp:
      return ftp_;
    case kProtocolPop3:
      return pop3_;
    case kProtocolSmtp:
      return smtp_;
    default:
      return socks_;
  }
}

bool ServerManager::Running(int32_t id) const {
  return ValidId(id) && running_[id];
}

int32_t ServerManager::LastPort(int32_t id) const {
  return ValidId(id) ? lastPort_[id] : 0;
}

void ServerManager::ReadEnabled(bool enabled[6]) const {
  ServerTable table(dataDir_);
  for (int32_t id = 1; id <= 5; ++id) {
    ServerRecord record;
    enabled[id] = table.FindById(id, &record) && record.disable == 0;
  }
}

void ServerManager::RefreshServerStatus() {
  if (events.refreshServerStatus) events.refreshServerStatus();
}

void ServerManager::StartServers() {
  if (allServersActive_ != 0) return;
  Settings settings = Settings::InDataDir(dataDir_);
  ProxySettings wanted[6];
  for (int32_t id = 1; id <= 5; ++id) wanted[id] = settings.ReadProxySettings(id);
  bool enabled[6];
  ReadEnabled(enabled);

  for (int32_t id : {kProtocolFtp, kProtocolSmtp, kProtocolPop3, kProtocolSocks, kProtocolHttp}) {
    if (running_[id] || !enabled[id]) continue;
    ProxyServer& server = Server(id);
    server.port = wanted[id].port;
    server.authMode = wanted[id].auth_mode;
    server.downloadRate = wanted[id].download_rate;
    server.uploadRate = wanted[id].upload_rate;
    server.guestIpRange = wanted[id].guest_ip_range;
    if (id == kProtocolFtp) {
      server.dataPortRangeOn = 1;
      server.addressEchoHost = settings.Text(setting::kFtpAddressEcho);
    }
    if (id == kProtocolHttp) server.ftpGatewayTimeoutMs = FtpGatewayTimeoutMs(settings);
    running_[id] = server.Start();
  }
  for (int32_t id = 1; id <= 5; ++id) lastPort_[id] = wanted[id].port;
  allServersActive_ = 0;
  for (int32_t id = 1; id <= 5; ++id) allServersActive_ |= running_[id] ? 1 : 0;

  if (allServersActive_ != 0) {
    for (int32_t id : {kProtocolHttp, kProtocolFtp, kProtocolPop3, kProtocolSmtp, kProtocolSocks}) {
      if (running_[id]) {
        log_(FormatText("%s Proxy Server started on port %d.", kLogName[id], Server(id).port));
      }
    }
    if (host_ == ManagerHost::kConsole) {
      if (events.onlineChanged) events.onlineChanged(true);
      RefreshServerStatus();
    }
    return;
  }

  RefreshServerStatus();
  std::string text = FormatText(
      "Error starting the proxy Servers. This may be due to another service running on the "
      "ports [%d,%d,%d,%d,%d], try changing the port number and then starting the server again.",
      wanted[kProtocolHttp].port, wanted[kProtocolFtp].port, wanted[kProtocolSmtp].port,
      wanted[kProtocolPop3].port, wanted[kProtocolSocks].port);
  bool service =
      host_ == ManagerHost::kConsole && events.isServiceRunning && events.isServiceRunning();
  if (service) {
    text =
        "Tarnwick Proxy Server is running as a Service! You do not need to start the server again.";
  } else {
    for (int32_t id : {kProtocolHttp, kProtocolFtp, kProtocolPop3, kProtocolSmtp, kProtocolSocks}) {
      log_(FormatText("%s Proxy Server failed to listen on port %d.", kLogName[id],
                      wanted[id].port));
    }
  }
  if (host_ == ManagerHost::kConsole) {
    if (events.messageBox) events.messageBox(text, true);
    if (events.startFailed) events.startFailed();
    startFailed_ = true;
  }
}

void ServerManager::StopServers() {
  if (allServersActive_ == 0) return;
  allServersActive_ = 0;
  if (host_ == ManagerHost::kConsole && events.onlineChanged) events.onlineChanged(false);
  for (int32_t id : {kProtocolHttp, kProtocolSocks, kProtocolFtp, kProtocolSmtp, kProtocolPop3}) {
    if (running_[id]) Server(id).Stop();
  }
  for (bool& r : running_) r = false;
  RefreshServerStatus();
  log_("Proxy Servers stopped.");
}

void ServerManager::StartServer(int32_t id) {
  if (!ValidId(id)) return;
  bool enabled[6];
  ReadEnabled(enabled);
  if (running_[id] || !enabled[id]) {
    if (!enabled[id] && events.messageBox) events.messageBox(kCaptionlessDisabled, false);
    return;
  }
  Settings settings = Settings::InDataDir(dataDir_);
  ProxySettings wanted = settings.ReadProxySettings(id);
  GuestKeys keys = GuestReadKeys(id);
  ProxyServer& server = Server(id);
  server.port = wanted.port;
  server.authMode = wanted.auth_mode;
  // The single-server start takes the speeds without their switches.
  server.downloadRate = SpeedToRate(1, settings.Int(keys.download_speed));
  server.uploadRate = SpeedToRate(1, settings.Int(keys.upload_speed));
  if (id == kProtocolHttp) server.ftpGatewayTimeoutMs = FtpGatewayTimeoutMs(settings);
  running_[id] = server.Start();
  lastPort_[id] = wanted.port;
  if (running_[id]) {
    RefreshServerStatus();
    PostActivityText(FormatText("%s Proxy Server started on %d", kStartedName[id], server.port));
    return;
  }
  if (events.messageBox) {
    events.messageBox(FormatText("Error starting the %s proxy server. This may be due to another "
                                 "service running on the port %d, try changing the port number "
                                 "and then starting the server again.",
                                 kErrorName[id], wanted.port),
                      true);
  }
}

void ServerManager::StopServer(int32_t id) {
  if (!ValidId(id) || !running_[id]) return;
  Server(id).Stop();
  running_[id] = false;
  RefreshServerStatus();
  PostActivityText(FormatText("%s Proxy Server stopped", kLogName[id]));
}

}  // namespace tw
