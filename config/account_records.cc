#include "config/account_records.h"

namespace tw {

namespace {

// The "server1" ... "server5" field of a record for a proxy number; nullptr outside 1..5.
template <typename Record>
auto ServerField(Record& r, int protocol_id) -> decltype(&r.server1) {
  switch (protocol_id) {
    case 1:
      return &r.server1;
    case 2:
      return &r.server2;
    case 3:
      return &r.server3;
    case 4:
      return &r.server4;
    case 5:
      return &r.server5;
    default:
      return nullptr;
  }
}

}  // namespace

std::int32_t AccountRules::Server(int protocol_id) const {
  const std::int32_t* field = ServerField(*this, protocol_id);
  return field != nullptr ? *field : 0;
}

void AccountRules::SetServer(int protocol_id, std::int32_t value) {
  if (std::int32_t* field = ServerField(*this, protocol_id)) *field = value;
}

std::int32_t ScheduleRecord::Server(int protocol_id) const {
  const std::int32_t* field = ServerField(*this, protocol_id);
  return field != nullptr ? *field : 0;
}

void ScheduleRecord::SetServer(int protocol_id, std::int32_t value) {
  if (std::int32_t* field = ServerField(*this, protocol_id)) *field = value;
}

const std::string& ScheduleRecord::Day(int weekday) const {
  static const std::string kNone;
  switch (weekday) {
    case 0:
      return sunday;
    case 1:
      return monday;
    case 2:
      return tuesday;
    case 3:
      return wednesday;
    case 4:
      return thursday;
    case 5:
      return friday;
    case 6:
      return saturday;
    default:
      return kNone;
  }
}

}  // namespace tw
