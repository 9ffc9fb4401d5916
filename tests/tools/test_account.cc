// A tool for the browser tests: adds one account to a data directory's user table, so a test
// can log in through a proxy without driving the account pages.
//   test_account DATA_DIR USER PASSWORD [field=number ...]
// Fields: server1..server5, filter, filterid, schedule, scheduleid. Exit 0 when written.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/account_tables.h"

namespace {

bool SetField(tw::UserRecord* u, const std::string& name, int value) {
  tw::AccountRules& r = u->rules;
  if (name.size() == 7 && name.compare(0, 6, "server") == 0 && name[6] >= '1' && name[6] <= '5') {
    r.SetServer(name[6] - '0', value);
  } else if (name == "filter") {
    r.filter = value;
  } else if (name == "filterid") {
    r.filterid = value;
  } else if (name == "schedule") {
    r.schedule = value;
  } else if (name == "scheduleid") {
    r.scheduleid = value;
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DATA_DIR USER PASSWORD [field=number ...]\n", argv[0]);
    return 2;
  }
  tw::UserRecord u;
  u.userid = argv[2];
  u.passwd = argv[3];
  for (int i = 4; i < argc; ++i) {
    std::string arg = argv[i];
    std::size_t eq = arg.find('=');
    if (eq == std::string::npos ||
        !SetField(&u, arg.substr(0, eq), std::atoi(arg.c_str() + eq + 1))) {
      std::fprintf(stderr, "unknown field: %s\n", argv[i]);
      return 2;
    }
  }
  std::string error;
  if (!tw::UserTable(argv[1]).Add(&u, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
