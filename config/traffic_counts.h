#pragma once
// What the traffic figures count: bytes up and down per account, per proxy, per day.
// An account is a user (by login name) or a guest (by client address); past the caps the
// rest of a day is summed into one "other users" or "other guests" account, so a day's
// figures stay bounded however many clients come.
// Plain values; a DayTraffic belongs to one thread (or to whoever holds its owner's lock).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "config/protocols.h"
#include "platform/clock.h"

namespace tw {

constexpr int kTrafficKeepDays = 400;         // days kept in the files; older ones are dropped
constexpr std::size_t kMaxTrafficName = 255;  // longest account name kept (longer: cut)

// How many accounts of a kind one day keeps by name; the busiest are kept.
struct TrafficCaps {
  std::size_t guests = 1000;
  std::size_t users = 100000;
};

// Stored in the files: the numbers never change.
enum class TrafficKind : std::uint8_t {
  kUser = 0,
  kGuest = 1,        // name: the client's dotted IPv4 address
  kOtherUsers = 2,   // name empty: the users past the cap
  kOtherGuests = 3,  // name empty: the guests past the cap
};
constexpr std::uint8_t kLastTrafficKind = 3;

struct TrafficAccount {
  TrafficKind kind = TrafficKind::kUser;
  std::string name;

  static TrafficAccount User(std::string_view name);
  static TrafficAccount Guest(std::uint32_t addr_be);
  bool operator==(const TrafficAccount&) const = default;
};

struct TrafficAccountHash {
  std::size_t operator()(const TrafficAccount& a) const;
};

struct ProxyBytes {
  std::uint64_t up = 0;
  std::uint64_t down = 0;
  std::uint64_t Total() const;                               // saturates
  void Add(std::uint64_t more_up, std::uint64_t more_down);  // saturates: file bytes are untrusted
  void Add(const ProxyBytes& more) { Add(more.up, more.down); }
  bool Zero() const { return up == 0 && down == 0; }
};

// One account's bytes of a day by proxy; index 0 holds a proxy id outside 1..5.
struct AccountBytes {
  ProxyBytes proxy[kLastProtocol + 1];
  ProxyBytes Sum() const;
  void Add(const AccountBytes& more);
};

// The slot of a proxy id in AccountBytes::proxy.
inline int TrafficProxySlot(int proxy) {
  return ValidProtocol(proxy) ? proxy : 0;
}

// The accounts of one day, at most caps.users users and caps.guests guests by name plus the
// two "other" accounts once a cap was passed. Adding past twice a cap folds the least busy
// down to the cap (amortised, so an Add stays cheap); Trim() folds down to the caps exactly.
class DayTraffic {
 public:
  using Map = std::unordered_map<TrafficAccount, AccountBytes, TrafficAccountHash>;

  explicit DayTraffic(TrafficCaps caps = {}) : caps_(caps) {}
  void Add(const TrafficAccount& account, int proxy, std::uint64_t up, std::uint64_t down);
  void Add(const TrafficAccount& account, const AccountBytes& bytes);
  void Add(const DayTraffic& other);
  void Trim();
  const Map& accounts() const { return accounts_; }
  bool empty() const { return accounts_.empty(); }

 private:
  AccountBytes& Slot(const TrafficAccount& account);
  void Fold(TrafficKind kind, std::size_t keep);

  TrafficCaps caps_;
  Map accounts_;
  std::size_t users_ = 0;
  std::size_t guests_ = 0;
};

// Days are counted from 1970-01-01 (day 0) in the local calendar.
int TrafficDay(int year, int month, int day);
int TrafficDayOf(const LocalTime& t);
// The calendar date of a day number (hour and minute 0).
LocalTime TrafficDate(int day);
// year * 100 + month of a day number: the month a file holds.
int TrafficMonthOf(int day);
// The first and the last day number of a month given as year * 100 + month.
int TrafficFirstDayOfMonth(int month);
int TrafficLastDayOfMonth(int month);

}  // namespace tw
