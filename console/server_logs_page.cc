#include "console/server_logs_page.h"

#include <algorithm>
#include <charconv>

#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/throughput_chart.h"

namespace tw {

namespace {

bool ParseSeq(const std::string& text, std::uint64_t* seq) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *seq);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string CopyText(const ActivityRow& row) {
  return " " + row.user + " " + row.address + " " + row.time + " " + row.message;
}

nlohmann::json RowsJson(const std::vector<ActivityRow>& rows, std::size_t first) {
  nlohmann::json out = nlohmann::json::array();
  std::size_t end = std::min(rows.size(), first + kLogRowsPerBatch);
  for (std::size_t i = first; i < end; ++i) {
    const ActivityRow& r = rows[i];
    // A destination or user name may hold any byte; the JSON text must stay valid UTF-8.
    out.push_back({{"seq", r.seq},
                   {"user", r.user},
                   {"address", r.address},
                   {"time", r.time},
                   {"message", r.message}});
  }
  return out;
}

void RegisterServerLogsPage(ApiRouter& router, ConsoleOwner& owner) {
  router.Get("/api/logs",
             "Rows of the Server Logs list after seq ?after=N (at most 500 per reply; \"more\" "
             "says whether to ask again).",
             [&owner](const ApiRequest& request) {
               std::uint64_t after = 0;
               if (!ParseSeq(request.Query("after", "0"), &after)) {
                 return ApiReply::Error(400, "after must be a number");
               }
               std::vector<ActivityRow> rows = owner.activity().RowsAfter(after);
               return ApiReply::Json({{"rows", RowsJson(rows)},
                                {"more", rows.size() > kLogRowsPerBatch},
                                {"cleared", owner.Status().logsCleared}});
             });
  router.Get("/api/logs/copy", "Copy: the text of row ?seq=N as the clipboard gets it.",
             [&owner](const ApiRequest& request) {
               std::uint64_t seq = 0;
               if (!ParseSeq(request.Query("seq"), &seq) || seq == 0) {
                 return ApiReply::Error(400, "seq must be a row number");
               }
               std::vector<ActivityRow> rows = owner.activity().RowsAfter(seq - 1);
               if (rows.empty() || rows.front().seq != seq) {
                 return ApiReply::Error(404, "the row is no longer in the list");
               }
               return ApiReply::Text(CopyText(rows.front()));
             });
  router.Post("/api/logs/clear", "Clear All: deletes every row of the list.",
              [&owner](const ApiRequest&) {
                owner.ClearLogRows();
                return ApiReply::Json({{"cleared", true}});
              });
  RegisterThroughputChart(router, owner);
}

}  // namespace tw
