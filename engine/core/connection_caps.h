#pragma once
// Admission of new client connections to one proxy: at most perClient connections at once from
// one client address (0 = no cap per address), and at most `total` client connections at once
// in the whole process, whichever proxy took them (the counter of the whole process is shared
// by every ConnectionCaps that names it). A connection admitted is counted until Release.
//
// Any thread. Memory is bounded by the connections admitted: an address is followed only while
// it has one open.
#include <atomic>
#include <cstdint>
#include <unordered_map>

#include "platform/mutex.h"

namespace tw {

// Descriptors kept back from the connection total for listeners, tables, logs and lookups.
constexpr long kReservedDescriptors = 64;
// Descriptors one client connection may hold: its own, its destination's, and an FTP data
// channel's listener and pair.
constexpr long kDescriptorsPerConnection = 4;

// The total derived from a descriptor limit (at least 1).
int64_t ConnectionTotalFor(long descriptorLimit);

// The client connections of the whole process, shared by every proxy.
std::atomic<int64_t>& ProcessClientConnections();

enum class Admission { kAdmitted, kClientFull, kTotalFull };

class ConnectionCaps {
 public:
  explicit ConnectionCaps(std::atomic<int64_t>& processCount = ProcessClientConnections())
      : processCount_(processCount) {}
  ConnectionCaps(const ConnectionCaps&) = delete;
  ConnectionCaps& operator=(const ConnectionCaps&) = delete;

  // Before the first Admit of a run (the proxy's Start), while no connection is counted.
  void Configure(int32_t perClient, int64_t total) EXCLUDES(mu_);

  // Counts a new connection from address (network order) and says kAdmitted, or counts nothing
  // and says which cap it is over.
  Admission Admit(uint32_t address) EXCLUDES(mu_);
  // Ends the count of one admitted connection from address.
  void Release(uint32_t address) EXCLUDES(mu_);

  // Connections counted from address.
  int32_t CountOf(uint32_t address) EXCLUDES(mu_);

 private:
  std::atomic<int64_t>& processCount_;
  Mutex mu_;
  int32_t perClient_ GUARDED_BY(mu_) = 0;
  int64_t total_ GUARDED_BY(mu_) = 1;
  std::unordered_map<uint32_t, int32_t> perAddress_ GUARDED_BY(mu_);
};

}  // namespace tw
