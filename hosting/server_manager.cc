#include "hosting/server_manager.h"

#include <cstdio>
#include <cstdlib>

#include "config/account_tables.h"
#include "config/activity_log.h"
#include "config/activity_text.h"
#include "config/settings.h"
#include "engine/proxy_protocols.h"
#include "hosting/listen_failure.h"

namespace tw {

namespace {

constexpr char kCaptionlessDisabled[] = "The Server is disabled!";

constexpr int kDaySeconds = 86400;

// A time limit in seconds, as milliseconds; a value outside 1-max takes the key's default.
uint32_t LimitMs(const Settings& settings, const SettingKey& key, int max_seconds) {
  int seconds = settings.Int(key);
  if (seconds < 1 || seconds > max_seconds) seconds = std::atoi(key.default_text);
  return static_cast<uint32_t>(seconds) * 1000;
}

// [Server] max_connections_per_client; a negative value takes the default.
int32_t MaxConnectionsPerClient(const Settings& settings) {
  int value = settings.Int(setting::kMaxConnectionsPerClient);
  if (value < 0) value = std::atoi(setting::kMaxConnectionsPerClient.default_text);
  return value;
}

}  // namespace

ServerManager::ServerManager(ManagerHost host, std::string dataDir,
                             std::function<void(const std::string&)> log, ActivitySink activity)
    : host_(host),
      dataDir_(std::move(dataDir)),
      log_(std::move(log)),
      activity_(activity),
      http_(kProtocolHttp, ProtocolFor(kProtocolHttp), activity, &resolver_),
      socks_(kProtocolSocks, ProtocolFor(kProtocolSocks), activity, &resolver_),
      pop3_(kProtocolPop3, ProtocolFor(kProtocolPop3), activity, &resolver_),
      smtp_(kProtocolSmtp, ProtocolFor(kProtocolSmtp), activity, &resolver_),
      ftp_(kProtocolFtp, ProtocolFor(kProtocolFtp), activity, &resolver_) {
  startup_.Load(dataDir_);
  for (int32_t id = kFirstProtocol; id <= kLastProtocol; ++id) {
    lastPort_[id] = std::atoi(PortKey(id).default_text);
  }
}

ListenerSettings ServerManager::ListenerSettingsFor(const Settings& settings, int32_t id) const {
  ProxySettings wanted = settings.ReadProxySettings(id);
  ListenerSettings out;
  out.port = wanted.port;
  out.authMode = wanted.auth_mode;
  out.downloadRate = wanted.download_rate;
  out.uploadRate = wanted.upload_rate;
  out.guestRuleOn = wanted.guest_rule_on;
  out.guestIpRange = wanted.guest_ip_range;
  out.guestsFromAnywhere = settings.Switch(setting::kGuestsFromAnywhere);
  out.listenAddress = settings.Text(setting::kListenAddress);
  out.dataDir = dataDir_;
  out.traffic = traffic_;
  out.allowLocalDestinations = settings.Switch(setting::kAllowLocalDestinations);
  out.maxConnectionsPerClient = MaxConnectionsPerClient(settings);
  out.ownEndpoints = ownEndpoints_;
  out.idleTimeoutMs = LimitMs(settings, setting::kIdleTimeout, kDaySeconds);
  out.lookupTimeoutMs = LimitMs(settings, setting::kLookupTimeout, 60);
  if (id == kProtocolFtp) {
    out.ftp.dataPortRangeOn = true;
    out.ftp.addressEchoHost = settings.Text(setting::kFtpAddressEcho);
  }
  if (id == kProtocolHttp) {
    out.http.ftpGatewayTimeoutMs = LimitMs(settings, setting::kHttpFtpTimeout, 3600);
    out.http.ftpGatewayDialogueMs = LimitMs(settings, setting::kHttpFtpDialogueTimeout, 3600);
  }
  startup_.ApplyTo(id, &out);
  return out;
}

ServerManager::~ServerManager() {
  for (int32_t id = kFirstProtocol; id <= kLastProtocol; ++id) Server(id).Stop();
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

std::vector<ConnectionView> ServerManager::LiveConnections() {
  std::vector<ConnectionView> all;
  for (int32_t id = kProtocolHttp; id <= kProtocolSocks; ++id) {
    std::vector<ConnectionView> one = Server(id).LiveConnections();
    all.insert(all.end(), std::make_move_iterator(one.begin()), std::make_move_iterator(one.end()));
  }
  return all;
}

bool ServerManager::Disconnect(int32_t proxyId, uint64_t id) {
  if (proxyId < kProtocolHttp || proxyId > kProtocolSocks) return false;
  return Server(proxyId).Disconnect(id);
}

int ServerManager::DisconnectUser(std::string_view user) {
  int cut = 0;
  for (int32_t id = kProtocolHttp; id <= kProtocolSocks; ++id) cut += Server(id).DisconnectUser(user);
  return cut;
}

ProxyTotals ServerManager::Totals(int32_t id) {
  return Server(id).Totals();
}

void ServerManager::ReportTraffic() {
  for (int32_t id = kProtocolHttp; id <= kProtocolSocks; ++id) Server(id).ReportTraffic();
}

bool ServerManager::Running(int32_t id) const {
  return ValidProtocol(id) && running_[id];
}

int32_t ServerManager::LastPort(int32_t id) const {
  return ValidProtocol(id) ? lastPort_[id] : 0;
}

void ServerManager::ReadEnabled(bool enabled[6]) const {
  ServerTable table(dataDir_);
  for (int32_t id = 1; id <= 5; ++id) {
    ServerRecord record;
    enabled[id] = table.FindById(id, &record) && record.disable == 0;
  }
}

void ServerManager::ReportListenFailure(int32_t id, int32_t port) {
  if (events.listenFailed) {
    events.listenFailed(ListenFailureText(NamesOf(id).upper, port, Server(id).startError()));
  }
}

void ServerManager::RefreshServerStatus() {
  if (events.refreshServerStatus) events.refreshServerStatus();
}

void ServerManager::StartServers() {
  if (allServersActive_ != 0) return;
  // Schedules and web filters edited in the console since the last start apply from now on.
  startup_.Load(dataDir_);
  Settings settings = Settings::InDataDir(dataDir_);
  ListenerSettings wanted[6];
  for (int32_t id = kFirstProtocol; id <= kLastProtocol; ++id) {
    wanted[id] = ListenerSettingsFor(settings, id);
  }
  bool enabled[6];
  ReadEnabled(enabled);

  for (int32_t id : {kProtocolFtp, kProtocolSmtp, kProtocolPop3, kProtocolSocks, kProtocolHttp}) {
    if (running_[id] || !enabled[id]) continue;
    running_[id] = Server(id).Start(wanted[id]);
  }
  for (int32_t id = 1; id <= 5; ++id) lastPort_[id] = wanted[id].port;
  for (int32_t id : {kProtocolHttp, kProtocolFtp, kProtocolPop3, kProtocolSmtp, kProtocolSocks}) {
    if (enabled[id] && !running_[id]) ReportListenFailure(id, wanted[id].port);
  }
  allServersActive_ = 0;
  for (int32_t id = 1; id <= 5; ++id) allServersActive_ |= running_[id] ? 1 : 0;

  if (allServersActive_ != 0) {
    for (int32_t id : {kProtocolHttp, kProtocolFtp, kProtocolPop3, kProtocolSmtp, kProtocolSocks}) {
      if (running_[id]) {
        log_(FormatText("%s Proxy Server started on port %d.", NamesOf(id).log, Server(id).port()));
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
      log_(FormatText("%s Proxy Server failed to listen on port %d.", NamesOf(id).log,
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
  // Listeners started one by one from the proxy-servers page count too: "stop" must leave
  // nothing listening, whatever the all-servers-active flag says.
  bool anyRunning = false;
  for (int32_t id = kFirstProtocol; id <= kLastProtocol; ++id) anyRunning |= running_[id];
  if (allServersActive_ == 0 && !anyRunning) return;
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
  if (!ValidProtocol(id)) return;
  bool enabled[6];
  ReadEnabled(enabled);
  if (running_[id] || !enabled[id]) {
    if (!enabled[id] && events.messageBox) events.messageBox(kCaptionlessDisabled, false);
    return;
  }
  startup_.Load(dataDir_);
  ListenerSettings wanted = ListenerSettingsFor(Settings::InDataDir(dataDir_), id);
  ProxyServer& server = Server(id);
  running_[id] = server.Start(wanted);
  lastPort_[id] = wanted.port;
  if (running_[id]) {
    RefreshServerStatus();
    activity_.PostText(
        FormatText("%s Proxy Server started on %d", NamesOf(id).started, server.port()));
    return;
  }
  ReportListenFailure(id, wanted.port);
  if (events.messageBox) {
    events.messageBox(FormatText("Error starting the %s proxy server. This may be due to another "
                                 "service running on the port %d, try changing the port number "
                                 "and then starting the server again.",
                                 NamesOf(id).failed, wanted.port),
                      true);
  }
}

void ServerManager::StopServer(int32_t id) {
  if (!ValidProtocol(id) || !running_[id]) return;
  Server(id).Stop();
  running_[id] = false;
  RefreshServerStatus();
  activity_.PostText(FormatText("%s Proxy Server stopped", NamesOf(id).log));
}

}  // namespace tw
