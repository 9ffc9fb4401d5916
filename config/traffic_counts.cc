#include "config/traffic_counts.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>
#include <vector>

#include "platform/address_text.h"

namespace tw {

namespace {

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

}  // namespace

TrafficAccount TrafficAccount::User(std::string_view name) {
  return {TrafficKind::kUser, std::string(name.substr(0, kMaxTrafficName))};
}

TrafficAccount TrafficAccount::Guest(std::uint32_t addr_be) {
  return {TrafficKind::kGuest, AddressText(addr_be)};
}

std::size_t TrafficAccountHash::operator()(const TrafficAccount& a) const {
  return std::hash<std::string>()(a.name) * 31 + static_cast<std::size_t>(a.kind);
}

std::uint64_t ProxyBytes::Total() const {
  return SaturatingAdd(up, down);
}

void ProxyBytes::Add(std::uint64_t more_up, std::uint64_t more_down) {
  up = SaturatingAdd(up, more_up);
  down = SaturatingAdd(down, more_down);
}

ProxyBytes AccountBytes::Sum() const {
  ProxyBytes sum;
  for (const ProxyBytes& p : proxy) sum.Add(p);
  return sum;
}

void AccountBytes::Add(const AccountBytes& more) {
  for (int i = 0; i <= kLastProtocol; ++i) proxy[i].Add(more.proxy[i]);
}

AccountBytes& DayTraffic::Slot(const TrafficAccount& account) {
  auto found = accounts_.find(account);
  if (found != accounts_.end()) return found->second;
  if (account.kind == TrafficKind::kUser || account.kind == TrafficKind::kGuest) {
    bool user = account.kind == TrafficKind::kUser;
    std::size_t& count = user ? users_ : guests_;
    std::size_t cap = user ? caps_.users : caps_.guests;
    if (cap == 0) {
      TrafficKind other = user ? TrafficKind::kOtherUsers : TrafficKind::kOtherGuests;
      return accounts_[TrafficAccount{other, ""}];
    }
    if (count >= 2 * cap) Fold(account.kind, cap);
    ++count;
  }
  return accounts_[account];
}

void DayTraffic::Add(const TrafficAccount& account, int proxy, std::uint64_t up,
                     std::uint64_t down) {
  Slot(account).proxy[TrafficProxySlot(proxy)].Add(up, down);
}

void DayTraffic::Add(const TrafficAccount& account, const AccountBytes& bytes) {
  Slot(account).Add(bytes);
}

void DayTraffic::Add(const DayTraffic& other) {
  for (const auto& [account, bytes] : other.accounts_) Add(account, bytes);
}

void DayTraffic::Trim() {
  if (users_ > caps_.users) Fold(TrafficKind::kUser, caps_.users);
  if (guests_ > caps_.guests) Fold(TrafficKind::kGuest, caps_.guests);
}

// Keeps the `keep` busiest accounts of kind and sums the rest into the kind's "other".
void DayTraffic::Fold(TrafficKind kind, std::size_t keep) {
  std::vector<std::pair<std::uint64_t, const TrafficAccount*>> named;
  for (const auto& [account, bytes] : accounts_) {
    if (account.kind == kind) named.emplace_back(bytes.Sum().Total(), &account);
  }
  if (named.size() <= keep) return;
  std::nth_element(named.begin(), named.begin() + static_cast<std::ptrdiff_t>(keep), named.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  TrafficKind other_kind =
      kind == TrafficKind::kUser ? TrafficKind::kOtherUsers : TrafficKind::kOtherGuests;
  AccountBytes folded;
  std::vector<TrafficAccount> gone;
  for (std::size_t i = keep; i < named.size(); ++i) {
    folded.Add(accounts_.at(*named[i].second));
    gone.push_back(*named[i].second);
  }
  for (const TrafficAccount& account : gone) accounts_.erase(account);
  accounts_[TrafficAccount{other_kind, ""}].Add(folded);
  (kind == TrafficKind::kUser ? users_ : guests_) = keep;
}

int TrafficDay(int year, int month, int day) {
  using namespace std::chrono;
  sys_days days{year_month_day{std::chrono::year(year),
                               std::chrono::month(static_cast<unsigned>(month)),
                               std::chrono::day(static_cast<unsigned>(day))}};
  return static_cast<int>(days.time_since_epoch().count());
}

int TrafficDayOf(const LocalTime& t) {
  return TrafficDay(t.year, t.month, t.day);
}

LocalTime TrafficDate(int day) {
  using namespace std::chrono;
  year_month_day date{sys_days{days{day}}};
  return MakeLocalTime(static_cast<int>(date.year()),
                       static_cast<int>(static_cast<unsigned>(date.month())),
                       static_cast<int>(static_cast<unsigned>(date.day())), 0, 0);
}

int TrafficMonthOf(int day) {
  LocalTime date = TrafficDate(day);
  return date.year * 100 + date.month;
}

int TrafficFirstDayOfMonth(int month) {
  return TrafficDay(month / 100, month % 100, 1);
}

int TrafficLastDayOfMonth(int month) {
  int year = month / 100, m = month % 100;
  return (m == 12 ? TrafficDay(year + 1, 1, 1) : TrafficDay(year, m + 1, 1)) - 1;
}

}  // namespace tw
