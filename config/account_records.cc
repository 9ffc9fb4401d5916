#include "config/account_records.h"

namespace tw {

std::int32_t AccountRules::Server(int protocol_id) const {
  switch (protocol_id) {
    case 1:
      return server1;
    case 2:
      return server2;
    case 3:
      return server3;
    case 4:
      return server4;
    case 5:
      return server5;
    default:
      return 0;
  }
}

void AccountRules::SetServer(int protocol_id, std::int32_t value) {
  switch (protocol_id) {
    case 1:
      server1 = value;
      break;
    case 2:
      server2 = value;
      break;
    case 3:
      server3 = value;
      break;
    case 4:
      server4 = value;
      break;
    case 5:
      server5 = value;
      break;
    default:
      break;
  }
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

void ScheduleRecord::SetServer(int protocol_id, std::int32_t value) {
  switch (protocol_id) {
    case 1:
      server1 = value;
      break;
    case 2:
      server2 = value;
      break;
    case 3:
      server3 = value;
      break;
    case 4:
      server4 = value;
      break;
    case 5:
      server5 = value;
      break;
    default:
      break;
  }
}

std::int32_t ScheduleRecord::Server(int protocol_id) const {
  switch (protocol_id) {
    case 1:
      return server1;
    case 2:
      return server2;
    case 3:
      return server3;
    case 4:
      return server4;
    case 5:
      return server5;
    default:
      return 0;
  }
}

}  // namespace tw
