// Opens arbitrary bytes as one of the five account tables of a data directory and reads it the
// way logins and the start-up loaders do: every record in both key orders, a look-up by id and
// by name, and for schedules and web filters the lists the proxies keep, tested against a
// moment and a URL. The first byte picks the table. A table may have been written by another
// program with other field widths, so each record's texts must stay within their bounds and
// every loaded list within its size.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "config/account_tables.h"
#include "engine/http/http_messages.h"
#include "engine/policy/schedule_list.h"
#include "engine/policy/web_filter_list.h"
#include "tests/support/scratch_dir.h"

namespace {

template <typename R>
void ReadTable(const std::string& dir) {
  tw::AccountTable<R> table(dir);
  std::vector<R> records;
  for (int key : {0, 1}) table.List(&records, nullptr, key, 2000);
  R one;
  table.FindById(1, &one);
  table.FindByName("fuzz", &one);
}

void LoadSchedules(const std::string& dir) {
  tw::ScheduleList list;
  list.Load(dir);
  if (list.size() > tw::kMaxSchedules) abort();
  tw::LocalTime now;
  now.hour = 12;
  for (int32_t id = 0; id < 4; ++id) {
    if (const tw::ScheduleRecord* s = list.Find(id)) tw::ScheduleAllows(*s, now);
  }
}

void LoadFilters(const std::string& dir) {
  tw::WebFilterList list;
  list.Load(dir);
  if (list.size() > tw::kMaxWebFilters) abort();
  for (int32_t id = 0; id < 4; ++id) {
    if (const tw::WebFilter* f = list.Find(id)) tw::WebFilterBlocks(*f, "example.com/a");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = tw::test::ScratchDirRemovedAtExit("tw-tables-fuzz");
  if (size == 0) return 0;
  static constexpr const char* kFiles[] = {tw::kUserTableFile, tw::kGroupTableFile,
                                           tw::kServerTableFile, tw::kFilterTableFile,
                                           tw::kScheduleTableFile};
  int which = data[0] % 5;
  std::string path = dir + "/" + kFiles[which];
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  switch (which) {
    case 0: ReadTable<tw::UserRecord>(dir); break;
    case 1: ReadTable<tw::GroupRecord>(dir); break;
    case 2: ReadTable<tw::ServerRecord>(dir); break;
    case 3: ReadTable<tw::FilterRecord>(dir); LoadFilters(dir); break;
    case 4: ReadTable<tw::ScheduleRecord>(dir); LoadSchedules(dir); break;
  }
  unlink(path.c_str());
  return 0;
}
