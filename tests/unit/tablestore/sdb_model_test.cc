// Random appends, edits and deletes against an in-memory model of the table, with the file
// closed and opened again between batches; after each batch every key must walk in the
// model's order both ways and the record count must match.
//
// Order of a duplicates key: by value, then by when the record joined the value's chain. An
// Edit takes a record out and puts it back, so on every key it joins its chain anew, except
// on the key it was reached through, where an unchanged value keeps its place.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "table_test_util.h"

using namespace tabletest;

namespace {

struct Row {
  std::string name;
  int32_t group = 0;
  int16_t score = 0;
  uint64_t group_stamp = 0;
  uint64_t score_stamp = 0;
};

class Model {
 public:
  std::map<int32_t, Row> rows;  // by id
  uint64_t stamp = 0;

  bool NameTaken(const std::string& name, int32_t except) const {
    for (const auto& [id, r] : rows) {
      if (id != except && r.name == name) return true;
    }
    return false;
  }

  std::vector<int32_t> Order(int key) const {
    std::vector<int32_t> ids;
    for (const auto& [id, r] : rows) ids.push_back(id);
    std::sort(ids.begin(), ids.end(), [&](int32_t a, int32_t b) {
      const Row& x = rows.at(a);
      const Row& y = rows.at(b);
      switch (key) {
        case 1:
          return x.name < y.name;
        case 2:
          return std::tie(x.group, x.group_stamp) < std::tie(y.group, y.group_stamp);
        case 3:
          return std::tie(x.score, x.score_stamp) < std::tie(y.score, y.score_stamp);
        default:
          return a < b;
      }
    });
    return ids;
  }
};

// id AutoInc (key 0), name String(12) unique (key 1), group Int (key 2), score Short (key 3).
bool MakeTable(SdbTable& t, const std::string& path) {
  return t.CreateField("id", SdbTable::AutoInc) && t.CreateField("name", SdbTable::String, 12) &&
         t.CreateField("group", SdbTable::Int) && t.CreateField("score", SdbTable::Short) &&
         t.CreateKey("name", SdbTable::KeyUnique, 1) &&
         t.CreateKey("group", SdbTable::KeyDuplicates, 2) &&
         t.CreateKey("score", SdbTable::KeyDuplicates, 3) && t.Create(path, "model");
}

int32_t CurrentId(SdbTable& t) {
  int32_t id = -1;
  t.GetField(0, &id);
  return id;
}

class ModelRun {
 public:
  ModelRun(uint32_t seed, const std::string& path) : rng_(seed), path_(path) {}

  std::mt19937 rng_;
  std::string path_;
  Model m;
  SdbTable t;

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::string Name() { return "n" + std::to_string(Pick(2500)); }
  int32_t Group() { return Pick(12); }
  int16_t Score() { return static_cast<int16_t>(Pick(700) - 350); }

  void Append() {
    const std::string name = Name();
    const int32_t group = Group();
    const int16_t score = Score();
    ASSERT_TRUE(t.SetFieldText(name, 1) && t.SetField(2, &group) && t.SetField(3, &score));
    const bool taken = m.NameTaken(name, -1);
    ASSERT_EQ(t.Append(), !taken) << name << ": " << t.ErrorText();
    if (taken) {
      EXPECT_EQ(t.ErrorText(), "the key is unduplicated");
      return;
    }
    // The id follows the largest id still present: a deleted last id is given again.
    const int32_t id = (m.rows.empty() ? 0 : m.rows.rbegin()->first) + 1;
    EXPECT_EQ(t.LastValue(), id);
    m.rows[id] = Row{name, group, score, ++m.stamp, ++m.stamp};
  }

  // Positions on a random record through a random key; returns the key used, -1 if none.
  int Position() {
    if (m.rows.empty()) return -1;
    auto it = m.rows.begin();
    std::advance(it, Pick(static_cast<int>(m.rows.size())));
    const int32_t id = it->first;
    const Row& r = it->second;
    const int key = Pick(4);
    bool ok = false;
    switch (key) {
      case 0:
        ok = t.Seek(0, &id, sizeof id);
        break;
      case 1:
        ok = t.SeekText(1, r.name);
        break;
      case 2:
        ok = t.Seek(2, &r.group, sizeof r.group);
        break;
      case 3:
        ok = t.Seek(3, &r.score, sizeof r.score);
        break;
    }
    EXPECT_TRUE(ok);
    for (int hops = 0; ok && CurrentId(t) != id && hops < 5000; ++hops) ok = t.Next(key);
    EXPECT_EQ(CurrentId(t), id) << "key " << key;
    return CurrentId(t) == id ? key : -1;
  }

  void Edit() {
    const int key = Position();
    if (key < 0) return;
    const int32_t id = CurrentId(t);
    Row& r = m.rows[id];
    Row changed = r;
    if (Pick(2)) changed.name = Name();
    if (Pick(2)) changed.group = Group();
    if (Pick(2)) changed.score = Score();
    ASSERT_TRUE(t.SetFieldText(changed.name, 1) && t.SetField(2, &changed.group) &&
                t.SetField(3, &changed.score));
    const bool taken = m.NameTaken(changed.name, id);
    ASSERT_EQ(t.Edit(), !taken) << t.ErrorText();
    if (taken) {
      EXPECT_EQ(t.ErrorText(), "the key is unduplicated");
      changed = r;  // the old record went back in
    }
    changed.group_stamp = key == 2 && changed.group == r.group ? r.group_stamp : ++m.stamp;
    changed.score_stamp = key == 3 && changed.score == r.score ? r.score_stamp : ++m.stamp;
    r = changed;
    EXPECT_EQ(CurrentId(t), id) << "the edited record stays current";
  }

  void Delete() {
    if (Position() < 0) return;
    const int32_t id = CurrentId(t);
    ASSERT_TRUE(t.Delete()) << t.ErrorText();
    m.rows.erase(id);
  }

  void Check() {
    ASSERT_EQ(t.RecordCount(), static_cast<int>(m.rows.size()));
    for (int key = 0; key < 4; ++key) {
      std::vector<int32_t> forward, backward;
      for (bool ok = t.First(key); ok && forward.size() <= m.rows.size(); ok = t.Next(key)) {
        forward.push_back(CurrentId(t));
      }
      for (bool ok = t.Last(key); ok && backward.size() <= m.rows.size(); ok = t.Prev(key)) {
        backward.push_back(CurrentId(t));
      }
      std::reverse(backward.begin(), backward.end());
      const std::vector<int32_t> want = m.Order(key);
      ASSERT_EQ(forward, want) << "key " << key << " forward";
      ASSERT_EQ(backward, want) << "key " << key << " backward";
    }
    for (const auto& [id, r] : m.rows) {
      ASSERT_TRUE(t.SeekText(1, r.name)) << r.name;
      ASSERT_EQ(CurrentId(t), id);
      ASSERT_EQ(t.GetFieldText(2), std::to_string(r.group));
      ASSERT_EQ(t.GetFieldText(3), std::to_string(r.score));
    }
  }
};

class SdbModel : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SdbModel, RandomChangesKeepEveryKeyInModelOrder) {
  TempDir dir;
  ModelRun run(GetParam(), dir.File("t.sdb"));
  ASSERT_TRUE(MakeTable(run.t, dir.File("t.sdb")));
  for (int batch = 0; batch < 12; ++batch) {
    // Early batches grow the table, later ones churn it.
    const int grow = batch < 6 ? 6 : 3;
    for (int op = 0; op < 300; ++op) {
      const int what = run.Pick(10);
      if (what < grow) {
        run.Append();
      } else if (what < 8) {
        run.Edit();
      } else {
        run.Delete();
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
    run.t.Close();
    ASSERT_TRUE(run.t.Open(dir.File("t.sdb"))) << run.t.ErrorText();
    run.Check();
    if (::testing::Test::HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SdbModel, ::testing::Values(1u, 2u, 3u));

}  // namespace
