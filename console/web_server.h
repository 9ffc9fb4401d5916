#pragma once
// The console's web server: the pages and assets embedded in the binary, the JSON API of
// ApiRouter under /api/, the event stream /api/events and the daily log files, every request
// checked by request_guard first. Responses carry a strict Content-Security-Policy (scripts
// and styles from the console only, nothing inline), no caching of the API and no referrer.
//
// Threads: a fixed pool serves requests; event streams are counted and capped, and the pool
// holds room for that many streams beyond the workers, so open pages never starve requests.
// Request bodies are bounded (kMaxRequestBody). Bind and Serve on one thread, Stop from any;
// the object must outlive Serve's return.
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "console/request_guard.h"

namespace httplib {
class Server;
}

namespace tw {

class ApiRouter;
class ConsoleOwner;

constexpr std::size_t kMaxRequestBody = 32u * 1024 * 1024;  // an import of several MB fits
constexpr int kRequestWorkers = 8;
constexpr int kMaxEventStreams = 8;

class ConsoleWebServer {
 public:
  ConsoleWebServer(ConsoleOwner& owner, const ApiRouter& router);
  ~ConsoleWebServer();
  ConsoleWebServer(const ConsoleWebServer&) = delete;
  ConsoleWebServer& operator=(const ConsoleWebServer&) = delete;

  // Binds address:port (0: any free port); the identity's port becomes the real one. False
  // with *error when the address cannot be had.
  bool Bind(const std::string& address, int port, std::string* error);
  // Serves until Stop; returns then.
  void Serve();
  void Stop();

  // Valid after Bind; the secrets are made by the constructor.
  const ConsoleIdentity& identity() const { return identity_; }

 private:
  void InstallRoutes();

  ConsoleOwner& owner_;
  const ApiRouter& router_;
  ConsoleIdentity identity_;
  std::unique_ptr<httplib::Server> server_;
  std::atomic<int> streams_{0};
  std::atomic<bool> serving_{false};
  std::atomic<bool> stopRequested_{false};
};

// False when a JSON text nests arrays and objects deeper than max_depth (the parser recurses).
bool JsonDepthWithin(std::string_view text, int max_depth);

}  // namespace tw
