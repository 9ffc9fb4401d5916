// The key trees: splits and the new root, raising the largest key, duplicate chains in
// insertion order, removal by marking, and text comparison.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "table_test_util.h"

using namespace tabletest;

namespace {

// A table with one Int key (duplicates allowed) and a text: "k" Int, "s" String(16).
bool MakeIntTable(SdbTable& t, const std::string& path, int mode = SdbTable::KeyDuplicates) {
  return t.CreateField("k", SdbTable::Int) && t.CreateField("s", SdbTable::String, 16) &&
         t.CreateKey("k", mode, 0) && t.Create(path, "");
}

bool AddInt(SdbTable& t, int32_t k, const std::string& s = "") {
  return t.SetField(0, &k) && t.SetFieldText(s, 1) && t.Append();
}

TEST(SdbTree, TwoHundredOneIncreasingKeysMakeTwoLeavesAndARoot) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeIntTable(t, dir.File("t.sdb")));
  for (int32_t k = 1; k <= 201; ++k) ASSERT_TRUE(AddInt(t, k)) << k;
  t.Close();
  const auto f = ReadBytes(dir.File("t.sdb"));
  const NodeView root{&f, static_cast<size_t>(I32(f, kKeyRoots))};
  ASSERT_EQ(root.count(), 2);
  EXPECT_EQ(root.parent(), -1);
  EXPECT_EQ(root.IntKey(0), 100);
  EXPECT_EQ(root.IntKey(1), 201);
  EXPECT_EQ(root.pos + 2432, f.size()) << "the new root is appended last";
  const NodeView left{&f, static_cast<size_t>(root.child(0))};
  const NodeView right{&f, static_cast<size_t>(root.child(1))};
  EXPECT_EQ(right.pos, root.pos - 2432) << "the new node is appended right before the root";
  EXPECT_EQ(I32(f, kKeyFirstLeaves), static_cast<int32_t>(left.pos));
  EXPECT_EQ(I32(f, kKeyLastLeaves), static_cast<int32_t>(right.pos));
  ASSERT_EQ(left.count(), 100);
  ASSERT_EQ(right.count(), 101);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(left.IntKey(i), i + 1);
  for (int i = 0; i < 101; ++i) EXPECT_EQ(right.IntKey(i), i + 101);
  EXPECT_EQ(left.child(0), -1);
  EXPECT_EQ(left.parent(), static_cast<int32_t>(root.pos));
  EXPECT_EQ(right.parent(), static_cast<int32_t>(root.pos));
  EXPECT_EQ(left.next(), static_cast<int32_t>(right.pos));
  EXPECT_EQ(right.prev(), static_cast<int32_t>(left.pos));
  EXPECT_EQ(left.prev(), -1);
  EXPECT_EQ(right.next(), -1);

  // A larger value raises the root's last key.
  ASSERT_TRUE(t.Open(dir.File("t.sdb")));
  ASSERT_TRUE(AddInt(t, 500));
  t.Close();
  const auto g = ReadBytes(dir.File("t.sdb"));
  EXPECT_EQ(I32(g, root.pos + 1628 + 4), 500);
}

TEST(SdbTree, ManyKeysInRandomOrderWalkSortedThroughThreeLevels) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeIntTable(t, dir.File("t.sdb"), SdbTable::KeyUnique));
  std::vector<int32_t> keys;
  for (int32_t i = 0; i < 45000; ++i) keys.push_back((i * 7919) % 45000);  // a permutation
  for (int32_t k : keys) ASSERT_TRUE(AddInt(t, k)) << k;
  int32_t expect = 0;
  for (bool ok = t.First(0); ok; ok = t.Next(0)) {
    int32_t k = -1;
    ASSERT_TRUE(t.GetField(0, &k));
    ASSERT_EQ(k, expect++);
  }
  EXPECT_EQ(expect, 45000);
  for (int32_t k : {0, 1, 22222, 44999}) {
    ASSERT_TRUE(t.Seek(0, &k, sizeof k)) << k;
  }
  int32_t missing = 45000;
  EXPECT_FALSE(t.Seek(0, &missing, sizeof missing));
}

TEST(SdbTree, DuplicatesComeBackInInsertionOrderAndReverse) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeIntTable(t, dir.File("t.sdb")));
  ASSERT_TRUE(AddInt(t, 5, "a"));
  ASSERT_TRUE(AddInt(t, 7, "x"));
  ASSERT_TRUE(AddInt(t, 5, "b"));
  ASSERT_TRUE(AddInt(t, 3, "w"));
  ASSERT_TRUE(AddInt(t, 5, "c"));
  EXPECT_EQ(Walk(t, 0, "s"), (std::vector<std::string>{"w", "a", "b", "c", "x"}));
  EXPECT_EQ(WalkBack(t, 0, "s"), (std::vector<std::string>{"x", "c", "b", "a", "w"}));
  int32_t five = 5;
  ASSERT_TRUE(t.Seek(0, &five, sizeof five));
  EXPECT_EQ(t.GetFieldText(1), "a") << "Seek gives the first of the chain";
  ASSERT_TRUE(t.Prev(0));
  EXPECT_EQ(t.GetFieldText(1), "w");
}

TEST(SdbTree, DeletingFirstOfChainMakesSecondTheFirst) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeIntTable(t, dir.File("t.sdb")));
  for (const char* s : {"a", "b", "c"}) ASSERT_TRUE(AddInt(t, 5, s));
  const auto before = ReadBytes(dir.File("t.sdb"));
  const NodeView leaf0{&before, static_cast<size_t>(I32(before, kKeyRoots))};
  const int32_t first = leaf0.data(0);
  const int32_t second = I32(before, first + 12);
  const int32_t third = I32(before, second + 12);

  int32_t five = 5;
  ASSERT_TRUE(t.Seek(0, &five, sizeof five));
  ASSERT_TRUE(t.Delete());
  const auto f = ReadBytes(dir.File("t.sdb"));
  const NodeView leaf{&f, leaf0.pos};
  EXPECT_EQ(leaf.data(0), second);
  EXPECT_EQ(I32(f, second + 16), -1) << "the new first has no previous";
  EXPECT_EQ(I32(f, second + 20), third) << "the new first records the last";
  EXPECT_EQ(I32(f, kFreeEntryHead), first) << "the entry went to the free list";
  EXPECT_EQ(Walk(t, 0, "s"), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(WalkBack(t, 0, "s"), (std::vector<std::string>{"c", "b"}));
  // The freed entry is taken again for the next chain entry.
  ASSERT_TRUE(AddInt(t, 5, "d"));
  EXPECT_EQ(I32(ReadBytes(dir.File("t.sdb")), kFreeEntryHead), -1);
  EXPECT_EQ(Walk(t, 0, "s"), (std::vector<std::string>{"b", "c", "d"}));
}

// Deleting while walking: the cursor goes on from where the removed record stood, in a chain
// and across plain entries alike.
TEST(SdbTree, DeleteWhileWalkingVisitsEveryRecordOnce) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeIntTable(t, dir.File("t.sdb")));
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(AddInt(t, i % 7, std::to_string(i)));
  int visited = 0;
  for (bool ok = t.First(0); ok; ok = t.Next(0)) {
    ++visited;
    if (std::stoi(t.GetFieldText(1)) % 2 == 0) {
      ASSERT_TRUE(t.Delete());
    }
  }
  EXPECT_EQ(visited, 300);
  EXPECT_EQ(t.RecordCount(), 150);
  for (const std::string& s : Walk(t, 0, "s")) EXPECT_EQ(std::stoi(s) % 2, 1) << s;
}

TEST(SdbTree, DeleteEverythingThenAddAgainReusesLeafEntries) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeIntTable(t, dir.File("t.sdb")));
  for (int32_t k = 1; k <= 300; ++k) ASSERT_TRUE(AddInt(t, k, "v" + std::to_string(k)));
  while (t.First(0)) ASSERT_TRUE(t.Delete());
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_FALSE(t.First(0));
  EXPECT_FALSE(t.Last(0));
  const size_t size = ReadBytes(dir.File("t.sdb")).size();
  for (int32_t k = 300; k >= 1; --k) ASSERT_TRUE(AddInt(t, k, "w" + std::to_string(k)));
  EXPECT_EQ(ReadBytes(dir.File("t.sdb")).size(), size)
      << "records reuse free blocks, keys their entries";
  EXPECT_EQ(t.RecordCount(), 300);
  const auto names = Walk(t, 0, "s");
  ASSERT_EQ(names.size(), 300u);
  EXPECT_EQ(names.front(), "w1");
  EXPECT_EQ(names.back(), "w300");
}

struct CompareCase {
  int mode;
  const char* seek;
  bool found;
};

TEST(SdbTree, TextKeyComparesByItsMode) {
  const CompareCase cases[] = {{SdbTable::CompareNoCase, "ADMIN", true},
                               {SdbTable::CompareNoCase, "admin", true},
                               {SdbTable::CompareExact, "ADMIN", false},
                               {SdbTable::CompareExact, "Admin", true},
                               {SdbTable::CompareExact, "Admi", false}};
  for (const CompareCase& c : cases) {
    TempDir dir;
    SdbTable t;
    ASSERT_TRUE(MakeUserTable(t, dir.File("t.sdb"), c.mode));
    ASSERT_TRUE(AddUser(t, "bob", 1));
    ASSERT_TRUE(AddUser(t, "Admin", 1));
    ASSERT_TRUE(AddUser(t, "zed", 1));
    EXPECT_EQ(t.SeekText(1, c.seek), c.found) << c.seek << " mode " << c.mode;
    if (c.found) {
      EXPECT_EQ(t.GetFieldText("name"), "Admin");
    }
  }
}

TEST(SdbTree, NoCaseKeyOrdersWithoutRegardToCase) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeUserTable(t, dir.File("t.sdb"), SdbTable::CompareNoCase));
  for (const char* n : {"carol", "Bob", "alice", "Dave"}) ASSERT_TRUE(AddUser(t, n, 1));
  EXPECT_EQ(Walk(t, 1), (std::vector<std::string>{"alice", "Bob", "carol", "Dave"}));
  EXPECT_FALSE(AddUser(t, "ALICE", 2)) << "a unique no-case key refuses a case variant";
  EXPECT_EQ(t.ErrorText(), "the key is unduplicated");
}

TEST(SdbTree, SeekTextLongerThanKeyFindsNothing) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("s", SdbTable::String, 20));
  ASSERT_TRUE(t.CreateKey("s", SdbTable::KeyDuplicates, 0, SdbTable::CompareExact, 0, 8));
  ASSERT_TRUE(t.Create(dir.File("t.sdb"), ""));
  ASSERT_TRUE(t.SetFieldText("abcdefghij", 0) && t.Append());
  EXPECT_TRUE(t.SeekText(0, "abcdefgh")) << "the key holds the first 8 characters";
  EXPECT_FALSE(t.SeekText(0, "abcdefghij"));
}

// A search reads no byte beyond the value it is given: a value shorter or longer than a
// numeric key is refused rather than compared with what lies after it, a text ends at its
// length even without a zero, and SeekNumber converts an id to the key's own width.
TEST(SdbTree, SearchesReadOnlyTheValueGivenAndNumbersTakeTheKeysWidth) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("d", SdbTable::Double) && t.CreateField("s", SdbTable::String, 20) &&
              t.CreateField("h", SdbTable::Short));
  ASSERT_TRUE(t.CreateKey("d", SdbTable::KeyDuplicates, 0) &&
              t.CreateKey("s", SdbTable::KeyDuplicates, 1) &&
              t.CreateKey("h", SdbTable::KeyDuplicates, 2));
  ASSERT_TRUE(t.Create(dir.File("t.sdb"), ""));
  for (int i : {3, 5, 70000}) {
    double d = i;
    int16_t h = static_cast<int16_t>(i);
    ASSERT_TRUE(t.SetField(0, &d) && t.SetFieldText("n" + std::to_string(i), 1) &&
                t.SetField(2, &h) && t.Append());
  }
  int32_t five = 5;
  EXPECT_FALSE(t.Seek(0, &five, sizeof five)) << "a 4-byte id against an 8-byte key";
  double wide = 5;
  EXPECT_TRUE(t.Seek(0, &wide, sizeof wide));
  EXPECT_TRUE(t.SeekNumber(0, 5));
  EXPECT_EQ(t.GetFieldText(1), "n5");
  EXPECT_TRUE(t.SeekNumber(2, 3));
  EXPECT_FALSE(t.SeekNumber(2, 70000)) << "a number the short key cannot hold";
  EXPECT_FALSE(t.SeekNumber(1, 5)) << "a text key takes no number";
  const char unterminated[] = {'n', '3', 'x'};
  EXPECT_TRUE(t.Seek(1, unterminated, 2)) << "the text ends at its length";
  EXPECT_TRUE(t.SeekText(1, std::string_view("n70000tail", 6)));
  EXPECT_FALSE(t.Seek(1, "n3", -1));
}

// A record that joins a chain after another object positioned on the chain's last entry must
// survive that object's Delete (the delete reads the entry from the file, not from memory).
TEST(SdbTree, DeleteOnStaleChainCursorKeepsRecordAddedMeanwhile) {
  TempDir dir;
  SdbTable a;
  ASSERT_TRUE(MakeIntTable(a, dir.File("t.sdb")));
  ASSERT_TRUE(AddInt(a, 5, "a"));
  ASSERT_TRUE(AddInt(a, 5, "b"));
  ASSERT_TRUE(a.Last(0));
  ASSERT_EQ(a.GetFieldText(1), "b");
  {
    SdbTable b;
    ASSERT_TRUE(b.Open(dir.File("t.sdb")));
    ASSERT_TRUE(AddInt(b, 5, "c"));
  }
  ASSERT_TRUE(a.Delete());
  EXPECT_EQ(Walk(a, 0, "s"), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(WalkBack(a, 0, "s"), (std::vector<std::string>{"c", "a"}));
  EXPECT_EQ(a.RecordCount(), 2);
}

TEST(SdbTree, EditKeepsTheRecordsPlaceInItsChain) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeIntTable(t, dir.File("t.sdb")));
  for (const char* s : {"a", "b", "c"}) ASSERT_TRUE(AddInt(t, 5, s));
  for (const char* which : {"a", "b", "c"}) {
    ASSERT_TRUE(t.First(0));
    while (t.GetFieldText(1) != which) ASSERT_TRUE(t.Next(0));
    ASSERT_TRUE(t.SetFieldText(std::string(which) + "2", 1));
    ASSERT_TRUE(t.Edit()) << t.ErrorText();
  }
  EXPECT_EQ(Walk(t, 0, "s"), (std::vector<std::string>{"a2", "b2", "c2"}));
  EXPECT_EQ(WalkBack(t, 0, "s"), (std::vector<std::string>{"c2", "b2", "a2"}));
  // Editing while walking goes on to the next record.
  std::vector<std::string> seen;
  for (bool ok = t.First(0); ok; ok = t.Next(0)) {
    seen.push_back(t.GetFieldText(1));
    ASSERT_TRUE(t.SetFieldText(seen.back() + "!", 1) && t.Edit());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a2", "b2", "c2"}));
}

}  // namespace
