// A tool for the browser tests: counts traffic into a data directory's traffic file through
// the traffic book, so a test can show figures without relaying bytes.
//   test_traffic DATA_DIR PROGRAM YYYY-MM-DD PROXY_ID ACCOUNT UP DOWN
// ACCOUNT is a user name, or "guest:A.B.C.D" for a guest. Exit 0 when written.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/traffic_book.h"

int main(int argc, char** argv) {
  if (argc != 8) {
    std::fprintf(stderr, "usage: %s DATA_DIR PROGRAM YYYY-MM-DD PROXY_ID ACCOUNT UP DOWN\n",
                 argv[0]);
    return 2;
  }
  int year = 0, month = 0, day = 0;
  if (std::sscanf(argv[3], "%d-%d-%d", &year, &month, &day) != 3) {
    std::fprintf(stderr, "bad date: %s\n", argv[3]);
    return 2;
  }
  std::string account = argv[5];
  tw::TrafficAccount who = tw::TrafficAccount::User(account);
  if (account.rfind("guest:", 0) == 0) {
    in_addr addr{};
    if (inet_pton(AF_INET, account.c_str() + 6, &addr) != 1) {
      std::fprintf(stderr, "bad guest address: %s\n", argv[5]);
      return 2;
    }
    who = tw::TrafficAccount::Guest(addr.s_addr);
  }
  int when = tw::TrafficDay(year, month, day);
  tw::TrafficBook book(argv[1], argv[2]);
  book.Add(when, std::atoi(argv[4]), who, std::strtoull(argv[6], nullptr, 10),
           std::strtoull(argv[7], nullptr, 10));
  std::string error;
  if (!book.Flush(when, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
