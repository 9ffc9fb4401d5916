#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/account_tables.h"
#include "config/installation.h"
#include "config/settings.h"
#include "console/group_page.h"
#include "console/user_account_file.h"
#include "console/user_account_page.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

class AccountPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(dir_.path(), &error)) << error;
  }
  UserRecord User(const std::string& userid) const {
    UserRecord u;
    EXPECT_TRUE(UserTable(dir_.path()).FindByName(userid, &u)) << userid;
    return u;
  }
  std::vector<std::string> UserIds() const {
    std::vector<std::string> ids;
    for (const UserRow& row : ListUserRows(dir_.path())) ids.push_back(row.userid);
    return ids;
  }
  // A dialog value set with every field of the record different from its default.
  static UserRecord FullUser(const std::string& userid, std::int32_t group) {
    UserRecord v;
    v.userid = userid;
    v.passwd = "pa,ss";
    v.email = "a@b.example";
    v.name = "Full Name";
    v.notes = "first\r\nsecond, third";
    v.group = group;
    v.enable = 0;
    v.rules = {1, 100, 1, 200, 1, "10.0.0.*", 1, 7, 1, 9};
    return v;
  }

  testing::TestDir dir_;
};

TEST_F(AccountPagesTest, DialogSaveWritesEveryFieldAndAnEditKeepsTheProxySwitches) {
  UserRow row;
  PageResult r = SaveUserDialog(dir_.path(), FullUser("alice", 1), &row);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(row.userid, "alice");
  EXPECT_EQ(row.group, "[Guest]");
  EXPECT_FALSE(row.enabled);

  UserRecord u = User("alice");
  const AccountRules& l = u.rules;
  EXPECT_EQ(u.passwd, "pa,ss");
  EXPECT_EQ(u.email, "a@b.example");
  EXPECT_EQ(u.name, "Full Name");
  EXPECT_EQ(u.notes, "first\r\nsecond, third");
  EXPECT_EQ(u.group, 1);
  EXPECT_EQ(u.enable, 0);
  EXPECT_EQ(
      std::vector<std::int32_t>({l.download_limit, l.download_speed, l.upload_limit, l.upload_speed,
                                 l.ip, l.filter, l.filterid, l.schedule, l.scheduleid}),
      std::vector<std::int32_t>({1, 100, 1, 200, 1, 1, 7, 1, 9}));
  EXPECT_EQ(l.iprange, "10.0.0.*");

  // The server dialog's switch survives an edit in the account dialog, which renames.
  u.rules.server5 = 1;
  std::string error;
  ASSERT_TRUE(UserTable(dir_.path()).Update(u, &error)) << error;
  UserDialog dialog;
  ASSERT_TRUE(OpenUserDialog(dir_.path(), "alice", &dialog).ok);
  dialog.values.userid = "alice2";
  dialog.values.rules.download_limit = 0;
  ASSERT_TRUE(SaveUserDialog(dir_.path(), dialog.values, &row).ok);
  UserRecord renamed = User("alice2");
  EXPECT_EQ(renamed.id, u.id);
  EXPECT_EQ(renamed.rules.server5, 1);
  EXPECT_EQ(renamed.rules.download_limit, 0);
  EXPECT_EQ(UserIds(), std::vector<std::string>({"alice2"}));
}

TEST_F(AccountPagesTest, DialogRefusalsWriteNothing) {
  UserRow row;
  ASSERT_TRUE(SaveUserDialog(dir_.path(), FullUser("bob", 0), &row).ok);
  UserRecord before = User("bob");

  UserRecord taken = FullUser("bob", 0);  // a new account under a name in use
  UserRecord too_long = FullUser("carol", 0);
  too_long.email = std::string(65, 'e');
  UserRecord control = FullUser("dave\t", 0);
  UserRecord speed = FullUser("erin", 0);
  speed.rules.upload_speed = -1;
  struct Case {
    UserRecord values;
    const char* message;
  } cases[] = {
      {taken, "The user name \"bob\" already exists."},
      {too_long, "The e-mail address is longer than 64 characters."},
      {control, "The UserID holds a control character."},
      {speed, "The upload speed limit must be from 0 to 2097151 KB/s."},
  };
  for (const Case& c : cases) {
    PageResult r = SaveUserDialog(dir_.path(), c.values, &row);
    EXPECT_FALSE(r.ok) << c.message;
    EXPECT_EQ(r.message, c.message);
    EXPECT_TRUE(row.userid.empty());
  }
  // An empty UserID closes the dialog without saving.
  PageResult r = SaveUserDialog(dir_.path(), FullUser("", 0), &row);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(row.userid.empty());
  EXPECT_EQ(UserIds(), std::vector<std::string>({"bob"}));
  EXPECT_EQ(User("bob").passwd, before.passwd);
}

TEST_F(AccountPagesTest, NewDialogStartsFromTheSpeedPresetsAndAGoneGroupShowsEmpty) {
  Settings settings = Settings::InDataDir(dir_.path());
  std::string error;
  ASSERT_TRUE(settings.SetText({"Speed", "download_limit", ""}, "1", &error));
  ASSERT_TRUE(settings.SetText({"Speed", "download_speed", ""}, "64", &error));
  ASSERT_TRUE(settings.SetText({"Server", "password_mode", ""}, "0", &error));
  UserDialog dialog;
  ASSERT_TRUE(OpenUserDialog(dir_.path(), "", &dialog).ok);
  EXPECT_EQ(dialog.values.rules.download_limit, 1);
  EXPECT_EQ(dialog.values.rules.download_speed, 64);
  EXPECT_EQ(dialog.values.enable, 1);
  EXPECT_FALSE(dialog.password_masked);
  ASSERT_EQ(dialog.groups.size(), 1u);
  EXPECT_FALSE(OpenUserDialog(dir_.path(), "nobody", &dialog).ok);

  GroupRow group;
  GroupRecord staff;
  staff.name = "staff";
  ASSERT_TRUE(SaveGroupDialog(dir_.path(), staff, &group).ok);
  UserRow row;
  ASSERT_TRUE(SaveUserDialog(dir_.path(), FullUser("frank", group.id), &row).ok);
  EXPECT_EQ(row.group, "staff");
  ASSERT_TRUE(DeleteGroup(dir_.path(), group.id).ok);
  EXPECT_EQ(User("frank").group, group.id) << "users keep the id of a deleted group";
  ASSERT_EQ(ListUserRows(dir_.path()).size(), 1u);
  EXPECT_EQ(ListUserRows(dir_.path())[0].group, "");
}

TEST_F(AccountPagesTest, GroupsAppendInIdOrderAndTheGuestGroupIsNeverDeleted) {
  GroupRow a, b, row;
  GroupRecord v;
  v.name = "zeta";
  ASSERT_TRUE(SaveGroupDialog(dir_.path(), v, &a).ok);
  v.name = "alpha";
  ASSERT_TRUE(SaveGroupDialog(dir_.path(), v, &b).ok);
  EXPECT_GT(b.id, a.id);
  std::vector<GroupRow> rows = ListGroupRows(dir_.path());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].name, "[Guest]");
  EXPECT_EQ(rows.back().id, b.id) << "a new group comes last, in id order";

  v.name = "zeta";
  PageResult r = SaveGroupDialog(dir_.path(), v, &row);
  EXPECT_EQ(r.message, "The group name \"zeta\" already exists.");
  v.name = "";
  EXPECT_TRUE(SaveGroupDialog(dir_.path(), v, &row).ok);
  EXPECT_EQ(row.id, 0);

  r = DeleteGroup(dir_.path(), rows[0].id);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, kGuestGroupRefusal);
  EXPECT_TRUE(DeleteGroup(dir_.path(), a.id).ok);
  EXPECT_FALSE(DeleteGroup(dir_.path(), a.id).ok) << "a failed delete is reported";
  EXPECT_EQ(ListGroupRows(dir_.path()).size(), 2u);
}

TEST(UserAccountFileTest, ExportLineQuotesCommasAndBlanksTheNotesLineBreaks) {
  UserRecord u;
  u.userid = "ann";
  u.passwd = "p,w";
  u.email = "ann@x";
  u.name = "Ann \"A\"";
  u.group = 3;
  u.notes = "one,\r\ntwo";
  u.rules.download_limit = 1;
  u.rules.download_speed = 10;
  u.rules.upload_speed = 20;
  EXPECT_EQ(UserExportLine(u), "ann,\"p,w\",ann@x,Ann \"A\",3,1,\"one,  two\",1,10,0,20,\n");
  u.notes = "a\nb";
  EXPECT_EQ(UserExportLine(u, "adm"), "ann,\"p,w\",ann@x,Ann \"A\",3,1,a b,1,10,0,20,adm\n");
}

TEST(UserAccountFileTest, ImportLinesSplitAtCommasOutsideQuotes) {
  struct Case {
    const char* line;
    std::vector<std::string> values;
  } cases[] = {
      {"no comma here", {}},
      {"a,b", {"a,b"}},  // one comma: the one value is the whole line
      {"a,b,c", {"a", "b,c"}},
      {"u ,p\t,x\r", {"u", "p\t,x"}},
      {"\"a,b\",p,x", {"a,b", "p,x"}},
      {"a\"b,c,d", {}},  // an odd quote hides every comma after it
      {"\",\",x,y", {",", "x,y"}},
      {"u,p,e,n,3,1,notes,1,100,1,200",
       {"u", "p", "e", "n", "3", "1", "notes", "1", "100", "1,200"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitImportLine(c.line), c.values) << c.line;

  // Ten commas: the tenth value is "1,200", so upload_limit takes 1 and upload_speed stays 0.
  UserRecord u = UserFromImportValues(SplitImportLine("u,p,e,n,3,1,notes,1,100,1,200"));
  EXPECT_EQ(u.rules.upload_limit, 1);
  EXPECT_EQ(u.rules.upload_speed, 0);
  EXPECT_EQ(u.rules.download_speed, 100);
  EXPECT_EQ(u.group, 3);
  EXPECT_EQ(u.enable, 1);
  EXPECT_EQ(UserFromImportValues(SplitImportLine("v,w,x")).enable, 0);
}

TEST_F(AccountPagesTest, ExportThenImportIntoAFreshDirectoryGivesTheSameAccounts) {
  UserRow row;
  ASSERT_TRUE(SaveUserDialog(dir_.path(), FullUser("alice", 1), &row).ok);
  UserRecord bob = FullUser("bob", 0);
  bob.enable = 1;
  bob.notes = "plain";
  ASSERT_TRUE(SaveUserDialog(dir_.path(), bob, &row).ok);
  std::string text, error;
  ASSERT_TRUE(ExportUsers(dir_.path(), &text, &error)) << error;
  EXPECT_EQ(text.substr(0, text.find('\n') + 1), kUserExportHeader);

  testing::TestDir fresh;
  ASSERT_TRUE(InstallMissingDataFiles(fresh.path(), &error)) << error;
  ImportReport report = ImportUsers(fresh.path(), text);
  EXPECT_EQ(report.Text(), "2 accounts imported, 0 skipped.");
  for (const char* name : {"alice", "bob"}) {
    UserRecord in, out;
    ASSERT_TRUE(UserTable(dir_.path()).FindByName(name, &in));
    ASSERT_TRUE(UserTable(fresh.path()).FindByName(name, &out)) << name;
    EXPECT_EQ(out.passwd, in.passwd);
    EXPECT_EQ(out.email, in.email);
    EXPECT_EQ(out.name, in.name);
    EXPECT_EQ(out.group, in.group);
    EXPECT_EQ(out.enable, in.enable);
    EXPECT_EQ(out.rules.download_limit, in.rules.download_limit);
    EXPECT_EQ(out.rules.download_speed, in.rules.download_speed);
    EXPECT_EQ(out.rules.upload_limit, in.rules.upload_limit);
    EXPECT_EQ(out.rules.upload_speed, in.rules.upload_speed);
  }
  // The notes travel with their line breaks as blanks.
  EXPECT_EQ(User("alice").notes, "first\r\nsecond, third");
  UserRecord alice;
  ASSERT_TRUE(UserTable(fresh.path()).FindByName("alice", &alice));
  EXPECT_EQ(alice.notes, "first  second, third");
}

TEST_F(AccountPagesTest, MalformedImportsTakeWhatTheyCanAndReportTheRest) {
  UserRow row;
  ASSERT_TRUE(SaveUserDialog(dir_.path(), FullUser("keep", 0), &row).ok);
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) % 256);

  struct Case {
    std::string text;
    std::vector<std::string> added;
    const char* summary;
  } cases[] = {
      // No header: the first line is an account; the stray quote spoils only its own line.
      {"first,pw,x\nbad\"quote,pw,x\nsecond,pw,x\n",
       {"first", "second"},
       "2 accounts imported, 1 skipped.\nLine 2: The line holds no comma."},
      {std::string(kUserExportHeader) + "keep,pw,x\n\n,pw,x\n",
       {},
       "0 accounts imported, 2 skipped.\nLine 2: The user name \"keep\" already exists.\n"
       "Line 4: The user name is empty."},
      {std::string(10 * 1024 * 1024, 'a') + ",b,c\nafter,pw,x",
       {"after"},
       "1 account imported, 1 skipped.\nLine 1: The line is longer than 65536 characters."},
      {junk + "\nlast,pw,x\n", {"last"}, nullptr},
      {std::string(kMaxImportBytes + 1, 'x'), {}, nullptr},
  };
  std::vector<std::string> expected = {"keep"};
  for (const Case& c : cases) {
    ImportReport report = ImportUsers(dir_.path(), c.text);
    if (c.summary != nullptr) {
      EXPECT_EQ(report.Text(), c.summary);
    }
    EXPECT_EQ(report.imported, c.added.size());
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(UserIds(), expected) << report.Text();
  }
  EXPECT_EQ(User("keep").passwd, "pa,ss") << "an import never changes an existing account";
}

}  // namespace
}  // namespace tw
