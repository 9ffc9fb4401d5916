// Damaged files: truncated, garbled, or with links that go round in circles. Opening and every
// operation must fail with a text or carry on, never crash, loop for ever or allocate wildly.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "table_test_util.h"

using namespace tabletest;

namespace {

constexpr int kWalkCap = 2000000;  // far more steps than any walk of these files may take

// Every kind of operation on whatever the file holds. Returns false when a walk did not end.
bool Exercise(const std::string& path) {
  SdbTable t;
  if (!t.Open(path)) return !t.ErrorText().empty();
  for (int key = 0; key < t.KeyCount(); ++key) {
    int steps = 0;
    for (bool ok = t.First(key); ok && steps < kWalkCap; ok = t.Next(key)) {
      ++steps;
      for (int f = 0; f < t.FieldCount(); ++f) t.GetFieldText(f);
    }
    if (steps >= kWalkCap) return false;
    steps = 0;
    for (bool ok = t.Last(key); ok && steps < kWalkCap; ok = t.Prev(key)) ++steps;
    if (steps >= kWalkCap) return false;
  }
  int32_t id = 3;
  t.Seek(0, &id, sizeof id);
  t.SeekText(1, "u17");
  if (t.First(2)) {
    t.SetFieldText("edited", "note");
    t.Edit();
  }
  if (t.Last(1)) t.Delete();
  AddUser(t, "newcomer", 2);
  AddUser(t, "u5", 2);
  return true;
}

std::vector<uint8_t> MakeSample(const std::string& path) {
  SdbTable t;
  EXPECT_TRUE(MakeUserTable(t, path));
  for (int i = 0; i < 450; ++i) EXPECT_TRUE(AddUser(t, "u" + std::to_string(i), i % 6, "note"));
  for (int i = 0; i < 450; i += 7) {
    EXPECT_TRUE(t.SeekText(1, "u" + std::to_string(i)) && t.Delete());
  }
  t.Close();
  return ReadBytes(path);
}

TEST(SdbDamage, TruncatedFileFailsOrCarriesOn) {
  TempDir dir;
  const auto sample = MakeSample(dir.File("sample.sdb"));
  const std::string path = dir.File("t.sdb");
  std::vector<size_t> cuts = {
      0, 1, 100, kHeaderSize - 1, kHeaderSize, kHeaderSize + 1, kHeaderSize + 7};
  for (int i = 1; i < 60; ++i) cuts.push_back(sample.size() * i / 60);
  for (size_t cut : cuts) {
    WriteBytes(path, std::vector<uint8_t>(sample.begin(), sample.begin() + cut));
    EXPECT_TRUE(Exercise(path)) << "cut at " << cut;
  }
  WriteBytes(path, std::vector<uint8_t>(sample.begin(), sample.begin() + 100));
  SdbTable t;
  EXPECT_FALSE(t.Open(path));
  EXPECT_EQ(t.ErrorText(), "file is damaged");
}

TEST(SdbDamage, GarbledBytesFailOrCarryOn) {
  TempDir dir;
  const auto sample = MakeSample(dir.File("sample.sdb"));
  const std::string path = dir.File("t.sdb");
  std::mt19937 rng(7);
  for (int trial = 0; trial < 400; ++trial) {
    auto bytes = sample;
    const int changes = 1 + static_cast<int>(rng() % 6);
    for (int c = 0; c < changes; ++c) {
      // Half the changes land in the header's changing part or the definitions, the rest in
      // the heap; values are extremes or positions elsewhere in the file.
      const size_t at =
          rng() % 2 ? 15200 + rng() % 272 : kHeaderSize + rng() % (bytes.size() - kHeaderSize - 4);
      switch (rng() % 4) {
        case 0:
          bytes[at] = 0xFF;
          break;
        case 1:
          bytes[at] = static_cast<uint8_t>(rng());
          break;
        case 2:
          PutI32(bytes, at & ~size_t{3}, static_cast<int32_t>(rng() % bytes.size()));
          break;
        default:
          PutI32(bytes, at, -1);
          break;
      }
    }
    WriteBytes(path, bytes);
    ASSERT_TRUE(Exercise(path)) << "trial " << trial;
  }
}

TEST(SdbDamage, DefinitionsOutOfRangeAreRefusedAtOpen) {
  TempDir dir;
  const auto sample = MakeSample(dir.File("sample.sdb"));
  const std::string path = dir.File("t.sdb");
  const struct {
    const char* what;
    size_t offset;
    int value;
    bool i16;
  } cases[] = {{"recordLength", 32, 9999, false},         {"fieldCount", 4648, 500, true},
               {"field type", 4136 + 2, 42, true},        {"text length", 4392 + 2, 5000, true},
               {"Int length", 4392 + 4, 3, true},         {"keyCount", 15250, 11, true},
               {"key part field", 4990, 77, true},        {"key part count", 15230, 300, true},
               {"text key length", 12670 + 256, 0, true}, {"record format", 15380, 3, true}};
  for (const auto& c : cases) {
    auto bytes = sample;
    if (c.i16) {
      bytes[c.offset] = static_cast<uint8_t>(c.value);
      bytes[c.offset + 1] = static_cast<uint8_t>(c.value >> 8);
    } else {
      PutI32(bytes, c.offset, c.value);
    }
    WriteBytes(path, bytes);
    SdbTable t;
    EXPECT_FALSE(t.Open(path)) << c.what;
    EXPECT_EQ(t.ErrorText(), "file is damaged") << c.what;
  }
}

TEST(SdbDamage, CircularLeafAndChainLinksEndTheWalk) {
  TempDir dir;
  const std::string path = dir.File("t.sdb");
  {
    SdbTable t;
    ASSERT_TRUE(MakeUserTable(t, path));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(AddUser(t, "u" + std::to_string(i), 1));
  }
  const auto sample = ReadBytes(path);
  const int32_t name_leaf = I32(sample, kKeyRoots + 4);
  const int32_t group_leaf = I32(sample, kKeyRoots + 8);
  const NodeView group{&sample, static_cast<size_t>(group_leaf)};
  const int32_t first = group.data(0);
  const int32_t last = I32(sample, first + 20);
  const struct {
    const char* what;
    size_t offset;
    int32_t value;
  } cases[] = {{"leaf next is itself", static_cast<size_t>(name_leaf) + 4 * 406, name_leaf},
               {"leaf prev is itself", static_cast<size_t>(name_leaf) + 4 * 405, name_leaf},
               {"chain end links to the first", static_cast<size_t>(last) + 12, first},
               {"chain first links back to itself", static_cast<size_t>(first) + 12, first},
               {"child of the root is the root", static_cast<size_t>(name_leaf) + 4, name_leaf},
               {"entry count beyond 200", static_cast<size_t>(name_leaf), 5000}};
  for (const auto& c : cases) {
    auto bytes = sample;
    PutI32(bytes, c.offset, c.value);
    WriteBytes(path, bytes);
    EXPECT_TRUE(Exercise(path)) << c.what;
  }
  // The cycle through the chain is reported as damage once it has gone round.
  auto bytes = sample;
  PutI32(bytes, static_cast<size_t>(last) + 12, first);
  WriteBytes(path, bytes);
  SdbTable t;
  ASSERT_TRUE(t.Open(path));
  int steps = 0;
  for (bool ok = t.First(2); ok && steps < kWalkCap; ok = t.Next(2)) ++steps;
  EXPECT_LT(steps, 5000);
  EXPECT_EQ(t.ErrorText(), "file is damaged");
}

}  // namespace
