// What a proxy listener is given when it starts, as one value: the part every protocol reads
// and each protocol's own part (the others ignore it). The owner builds it from the settings
// file and the data loaded at start-up and hands it to ProxyServer::Start; the listener keeps
// its own copy while it runs, so the owner may change or drop its value afterwards. The
// schedules and web filters are shared: a running listener holds on to the lists it started
// with, so the owner may load new ones for the next start while other listeners still read
// the old ones.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/traffic_sink.h"

#include "platform/interfaces.h"

namespace tw {

class OwnEndpoints;
class ScheduleList;
class WebFilterList;

// The HTTP proxy: the refusal pages (whole files, empty when missing), the web filters that
// accounts refer to (nullptr: none), how long each read of the ftp:// gateway's dialogue may
// wait and how long its whole dialogue (up to the start of the transfer) may take.
struct HttpListenerSettings {
  std::string ipBlockPage;
  std::string webFilterPage;
  std::string schedulePage;
  std::shared_ptr<const WebFilterList> webFilters;
  std::uint32_t ftpGatewayTimeoutMs = 30000;
  std::uint32_t ftpGatewayDialogueMs = 120000;
};

// The FTP proxy: the port range of its data listeners, and the address-echo web server
// ("host" or "host:port") asked for the public address announced to peers outside the
// machine's networks; empty = never asked.
struct FtpListenerSettings {
  bool dataPortRangeOn = false;
  std::int32_t dataPortLow = 6000;
  std::int32_t dataPortHigh = 6300;
  std::string addressEchoHost;
};

struct ListenerSettings {
  std::int32_t port = 0;          // 0: an ephemeral port
  int authMode = 0;               // 1 = clients must log in (HTTP, FTP, SOCKS)
  std::int32_t downloadRate = 0;  // guest limits, bytes per second, 0 = unlimited
  std::int32_t uploadRate = 0;
  bool guestRuleOn = false;  // the guest address rule's switch
  std::string guestIpRange;  // "a.b.c.d" or "low-high"; empty and on: no guest at all
  // Guests only from the networks attached to this machine unless this is set. The networks
  // are read from the interfaces at every Start unless given here (tests).
  bool guestsFromAnywhere = false;
  std::optional<std::vector<Ipv4Network>> attachedNetworks;
  std::string listenAddress;                // dotted IPv4 address to bind; empty: every interface
  std::string dataDir;                      // where the account tables are
  std::shared_ptr<const ScheduleList> schedules;  // loaded at start-up; null = none
  std::uint32_t connectTimeoutMs = 20000;   // limit of a connect to a destination
  // Time a client has to finish its protocol dialogue (login, request); 0 = no limit.
  std::uint32_t dialogueTimeoutMs = 60000;
  // Client connections open at once from one address (0 = no cap), and in the whole process
  // (0 = derived from the descriptor limit); a client over either gets the protocol's refusal.
  std::int32_t maxConnectionsPerClient = 256;
  std::int64_t maxConnections = 0;
  // A relayed pair with no byte moved either way for this long is closed (an FTP control
  // connection is busy while its data channel moves bytes); 0 = no limit.
  std::uint32_t idleTimeoutMs = 3600000;
  // Limit of a name lookup; a name not resolved by then is refused like an unknown one.
  std::uint32_t lookupTimeoutMs = 5000;
  // Destinations on this machine and special-purpose addresses (destination_policy.h) are
  // refused unless this is on.
  bool allowLocalDestinations = false;
  // This program's listening sockets, which no client may be connected to; the listener adds
  // its own port and its data listeners. nullptr: the listener keeps a list of its own.
  std::shared_ptr<OwnEndpoints> ownEndpoints;
  // Where the bytes of each client connection are reported (traffic_sink.h); nullptr: nowhere.
  // Must outlive the listener's run.
  TrafficSink* traffic = nullptr;

  HttpListenerSettings http;
  FtpListenerSettings ftp;
};

}  // namespace tw
