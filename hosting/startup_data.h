#pragma once
// What the listeners read that is loaded from the data directory when a program starts: the
// weekly schedules, the web filters and the HTTP proxy's three refusal pages. Both programs
// load it once through the server manager, which lends it to every listener it starts; it
// must outlive them. Owner thread only.
#include <cstddef>
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
  // Reads the schedule and web-filter tables and the refusal pages; what cannot be read is
  // left empty (no schedule restricts, no filter refuses, a refusal closes without a page).
  void Load(const std::string& dataDir);

  // Lends the loaded data to a listener's settings: the schedules to every proxy, the web
  // filters and pages to the HTTP proxy.
  void ApplyTo(int32_t protocolId, ListenerSettings* settings) const;

 private:
  ScheduleList schedules_;
  WebFilterList filters_;
  HttpListenerSettings pages_;
};

}  // namespace tw
