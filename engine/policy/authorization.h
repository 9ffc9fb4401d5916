// Client authorization: may this client use this proxy, and with which transfer limits?
//  - login required: the user table (key 1 = name) decides, or the user's group when the
//    user has no rules of its own for this proxy; then the schedule and the address rule;
//  - guest access: the proxy's guest limits and guest address rule, improved by a user's or
//    group's own limits and address rule when a correct login is offered anyway.
// Runs on worker threads, several at once: each check opens the tables it reads and closes
// them before returning; the settings and the schedule list are only read.
//
// Limits are bytes per second, 0 = unlimited; they come from KB/s speeds by SpeedToRate.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/policy/local_addresses.h"
#include "engine/policy/schedule_list.h"
#include "platform/clock.h"
#include "platform/interfaces.h"

namespace tw {

// What the checks need from one proxy. Filled by the proxy's Start and only read while it
// runs, but for the login switch, which the console may flip on a running proxy
// (localAddresses builds itself once on first use).
struct AuthorizationSettings {
  int protocolId = 0;             // 1 HTTP, 2 FTP, 3 POP3, 4 SMTP, 5 SOCKS
  std::atomic<int> authMode{0};   // 1 = clients must log in
  std::int32_t downloadRate = 0;  // guest limits
  std::int32_t uploadRate = 0;
  // The guest address rule: while it is on, a guest must pass guestIpRange (an empty range
  // admits nobody); while it is off, every guest from a local network is admitted.
  bool guestRuleOn = false;
  std::string guestIpRange;
  // Guests come only from the networks attached to this machine (read when the proxy
  // starts), unless guestsFromAnywhere.
  bool guestsFromAnywhere = false;
  std::vector<Ipv4Network> attachedNetworks;
  int port = 0;  // the proxy's own port (IsOwnHttpAddress)

  std::string dataDir;                      // where user.sdb and group.sdb are
  const ScheduleList* schedules = nullptr;  // loaded at start-up; nullptr = none
  const Clock* clock = &SystemClock::Instance();

  LocalAddressList localAddresses;
};

// Why CheckHttpAccount refused (its refusalReason).
constexpr int kRefusedNoAccount = 0;  // no such user, wrong password or no rights here
constexpr int kRefusedAddress = 1;    // set once the deciding record's address rule is on
constexpr int kRefusedSchedule = 2;   // outside the schedule

// FTP and SOCKS: the login-required check when authMode is 1, the guest check otherwise.
// True admits; *downloadRate and *uploadRate then hold the connection's limits (the guest
// check writes them even when it refuses).
bool CheckAccountAccess(const AuthorizationSettings& proxy, int clientSocket, std::string_view user,
                        std::string_view password, std::int32_t* downloadRate,
                        std::int32_t* uploadRate);
// With refusalReason (set to kRefusedNoAccount first by the caller), a refusal of the
// login-required check says why, as CheckHttpAccount does.
bool CheckAccountAccess(const AuthorizationSettings& proxy, std::string_view clientAddress,
                        std::string_view user, std::string_view password,
                        std::int32_t* downloadRate, std::int32_t* uploadRate,
                        int* refusalReason = nullptr);

// HTTP with a Proxy-Authorization login: always the login-required check. Also sets
// *webFilterId from the deciding record when its "filter" is 1 (else leaves it), and
// *refusalReason as the kRefused... values say. The caller sets both to 0 first.
bool CheckHttpAccount(const AuthorizationSettings& proxy, int clientSocket, std::string_view user,
                      std::string_view password, std::int32_t* downloadRate,
                      std::int32_t* uploadRate, int* refusalReason, std::int32_t* webFilterId);
bool CheckHttpAccount(const AuthorizationSettings& proxy, std::string_view clientAddress,
                      std::string_view user, std::string_view password, std::int32_t* downloadRate,
                      std::int32_t* uploadRate, int* refusalReason, std::int32_t* webFilterId);

// Whether a client without an account of its own is admitted as a guest, and if not, why.
enum class GuestAdmission { kAdmitted, kNotLocal, kRule };
GuestAdmission CheckGuest(const AuthorizationSettings& proxy, std::string_view clientAddress);
inline bool GuestAdmits(const AuthorizationSettings& proxy, std::string_view clientAddress) {
  return CheckGuest(proxy, clientAddress) == GuestAdmission::kAdmitted;
}

// The proxy's own address for a client on the same network (local_addresses.h), from the
// proxy's localAddresses, built on first use.
std::string LocalAddressForClient(const AuthorizationSettings& proxy,
                                  std::string_view clientAddress);
// True when a Host value names this HTTP proxy: one of its addresses with its port.
bool IsOwnHttpAddress(const AuthorizationSettings& proxy, std::string_view host);

// Comparison of two secrets whose time does not depend on where they first differ.
bool SecretsEqual(std::string_view a, std::string_view b);

}  // namespace tw
