#pragma once
// The FTP proxy's data channels. A rewritten passive reply or PORT command announces a
// listening socket of the proxy; the one data connection expected there is accepted and
// relayed to the real data address through the completion port like any other pair.
//
// One thread per proxy (FtpDataListeners, made on first use) waits on all listening sockets
// with poll, so no worker ever blocks in accept. It admits only the expected peer: the control
// client for a passive reply, the real server for a PORT command; a connection from anywhere
// else is closed at once and logged, so nobody can use the proxy to bounce data elsewhere.
// A listener ends when its connection has arrived, after kDataListenerLifetimeMs without one,
// when its control connection has closed, or when the same control connection sets up a newer
// listener (one data connection at a time per control connection, as FTP has it). One client
// address has at most kDataListenersPerClient listeners waiting at once, so no client can hold
// the whole port range.
#include <cstdint>
#include <thread>
#include <vector>

#include "engine/core/io_context.h"
#include "engine/core/proxy_server.h"
#include "platform/mutex.h"

namespace tw {

constexpr uint32_t kDataListenerLifetimeMs = 60000;
constexpr size_t kDataListenersPerClient = 16;

struct DataListenerSpec {
  int fd = -1;                 // bound and listening; owned by the listeners once added
  uint32_t allowedPeer = 0;    // the only address admitted, network order
  uint32_t targetAddress = 0;  // where the accepted connection is relayed, network order
  uint16_t targetPort = 0;
  bool fromServer = false;  // PORT: the real server connects here (data toward the client)
  SocketHandle controlSocket = kNoSocket;  // the client's control socket
  uint32_t clientAddress = 0;              // the control client's address, network order
  int32_t downloadRate = 0;
  int32_t uploadRate = 0;
};

// A listening TCP socket on all interfaces for a data channel of `server`: with the port range
// on, the first free port of the range; otherwise the port `preferred` (the one the peer
// announced) or, when that one is taken, any free port. -1 when none could be opened.
int OpenDataListener(const ProxyServer& server, uint16_t preferred, uint16_t* port);

// Hands a listener to the proxy's listener thread, starting it on first use. False (the socket
// is then closed) when the proxy is stopping, no thread can be started, or the client has its
// kDataListenersPerClient listeners waiting already.
bool AddDataListener(ProxyServer* server, const DataListenerSpec& spec);

// The worker's part of a data connection whose connect to the real data address completed
// (the context's state is kFtpDataConnecting): pair it and start relaying both ways.
void DataConnectStep(IoContext* x);

class FtpDataListeners : public ProtocolService {
 public:
  // Starts the thread; Running() is false when it could not be started.
  FtpDataListeners(ProxyServer* server, uint32_t lifetimeMs);
  ~FtpDataListeners() override;  // ends the thread and closes every listener left
  FtpDataListeners(const FtpDataListeners&) = delete;
  FtpDataListeners& operator=(const FtpDataListeners&) = delete;

  bool Running() const { return thread_.joinable(); }
  // Any thread. Replaces the listener of the same control connection, if any. False, with the
  // socket closed, when stopping, or when spec.clientAddress has kDataListenersPerClient other
  // listeners waiting (written to the activity log as a refusal).
  bool Add(const DataListenerSpec& spec) EXCLUDES(mu_);
  // Listeners waiting for their connection.
  size_t Count() EXCLUDES(mu_);

 private:
  struct Entry {
    DataListenerSpec spec;
    uint64_t deadlineMs;
    uint16_t port;  // listed in the proxy's own endpoints while open; 0 = not listed
  };
  // Closes the entry's listener and takes it off the proxy's own endpoints.
  void CloseEntry(const Entry& e);
  void Loop() EXCLUDES(mu_);
  // Each returns true when the entry is finished with (fd closed).
  bool AcceptFrom(Entry* e) REQUIRES(mu_);
  bool Expired(const Entry& e, uint64_t now) REQUIRES(mu_);

  ProxyServer* const server_;
  const uint32_t lifetimeMs_;
  int wakeFd_ = -1;
  Mutex mu_;
  std::vector<Entry> entries_ GUARDED_BY(mu_);
  bool stop_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

}  // namespace tw
