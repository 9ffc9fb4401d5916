#include "engine/policy/authorization.h"

#include "config/account_tables.h"
#include "config/speed.h"
#include "engine/policy/address_rules.h"

namespace tw {
namespace {

// The user record for a login, or false when the table cannot be read, the name is unknown or
// the password differs (compared byte for byte, case-sensitive).
bool FindLogin(const AuthorizationSettings& proxy, std::string_view user, std::string_view password,
               UserRecord* out) {
  UserRecord rec;
  if (!UserTable(proxy.dataDir).FindByName(user, &rec)) return false;
  if (!SecretsEqual(password, rec.passwd)) return false;
  // A disabled account does not log in.
  if (rec.enable == 0) return false;
  *out = std::move(rec);
  return true;
}

// The rules that decide for a user on this proxy: the user's own when its "server%d" is on,
// else its group's when that group exists, is enabled and has "server%d" on.
bool DecidingRules(const AuthorizationSettings& proxy, const UserRecord& user,
                   AccountRules* rules) {
  if (user.rules.Server(proxy.protocolId) != 0) {
    *rules = user.rules;
    return true;
  }
  if (user.group == 0) return false;
  GroupRecord group;
  if (!GroupTable(proxy.dataDir).FindById(user.group, &group)) return false;
  if (group.enable == 0 || group.rules.Server(proxy.protocolId) == 0) return false;
  *rules = group.rules;
  return true;
}

void ApplyLimits(const AccountRules& r, std::int32_t* down, std::int32_t* up) {
  *down = SpeedToRate(r.download_limit, r.download_speed);
  *up = SpeedToRate(r.upload_limit, r.upload_speed);
}

// The schedule part of the login-required check: only a schedule that exists and is switched
// on for this proxy restricts the time.
bool ScheduleAdmits(const AuthorizationSettings& proxy, const AccountRules& r) {
  if (r.schedule != 1 || proxy.schedules == nullptr) return true;
  const ScheduleRecord* entry = proxy.schedules->Find(r.scheduleid);
  if (entry == nullptr || entry->Server(proxy.protocolId) != 1) return true;
  const Clock& clock = proxy.clock != nullptr ? *proxy.clock : SystemClock::Instance();
  return ScheduleAllows(*entry, clock.Now());
}

// Steps shared by CheckAccountAccess (login required) and CheckHttpAccount.
bool LoginRequired(const AuthorizationSettings& proxy, std::string_view clientAddress,
                   std::string_view user, std::string_view password, std::int32_t* down,
                   std::int32_t* up, int* reason, std::int32_t* filterId) {
  UserRecord rec;
  if (!FindLogin(proxy, user, password, &rec)) return false;
  AccountRules rules;
  if (!DecidingRules(proxy, rec, &rules)) return false;
  ApplyLimits(rules, down, up);
  if (filterId != nullptr && rules.filter == 1) *filterId = rules.filterid;
  if (!ScheduleAdmits(proxy, rules)) {
    if (reason != nullptr) *reason = kRefusedSchedule;
    return false;
  }
  if (rules.ip == 0) return true;
  if (reason != nullptr) *reason = kRefusedAddress;
  return AddressRulePasses(rules.iprange, clientAddress);
}

bool Guest(const AuthorizationSettings& proxy, std::string_view clientAddress,
           std::string_view user, std::string_view password, std::int32_t* down, std::int32_t* up) {
  *down = proxy.downloadRate;
  *up = proxy.uploadRate;
  UserRecord rec;
  AccountRules rules;
  if (!user.empty() && FindLogin(proxy, user, password, &rec) &&
      DecidingRules(proxy, rec, &rules)) {
    // A correct login improves a guest: its limits replace the guest limits, and its own
    // address rule admits even where the guest rule would not. No schedule applies here.
    ApplyLimits(rules, down, up);
    if (rules.ip != 0 && AddressRulePasses(rules.iprange, clientAddress)) return true;
  }
  return GuestAdmits(proxy, clientAddress);
}

bool OnAttachedNetwork(const AuthorizationSettings& proxy, std::string_view clientAddress) {
  std::uint32_t address = 0;
  if (!ParseDottedAddress(clientAddress, &address)) return false;
  for (const Ipv4Network& n : proxy.attachedNetworks) {
    if (n.Contains(address)) return true;
  }
  return false;
}

}  // namespace

bool SecretsEqual(std::string_view a, std::string_view b) {
  // Walk the longer length in full; a length difference counts as a difference.
  std::size_t n = a.size() > b.size() ? a.size() : b.size();
  unsigned diff = a.size() != b.size() ? 1u : 0u;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned>(x ^ y);
  }
  return diff == 0;
}

bool CheckAccountAccess(const AuthorizationSettings& proxy, std::string_view clientAddress,
                        std::string_view user, std::string_view password,
                        std::int32_t* downloadRate, std::int32_t* uploadRate, int* refusalReason) {
  if (proxy.authMode == 1) {
    return LoginRequired(proxy, clientAddress, user, password, downloadRate, uploadRate,
                         refusalReason, nullptr);
  }
  return Guest(proxy, clientAddress, user, password, downloadRate, uploadRate);
}

bool CheckAccountAccess(const AuthorizationSettings& proxy, int clientSocket, std::string_view user,
                        std::string_view password, std::int32_t* downloadRate,
                        std::int32_t* uploadRate) {
  return CheckAccountAccess(proxy, std::string_view(PeerAddressText(clientSocket)), user, password,
                            downloadRate, uploadRate);
}

bool CheckHttpAccount(const AuthorizationSettings& proxy, std::string_view clientAddress,
                      std::string_view user, std::string_view password, std::int32_t* downloadRate,
                      std::int32_t* uploadRate, int* refusalReason, std::int32_t* webFilterId) {
  return LoginRequired(proxy, clientAddress, user, password, downloadRate, uploadRate,
                       refusalReason, webFilterId);
}

bool CheckHttpAccount(const AuthorizationSettings& proxy, int clientSocket, std::string_view user,
                      std::string_view password, std::int32_t* downloadRate,
                      std::int32_t* uploadRate, int* refusalReason, std::int32_t* webFilterId) {
  return CheckHttpAccount(proxy, std::string_view(PeerAddressText(clientSocket)), user, password,
                          downloadRate, uploadRate, refusalReason, webFilterId);
}

GuestAdmission CheckGuest(const AuthorizationSettings& proxy, std::string_view clientAddress) {
  if (!proxy.guestsFromAnywhere && !OnAttachedNetwork(proxy, clientAddress)) {
    return GuestAdmission::kNotLocal;
  }
  if (!proxy.guestRuleOn) return GuestAdmission::kAdmitted;
  return AddressRulePasses(proxy.guestIpRange, clientAddress) ? GuestAdmission::kAdmitted
                                                              : GuestAdmission::kRule;
}

std::string LocalAddressForClient(const AuthorizationSettings& proxy,
                                  std::string_view clientAddress) {
  return LocalAddressForClient(proxy.localAddresses, clientAddress);
}

bool IsOwnHttpAddress(const AuthorizationSettings& proxy, std::string_view host) {
  return IsOwnHttpAddress(proxy.localAddresses, proxy.port, host);
}

}  // namespace tw
