#include "console/throughput_chart.h"

#include <nlohmann/json.hpp>

#include "config/protocols.h"
#include "console/api_router.h"
#include "console/console_owner.h"

namespace tw {

nlohmann::json ThroughputJson(const std::vector<ThroughputSeries>& series) {
  nlohmann::json proxies = nlohmann::json::array();
  for (const ThroughputSeries& s : series) {
    nlohmann::json up = nlohmann::json::array();
    nlohmann::json down = nlohmann::json::array();
    for (const ThroughputSample& sample : s.samples) {
      up.push_back(sample.up);
      down.push_back(sample.down);
    }
    proxies.push_back({{"proxy", s.proxy},
                       {"name", NamesOf(s.proxy).upper},
                       {"live", s.live},
                       {"up", std::move(up)},
                       {"down", std::move(down)}});
  }
  return {{"seconds", kThroughputSeconds}, {"proxies", std::move(proxies)}};
}

void RegisterThroughputChart(ApiRouter& router, ConsoleOwner& owner) {
  router.Get("/api/throughput",
             "Throughput: each proxy's bytes per second up and down, one sample a second for "
             "the last five minutes (oldest first).",
             [&owner](const ApiRequest&) {
               return ApiReply::Json(ThroughputJson(owner.throughput().Series()));
             });
}

}  // namespace tw
