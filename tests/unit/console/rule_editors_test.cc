// The Web Filter and Schedule editors: their pure rules, and their routes over real tables
// (the owner runs on the test's thread, so every action runs at once).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "config/account_tables.h"
#include "config/installation.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/filter_file_chooser.h"
#include "console/page_registry.h"
#include "console/rule_set_editing.h"
#include "console/schedule_editor.h"
#include "console/web_filter_editor.h"
#include "tests/unit/console/console_routes_fixture.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::TestDir;
using testing::WriteFile;

TEST(ScheduleTimeTest, TimeDialogRangesMergeIntoTheDayText) {
  struct Case {
    const char* day;
    const char* start;
    const char* end;
    const char* merged;
  } cases[] = {
      {"", "17:00", "08:00", "08:00-17:00"},  // earlier first
      {"", "09:00", "09:00", "09:00-09:00"},
      {"", "00:00", "24:00", "00:00-24:00"},
      {"08:00-12:00", "08:00", "12:00", "08:00-12:00"},  // already there: one copy
      {"08:00-12:00", "13:00", "17:00", "08:00-12:00+13:00-17:00"},
      {"08:00-12:00+13:00-17:00", "12:00", "08:00", "08:00-12:00+13:00-17:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MergeTimeRange(c.day, TimeRangeOf(c.start, c.end)), c.merged)
        << c.day << " + " << c.start << ".." << c.end;
  }
  std::vector<std::string> times = TimeChoices();
  ASSERT_EQ(times.size(), 25u);
  EXPECT_EQ(times.front(), "00:00");
  EXPECT_EQ(times[9], "09:00");
  EXPECT_EQ(times.back(), "24:00");
}

TEST(ScheduleTimeTest, OnlyTextsTheLoginsCompareAsMeantAreDayTexts) {
  for (const char* good : {"", "08:00-17:00", "00:00-24:00", "08:00-12:00+13:30-17:59"}) {
    EXPECT_TRUE(IsDayText(good)) << good;
  }
  for (const char* bad :
       {"8:00-17:00", "08:00", "08:00-17:00+", "+08:00-17:00", "25:00-26:00", "08:60-09:00",
        "08:00-17:00 ", "08.00-17.00", "08:00-12:00++13:00-14:00"}) {
    EXPECT_FALSE(IsDayText(bad)) << bad;
  }
  std::string longest;
  while (longest.size() + 12 <= 128)
    longest += (longest.empty() ? "" : "+") + std::string("08:00-09:00");
  EXPECT_TRUE(IsDayText(longest));
  EXPECT_FALSE(IsDayText(longest + "+08:00-09:00")) << "longer than the field";
}

TEST(WebFilterTypeTest, ChoicesMapToTheStoredType) {
  EXPECT_EQ(FilterTypeFor(true), 2) << "Forbidden sites";
  EXPECT_EQ(FilterTypeFor(false), 1) << "Permitted sites";
  EXPECT_FALSE(ForbiddenFromType(1));
  EXPECT_TRUE(ForbiddenFromType(2));
  EXPECT_TRUE(ForbiddenFromType(0)) << "an unknown type shows the default choice";
}

TEST(RuleSetNameTest, NamesAreNeitherEmptyNorShared) {
  std::vector<RuleSetName> names = {{1, "Office"}, {4, "Night"}};
  struct Case {
    std::int32_t id;
    const char* name;
    const char* refusal;  // nullptr: saved
  } cases[] = {
      {0, "Office", kNameExists}, {0, "office", nullptr}, {0, "Lab", nullptr},
      {4, "Office", kNameExists},  // a rename onto another entry's name
      {4, "Night", nullptr},      {4, "Late", nullptr},   {0, "", kNameMissing},
  };
  for (const Case& c : cases) {
    PageResult r = CheckRuleSetName(names, c.id, c.name);
    EXPECT_EQ(r.ok, c.refusal == nullptr) << c.id << " " << c.name;
    if (c.refusal != nullptr) {
      EXPECT_EQ(r.message, c.refusal);
      EXPECT_FALSE(r.error) << "the message box has no caption";
    }
  }
  EXPECT_EQ(OverLimitNote("web filters", 100, 100), "");
  EXPECT_EQ(OverLimitNote("web filters", 101, 100),
            "101 web filters exist; the proxies use only the first 100 of this list.");
}

TEST(FilterFileChooserTest, OnlyRegularFilesInsideTheRootsAreTaken) {
  TestDir data, elsewhere;
  WriteFile(data.File("sites.txt"), "*.example;");
  WriteFile(elsewhere.File("secret.txt"), "x");
  WriteFile(data.File("big.txt"), std::string(2049, 'x'));
  std::filesystem::create_directory(data.File("sub"));
  ASSERT_EQ(symlink(elsewhere.File("secret.txt").c_str(), data.File("link.txt").c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.path().c_str(), data.File("away").c_str()), 0);
  std::vector<std::string> roots = {std::filesystem::canonical(data.path()).string()};
  const std::string canonical_sites = roots[0] + "/sites.txt";

  struct Case {
    std::string path;
    bool taken;
  } cases[] = {
      {data.File("sites.txt"), true},
      {data.File("sub/../sites.txt"), true},
      {data.File("sub/../../") + std::filesystem::path(elsewhere.path()).filename().string() +
           "/secret.txt",
       false},
      {elsewhere.File("secret.txt"), false},
      {data.File("link.txt"), false},  // a link leading out
      {data.File("away/secret.txt"), false},
      {"sites.txt", false},  // relative
      {data.File("missing.txt"), false},
      {data.File("sub"), false},
      {data.File("big.txt"), false},  // over the size the proxies read
      {"", false},
      {data.File("sites.txt\n"), false},
  };
  for (const Case& c : cases) {
    std::string canonical, error;
    EXPECT_EQ(CheckFilterFilePath(c.path, roots, 255, 2048, &canonical, &error), c.taken)
        << c.path << ": " << error;
    if (c.taken) {
      EXPECT_EQ(canonical, canonical_sites);
    }
    if (!c.taken) {
      EXPECT_FALSE(error.empty()) << c.path;
    }
  }

  FolderListing listing;
  std::string error;
  ASSERT_TRUE(ListFilterFileFolder("", roots, true, &listing, &error));
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_EQ(listing.entries[0].path, roots[0]);
  ASSERT_TRUE(ListFilterFileFolder(data.path(), roots, true, &listing, &error)) << error;
  std::vector<std::string> names;
  for (const FolderEntry& e : listing.entries) names.push_back(e.name + (e.folder ? "/" : ""));
  EXPECT_EQ(names, (std::vector<std::string>{"away/", "sub/", "big.txt", "link.txt", "sites.txt"}));
  EXPECT_EQ(listing.parent, "") << "the root leads back to the list of roots";
  ASSERT_TRUE(ListFilterFileFolder(data.File("sub"), roots, false, &listing, &error));
  EXPECT_EQ(listing.parent, roots[0]);
  for (const std::string& outside : {data.File(".."), data.File("away"), std::string("/")}) {
    EXPECT_FALSE(ListFilterFileFolder(outside, roots, false, &listing, &error)) << outside;
  }
}

// The editors' routes over real tables.
class RuleEditorRoutesTest : public testing::ConsoleRoutesTest {
 protected:
  nlohmann::json Post(const std::string& path, nlohmann::json body) {
    ApiReply reply = router_.Dispatch({"POST", path, std::move(body), {}});
    EXPECT_EQ(reply.status, 200) << path << ": " << reply.body.dump();
    return reply.body;
  }
  nlohmann::json Get(const std::string& path, std::map<std::string, std::string> query = {}) {
    ApiReply reply = router_.Dispatch({"GET", path, nullptr, std::move(query)});
    EXPECT_EQ(reply.status, 200) << path << ": " << reply.body.dump();
    return reply.body;
  }
  static std::vector<std::string> Names(const nlohmann::json& list) {
    std::vector<std::string> out;
    for (const auto& e : list["entries"]) out.push_back(e["name"]);
    return out;
  }
};

TEST_F(RuleEditorRoutesTest, WebFilterSavedThroughTheEditorReadsBackFieldByField) {
  WriteFile(dir_.File("sites.txt"), "*.example");
  nlohmann::json values = {{"name", "Office"},
                           {"forbidden", false},
                           {"useFile", true},
                           {"webaddresses", "a.example;b.example"},
                           {"filepath", dir_.File("sites.txt")}};
  nlohmann::json saved = Post("/api/web-filters/save", {{"id", 0}, {"values", values}});
  ASSERT_TRUE(saved["result"]["ok"]) << saved.dump();
  std::int32_t id = saved["id"];
  FilterRecord r;
  ASSERT_TRUE(FilterTable(dir_.path()).FindById(id, &r));
  EXPECT_EQ(r.name, "Office");
  EXPECT_EQ(r.type, 1);
  EXPECT_EQ(r.usefile, 1);
  EXPECT_EQ(r.webaddresses, "a.example;b.example");
  EXPECT_EQ(r.filepath, std::filesystem::canonical(dir_.File("sites.txt")).string());
  EXPECT_EQ(Get("/api/web-filters/record", {{"id", std::to_string(id)}})["values"]["forbidden"],
            false);

  // A new filter under the same name adds nothing.
  values["useFile"] = false;
  values["filepath"] = "../../etc/passwd";  // not used while the file is off
  nlohmann::json again = Post("/api/web-filters/save", {{"id", 0}, {"values", values}});
  EXPECT_FALSE(again["result"]["ok"]);
  EXPECT_EQ(again["result"]["message"], kNameExists);
  EXPECT_EQ(Names(again), std::vector<std::string>{"Office"});

  // With the file in use, a path outside the data and home directories is refused.
  values["name"] = "Other";
  values["useFile"] = true;
  values["filepath"] = dir_.File("../../../../../../../etc/hostname");
  nlohmann::json outside = Post("/api/web-filters/save", {{"id", 0}, {"values", values}});
  EXPECT_FALSE(outside["result"]["ok"]);
  EXPECT_EQ(Names(outside), std::vector<std::string>{"Office"});

  values["useFile"] = false;
  values["forbidden"] = true;
  nlohmann::json other = Post("/api/web-filters/save", {{"id", 0}, {"values", values}});
  ASSERT_TRUE(other["result"]["ok"]);
  ASSERT_TRUE(FilterTable(dir_.path()).FindById(other["id"], &r));
  EXPECT_EQ(r.type, 2);
  EXPECT_EQ(Names(other), (std::vector<std::string>{"Office", "Other"}));
}

TEST_F(RuleEditorRoutesTest, ScheduleSavedThroughTheEditorReadsBackAndKeepsItsType) {
  nlohmann::json values = {
      {"name", "Day shift"},
      {"days", {"", "08:00-17:00", "08:00-12:00+13:00-17:00", "", "", "", "00:00-24:00"}},
      {"proxies", {true, false, true, false, true}}};
  nlohmann::json saved = Post("/api/schedules/save", {{"id", 0}, {"values", values}});
  ASSERT_TRUE(saved["result"]["ok"]) << saved.dump();
  std::int32_t id = saved["id"];
  ScheduleRecord r;
  ASSERT_TRUE(ScheduleTable(dir_.path()).FindById(id, &r));
  EXPECT_EQ(r.name, "Day shift");
  EXPECT_EQ(r.sunday, "");
  EXPECT_EQ(r.monday, "08:00-17:00");
  EXPECT_EQ(r.tuesday, "08:00-12:00+13:00-17:00");
  EXPECT_EQ(r.saturday, "00:00-24:00");
  EXPECT_EQ(std::vector<int>({r.server1, r.server2, r.server3, r.server4, r.server5}),
            std::vector<int>({1, 0, 1, 0, 1}));

  r.type = 7;  // set elsewhere; the editor leaves it alone
  std::string error;
  ASSERT_TRUE(ScheduleTable(dir_.path()).Update(r, &error)) << error;
  values["name"] = "Late shift";
  values["proxies"] = {false, true, false, true, false};
  ASSERT_TRUE(Post("/api/schedules/save", {{"id", id}, {"values", values}})["result"]["ok"]);
  ASSERT_TRUE(ScheduleTable(dir_.path()).FindById(id, &r));
  EXPECT_EQ(r.name, "Late shift");
  EXPECT_EQ(r.type, 7);
  EXPECT_EQ(std::vector<int>({r.server1, r.server2, r.server3, r.server4, r.server5}),
            std::vector<int>({0, 1, 0, 1, 0}));

  values["days"][1] = "8:00-17:00";
  nlohmann::json bad = Post("/api/schedules/save", {{"id", id}, {"values", values}});
  EXPECT_FALSE(bad["result"]["ok"]);
  EXPECT_NE(bad["result"]["message"].get<std::string>().find("Monday"), std::string::npos);

  EXPECT_EQ(Post("/api/schedules/add-range",
                 {{"day", "08:00-12:00"}, {"start", "17:00"}, {"end", "13:00"}})["day"],
            "08:00-12:00+13:00-17:00");
  EXPECT_EQ(router_
                .Dispatch({"POST",
                           "/api/schedules/add-range",
                           {{"day", ""}, {"start", "08:30"}, {"end", "09:00"}},
                           {}})
                .status,
            400)
      << "only the Time dialog's whole hours";
}

TEST_F(RuleEditorRoutesTest, RenameOntoAnotherNameAndDeletingTheLastEntry) {
  auto save = [&](std::int32_t id, const std::string& name) {
    nlohmann::json values = {{"name", name},
                             {"days", std::vector<std::string>(7)},
                             {"proxies", {true, true, true, true, true}}};
    return Post("/api/schedules/save", {{"id", id}, {"values", values}});
  };
  std::int32_t first = save(0, "A")["id"];
  std::int32_t second = save(0, "B")["id"];
  nlohmann::json renamed = save(second, "A");
  EXPECT_FALSE(renamed["result"]["ok"]);
  EXPECT_EQ(renamed["result"]["message"], kNameExists);
  EXPECT_EQ(Names(renamed), (std::vector<std::string>{"A", "B"})) << "nothing was written";
  EXPECT_EQ(Names(save(second, "C")), (std::vector<std::string>{"A", "C"}));

  // A schedule that a user and a group name is deleted only once confirmed.
  UserRecord u;
  u.userid = "ann";
  u.rules.scheduleid = first;
  GroupRecord g;
  g.name = "staff";
  g.rules.schedule = 1;
  g.rules.scheduleid = first;
  std::string error;
  ASSERT_TRUE(UserTable(dir_.path()).Add(&u, &error)) << error;
  ASSERT_TRUE(GroupTable(dir_.path()).Add(&g, &error)) << error;
  nlohmann::json asked = Post("/api/schedules/delete", {{"id", first}});
  EXPECT_FALSE(asked["result"]["ok"]);
  EXPECT_EQ(asked["question"],
            "The schedule \"A\" is used by 1 user account and 1 group. They will then have no "
            "schedule.\nDo you want to delete it?");
  EXPECT_EQ(Names(asked), (std::vector<std::string>{"A", "C"}));
  EXPECT_TRUE(Post("/api/schedules/delete", {{"id", first}, {"confirmed", true}})["result"]["ok"]);
  nlohmann::json last = Post("/api/schedules/delete", {{"id", second}});
  EXPECT_TRUE(last["result"]["ok"]);
  EXPECT_TRUE(last["entries"].empty());
  EXPECT_EQ(
      router_.Dispatch({"GET", "/api/schedules/record", nullptr, {{"id", std::to_string(second)}}})
          .status,
      404);
}

}  // namespace
}  // namespace tw
