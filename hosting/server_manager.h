#pragma once
// The server manager: owns the five listeners and is the only code that starts and stops them.
// It reads each listener's settings from option.ini (one function for the whole set and for a
// single proxy), lends them the data loaded at start-up (schedules, web filters, refusal
// pages), asks server.sdb which proxies are enabled, and keeps the running flags, the
// all-servers-active flag and the last-used ports that the console shows.
//
// One thread (the console's main thread or the service's) calls every operation. Log lines go
// to the `log` callback (the console's activity list or the service log); what the console
// shows besides (toolbar, status text, message boxes, page refresh) goes to the notifications
// in ManagerEvents, which the service host leaves empty but for listenFailed.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/activity_log.h"
#include "config/protocols.h"
#include "config/settings.h"
#include "engine/core/proxy_server.h"
#include "hosting/startup_data.h"
#include "platform/resolver.h"

namespace tw {

enum class ManagerHost { kConsole, kService };

struct ManagerEvents {
  std::function<void(bool online)> onlineChanged;  // toolbar buttons and the status text
  std::function<void()> refreshServerStatus;       // the proxy-servers page's Status and Port
  // A message box: text, with the "Tarnwick Proxy Server" caption and error icon when `error`.
  std::function<void(const std::string& text, bool error)> messageBox;
  std::function<void()> startFailed;       // show the window on the proxy-servers page
  std::function<bool()> isServiceRunning;  // the installed service is running
  // Both hosts: one line per enabled proxy that could not listen, with its port and why
  // (ListenFailureText), also when the others started; the terminal and the journal show it.
  std::function<void(const std::string& line)> listenFailed;
};

class ServerManager {
 public:
  // Server ids: 1 HTTP, 2 FTP, 3 POP3, 4 SMTP, 5 SOCKS (the ids of server.sdb). Loads the
  // start-up data of dataDir. The listeners and the single start and stop post their activity
  // texts to `activity`.
  ServerManager(ManagerHost host, std::string dataDir, std::function<void(const std::string&)> log,
                ActivitySink activity = {});
  ~ServerManager();
  ServerManager(const ServerManager&) = delete;
  ServerManager& operator=(const ServerManager&) = delete;

  // Both starts read the schedules, web filters and refusal pages again first, so what the
  // console changed since the last start applies to the proxies they start.
  void StartServers();
  // Stops every running listener, also those started alone with StartServer.
  void StopServers();
  void StartServer(int32_t id);  // console: the proxy-servers page's Start button
  void StopServer(int32_t id);   // console: its Stop button
  void RefreshServerStatus();

  // The listener of a server id (1-5; another id gives the SOCKS listener).
  ProxyServer& Server(int32_t id);
  // Everything a listener is started with, read from settings and the start-up data.
  ListenerSettings ListenerSettingsFor(const Settings& settings, int32_t id) const;
  // This program's listening sockets: each proxy lists its port and its data listeners while
  // they are open; a console or metrics listener adds itself here too, so no proxy is ever
  // made to connect to it.
  OwnEndpoints& ownEndpoints() { return *ownEndpoints_; }
  bool Running(int32_t id) const;
  bool AllServersActive() const { return allServersActive_ != 0; }
  int32_t LastPort(int32_t id) const;
  bool StartFailedFlag() const { return startFailed_; }

  // Where the listeners report the bytes of their client connections; set before the first
  // start, the sink must outlive the manager's listeners. nullptr: nowhere.
  void SetTrafficSink(TrafficSink* sink) { traffic_ = sink; }

  // The owner thread: cuts off connection `id` of proxy `proxyId` (false: no such live
  // connection), or every live connection of `user` on every proxy (how many).
  bool Disconnect(int32_t proxyId, uint64_t id);
  int DisconnectUser(std::string_view user);
  // Any thread (the listeners are members for the manager's whole life):
  // every proxy's live client connections, in proxy id order;
  std::vector<ConnectionView> LiveConnections();
  // one proxy's byte totals and live connections (see ProxyServer::Totals);
  ProxyTotals Totals(int32_t id);
  // hands the traffic sink what live connections moved since their last report.
  void ReportTraffic();

  ManagerEvents events;

 private:
  void ReportListenFailure(int32_t id, int32_t port);
  // Which of the five servers server.sdb enables (index = id).
  void ReadEnabled(bool enabled[6]) const;

  const ManagerHost host_;
  const std::string dataDir_;
  std::function<void(const std::string&)> log_;
  const ActivitySink activity_;
  StartupData startup_;
  ResolverPool resolver_;  // shared by the listeners, so it outlives them
  std::shared_ptr<OwnEndpoints> ownEndpoints_ = std::make_shared<OwnEndpoints>();
  // Constructed in the order HTTP, SOCKS, POP3, SMTP, FTP.
  ProxyServer http_;
  ProxyServer socks_;
  ProxyServer pop3_;
  ProxyServer smtp_;
  ProxyServer ftp_;
  bool running_[6] = {};
  int32_t allServersActive_ = 0;
  int32_t lastPort_[6] = {};  // the port keys' defaults until a start reads them
  bool startFailed_ = false;
  TrafficSink* traffic_ = nullptr;
};

}  // namespace tw
