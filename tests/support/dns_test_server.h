#pragma once
// A DNS server on 127.0.0.1 for resolver tests: answers A queries for the names it was given
// and stays silent for every other name (a zone whose servers never reply). Runs one thread
// from construction to destruction.
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <thread>

namespace tw {

class DnsTestServer {
 public:
  // answers: lower-case name -> dotted IPv4 address.
  explicit DnsTestServer(std::map<std::string, std::string> answers);
  ~DnsTestServer();
  DnsTestServer(const DnsTestServer&) = delete;
  DnsTestServer& operator=(const DnsTestServer&) = delete;

  // "127.0.0.1:port", for ResolverOptions::servers.
  std::string Address() const;
  // Queries received for names it does not answer.
  int IgnoredQueries() const { return ignored_.load(); }

 private:
  void Loop();

  std::map<std::string, std::string> answers_;
  int fd_ = -1;
  int wake_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> ignored_{0};
  std::thread thread_;
};

}  // namespace tw
