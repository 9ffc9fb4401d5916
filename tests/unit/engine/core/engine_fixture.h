#pragma once
// A proxy running the relay test protocol on an ephemeral port, with helpers to open relayed
// connections through it and to wait until every context it made is gone.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "config/protocols.h"
#include "engine/core/io_context.h"
#include "engine/core/proxy_server.h"
#include "tests/support/relay_test_handler.h"
#include "tests/support/test_sockets.h"

namespace tw::test {

constexpr int kRelayWorkers = 4;

// The destinations of these tests are loopback servers.
inline ListenerSettings LoopbackSettings() {
  ListenerSettings s;
  s.allowLocalDestinations = true;
  s.maxConnectionsPerClient = 0;  // every client of these tests comes from 127.0.0.1
  return s;
}

inline std::unique_ptr<ProxyServer> StartRelayProxy(
    const char* greeting = nullptr, int32_t protocol = kProtocolSocks,
    const ListenerSettings& settings = LoopbackSettings()) {
  auto server = std::make_unique<ProxyServer>(
      protocol, ProxyProtocol{&RelayTestHandler, greeting, kRelayWorkers});
  EXPECT_TRUE(server->Start(settings));
  return server;
}

// Opens a client connection through the proxy to 127.0.0.1:dest_port; -1 on failure.
inline int OpenRelayed(ProxyServer& server, uint16_t dest_port,
                       const std::string& host = "127.0.0.1") {
  int fd = ConnectLoopback(static_cast<uint16_t>(server.port()));
  if (fd == -1) return -1;
  if (!SendAll(fd, host + ":" + std::to_string(dest_port) + "\n")) return -1;
  return fd;
}

// Waits (bounded) until the proxy holds no context; the relay frees contexts asynchronously.
inline bool AllContextsFreed(ProxyServer& server, int seconds = 10) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (server.LiveContexts() != 0) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace tw::test
