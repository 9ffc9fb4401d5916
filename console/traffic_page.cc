#include "console/traffic_page.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "config/traffic_report.h"
#include "console/api_router.h"
#include "console/console_owner.h"

namespace tw {

namespace {

const char* KindName(TrafficKind kind) {
  switch (kind) {
    case TrafficKind::kUser:
      return "user";
    case TrafficKind::kGuest:
      return "guest";
    case TrafficKind::kOtherUsers:
      return "other-users";
    case TrafficKind::kOtherGuests:
      return "other-guests";
  }
  return "user";
}

std::string MonthText(int month) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d", month / 100, month % 100);
  return text;
}

nlohmann::json BytesJson(const ProxyBytes& bytes) {
  return {{"up", bytes.up}, {"down", bytes.down}};
}

}  // namespace

bool ParseTrafficMonth(std::string_view text, int* month) {
  if (text.size() != 7 || text[4] != '-') return false;
  int value = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 4) continue;
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  if (value / 100 < 1970 || value % 100 < 1 || value % 100 > 12) return false;
  *month = value;
  return true;
}

std::string TrafficAccountLabel(const TrafficAccount& account) {
  switch (account.kind) {
    case TrafficKind::kGuest:
      return "Guest " + account.name;
    case TrafficKind::kOtherUsers:
      return "Other users";
    case TrafficKind::kOtherGuests:
      return "Other guests";
    case TrafficKind::kUser:
      break;
  }
  return account.name;
}

nlohmann::json TrafficPageJson(const std::string& dataDir, int month, int today) {
  TrafficReport report =
      ReadTrafficReport(dataDir, TrafficFirstDayOfMonth(month), TrafficLastDayOfMonth(month));
  nlohmann::json rows = nlohmann::json::array();
  ProxyBytes total;
  for (const AccountTraffic& a : report.accounts) {
    rows.push_back({{"kind", KindName(a.account.kind)},
                    {"account", TrafficAccountLabel(a.account)},
                    {"up", a.bytes.up},
                    {"down", a.bytes.down},
                    {"total", a.bytes.Total()}});
    total.Add(a.bytes);
  }
  TrafficReport recent = ReadTrafficReport(dataDir, today - kTrafficChartDays + 1, today);
  nlohmann::json days = nlohmann::json::array();
  for (std::size_t i = 0; i < recent.days.size(); ++i) {
    nlohmann::json day = BytesJson(recent.days[i]);
    day["date"] = FormatDate(TrafficDate(recent.firstDay + static_cast<int>(i)));
    days.push_back(std::move(day));
  }
  std::vector<std::string> problems = report.problems;
  problems.insert(problems.end(), recent.problems.begin(), recent.problems.end());
  return {{"month", MonthText(month)},
          {"rows", rows},
          {"total", BytesJson(total)},
          {"days", days},
          {"problems", problems}};
}

void FillUserTraffic(const std::string& dataDir, int today, std::vector<UserRow>* rows) {
  int month = TrafficMonthOf(today);
  std::unordered_map<std::string, UserRow*> by_name;
  for (UserRow& row : *rows) by_name.emplace(row.userid, &row);
  auto fill = [&](int first, int last, std::uint64_t UserRow::*field) {
    for (const AccountTraffic& a : ReadTrafficReport(dataDir, first, last).accounts) {
      if (a.account.kind != TrafficKind::kUser) continue;
      auto found = by_name.find(a.account.name);
      if (found != by_name.end()) found->second->*field = a.bytes.Total();
    }
  };
  fill(today, today, &UserRow::today);
  fill(TrafficFirstDayOfMonth(month), today, &UserRow::month);
}

void RegisterTrafficPage(ApiRouter& router, ConsoleOwner& owner) {
  router.Get("/api/traffic",
             "Traffic: ?month=YYYY-MM (default this month): bytes up and down per account for "
             "the month and per day for the last 30 days.",
             [&owner](const ApiRequest& request) {
               TrafficRecording& traffic = owner.traffic();
               int today = traffic.Today();
               int month = TrafficMonthOf(today);
               std::string text = request.Query("month");
               if (!text.empty() && !ParseTrafficMonth(text, &month)) {
                 return ApiReply::Error(400, "month must read YYYY-MM");
               }
               std::string error;
               bool flushed = traffic.Flush(&error);
               nlohmann::json reply = TrafficPageJson(owner.dataDir(), month, today);
               if (!flushed) reply["problems"].push_back(error);
               return ApiReply::Json(reply);
             });
}

}  // namespace tw
