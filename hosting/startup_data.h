#pragma once
// What the listeners read that is loaded from the data directory when a program starts: the
// weekly schedules, the web filters and the HTTP proxy's three refusal pages. The server
// manager loads it when it is made and again before every start, so edits of the tables
// reach the proxies started next. The lists are shared with the listeners: a listener still
// running keeps the lists it started with, whatever a later Load does. Owner thread only.
#include <cstddef>
#include <memory>
#include <string>

#include "engine/core/listener_settings.h"
#include "engine/policy/schedule_list.h"
#include "engine/policy/web_filter_list.h"

namespace tw {

// Longest refusal page read from the data directory; a longer file is cut.
constexpr std::size_t kMaxPageBytes = 1024 * 1024;

// Reads the refusal pages ("ipblock.html", "webfilter.html", "schedule.html") of dataDir into
// http; a missing file leaves its page empty.
void LoadRefusalPages(const std::string& dataDir, HttpListenerSettings* http);

class StartupData {
 public:
  // Reads the schedule and web-filter tables and the refusal pages into new lists (the old
  // ones stay with the listeners that hold them); what cannot be read is left empty (no
  // schedule restricts, no filter refuses, a refusal closes without a page).
  void Load(const std::string& dataDir);

  // Shares the loaded data with a listener's settings: the schedules with every proxy, the
  // web filters and pages with the HTTP proxy.
  void ApplyTo(int32_t protocolId, ListenerSettings* settings) const;

 private:
  std::shared_ptr<const ScheduleList> schedules_ = std::make_shared<const ScheduleList>();
  std::shared_ptr<const WebFilterList> filters_ = std::make_shared<const WebFilterList>();
  HttpListenerSettings pages_;
};

}  // namespace tw
