// SdbTable operations: definitions and their refusals, AutoInc ids, unique keys, field
// conversions, Edit, long texts, and what a closed or read-only object allows.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "table_test_util.h"

using namespace tabletest;

namespace {

struct DefinitionCase {
  const char* name;
  std::function<bool(SdbTable&)> steps;  // the last step is the one expected to fail
  const char* error;
};

TEST(SdbTableDefinition, RefusalsGiveTheirTexts) {
  const DefinitionCase cases[] = {
      {"TextOfLengthZero", [](SdbTable& t) { return t.CreateField("s", SdbTable::String, 0); },
       "field length must between 1 and 1024"},
      {"TextOfLength1025", [](SdbTable& t) { return t.CreateField("s", SdbTable::String, 1025); },
       "field length must between 1 and 1024"},
      {"SameNameWithBlanksAndCase",
       [](SdbTable& t) {
         return t.CreateField("  Name ", SdbTable::Int) && t.CreateField("name", SdbTable::Int);
       },
       "The FieldName exist already!"},
      {"SecondAutoInc",
       [](SdbTable& t) {
         return t.CreateField("a", SdbTable::AutoInc) && t.CreateField("b", SdbTable::AutoInc);
       },
       "Too many AutoInc fields"},
      {"KeyBeforeField", [](SdbTable& t) { return t.CreateKey("k", SdbTable::KeyUnique, 0); },
       "must create field first"},
      {"KeyOnMissingField",
       [](SdbTable& t) {
         return t.CreateField("a", SdbTable::Int) && t.CreateKey("k", SdbTable::KeyUnique, 1);
       },
       "FieldNo must less than 1"},
      {"KeyOnMemo",
       [](SdbTable& t) {
         return t.CreateField("m", SdbTable::Memo) && t.CreateKey("k", SdbTable::KeyUnique, 0);
       },
       "This field can't be key!"},
      {"SameKeyName",
       [](SdbTable& t) {
         return t.CreateField("a", SdbTable::Int) && t.CreateKey("k", SdbTable::KeyUnique, 0) &&
                t.CreateKey(" K ", SdbTable::KeyUnique, 0);
       },
       "The KeyName exist already!"},
      {"EleventhKey",
       [](SdbTable& t) {
         if (!t.CreateField("a", SdbTable::Int)) return false;
         for (int k = 0; k < 10; ++k) {
           if (!t.CreateKey("k" + std::to_string(k), SdbTable::KeyUnique, 0)) return false;
         }
         return t.CreateKey("k10", SdbTable::KeyUnique, 0);
       },
       "key count must less than 10  "},
      {"UnknownType", [](SdbTable& t) { return t.CreateField("x", 9); }, "field type invalid"},
      {"CreateWithoutKey",
       [](SdbTable& t) {
         return t.CreateField("a", SdbTable::Int) && t.Create("/tmp/unused-sdb-test", "");
       },
       "Create Index error,please CreateKey first!"},
      {"CreateInMissingDirectory",
       [](SdbTable& t) {
         return t.CreateField("a", SdbTable::Int) && t.CreateKey("a", 1, 0) &&
                t.Create("/nonexistent-dir/t.sdb", "");
       },
       "can't create file "},
  };
  for (const DefinitionCase& c : cases) {
    SdbTable t;
    EXPECT_FALSE(c.steps(t)) << c.name;
    EXPECT_EQ(t.ErrorText(), c.error) << c.name;
  }
  std::remove("/tmp/unused-sdb-test");
}

TEST(SdbTableDefinition, TextOf1024AndAutoIncWithItsOwnKeyAreAccepted) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("id", SdbTable::AutoInc));
  ASSERT_TRUE(t.CreateField("s", SdbTable::String, 1024));
  EXPECT_EQ(t.KeyCount(), 1) << "the AutoInc field brings its unique key";
  ASSERT_TRUE(t.Create(dir.File("t.sdb"), ""));
  EXPECT_FALSE(t.CreateField("late", SdbTable::Int));
  EXPECT_EQ(t.ErrorText(), "must do before create db");
  EXPECT_FALSE(t.CreateKey("late", SdbTable::KeyUnique, 0));
  EXPECT_EQ(t.ErrorText(), "must do before create db");
}

TEST(SdbTableDefinition, Field129DiscardsFieldsAndKeys) {
  SdbTable t;
  for (int i = 0; i < 128; ++i) ASSERT_TRUE(t.CreateField("f" + std::to_string(i), SdbTable::Int));
  ASSERT_TRUE(t.CreateKey("k", SdbTable::KeyUnique, 127));
  EXPECT_FALSE(t.CreateField("f128", SdbTable::Int));
  EXPECT_EQ(t.ErrorText(), "Field count must less than 128  ");
  EXPECT_EQ(t.FieldCount(), 0);
  EXPECT_EQ(t.KeyCount(), 0) << "keys must not name fields that are gone";
  ASSERT_TRUE(t.CreateField("again", SdbTable::Int));
  EXPECT_EQ(t.FieldIndex("again"), 0);
}

TEST(SdbTable, AutoIncFollowsTheLastIdInKeyOrder) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeUserTable(t, dir.File("t.sdb")));
  uint8_t record[58] = {};
  std::memcpy(record + 4, "first", 5);
  ASSERT_TRUE(t.Append(record, sizeof record));
  EXPECT_EQ(tabletest::I32(std::vector<uint8_t>(record, record + 4), 0), 1)
      << "the id is written back into the caller's buffer";
  EXPECT_EQ(t.LastValue(), 1);
  for (int i = 2; i <= 7; ++i) ASSERT_TRUE(AddUser(t, "u" + std::to_string(i), 0));
  for (int32_t id = 3; id <= 6; ++id) ASSERT_TRUE(t.Seek(0, &id, sizeof id) && t.Delete()) << id;
  ASSERT_TRUE(AddUser(t, "next", 0));
  EXPECT_EQ(t.LastValue(), 8) << "ids 1, 2, 7 in key order: the next is 8";
  EXPECT_EQ(t.GetFieldText("name"), "next");
}

TEST(SdbTable, UniqueKeyRefusesValueAndWritesNothing) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeUserTable(t, dir.File("t.sdb")));
  ASSERT_TRUE(AddUser(t, "bob", 1));
  const auto before = ReadBytes(dir.File("t.sdb"));
  EXPECT_FALSE(AddUser(t, "bob", 2));
  EXPECT_EQ(t.ErrorText(), "the key is unduplicated");
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_EQ(ReadBytes(dir.File("t.sdb")), before);
}

TEST(SdbTable, FieldConversions) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("k", SdbTable::AutoInc) && t.CreateField("sh", SdbTable::Short) &&
              t.CreateField("i", SdbTable::Int) && t.CreateField("f", SdbTable::Float) &&
              t.CreateField("d", SdbTable::Double) && t.CreateField("b", SdbTable::Byte) &&
              t.CreateField("s", SdbTable::String, 4));
  ASSERT_TRUE(t.Create(dir.File("t.sdb"), ""));
  struct Case {
    const char* field;
    const char* in;
    const char* out;
  } cases[] = {{"sh", "70000", "4464"},
               {"i", "abc", "0"},
               {"b", "7", "1"},
               {"f", "2.5", "2.500000"},
               {"d", "0.1", "0.10000000000000"},
               {"s", "abcdef", "abcd"}};
  for (const Case& c : cases) ASSERT_TRUE(t.SetFieldText(c.in, c.field)) << c.field;
  ASSERT_TRUE(t.Append());
  ASSERT_TRUE(t.First(0));
  for (const Case& c : cases) EXPECT_EQ(t.GetFieldText(c.field), c.out) << c.field;
  EXPECT_FALSE(t.SetFieldText("5", "k")) << "AutoInc cannot be set";
  int32_t v = 1;
  EXPECT_FALSE(t.SetField("k", &v));
  EXPECT_EQ(t.ErrorText(), "field invalidation");
  EXPECT_EQ(t.FieldIndex("SH"), 1);
  EXPECT_EQ(t.FieldIndex("nope"), -1);
  EXPECT_EQ(t.GetFieldText("nope"), "");
  EXPECT_EQ(t.FieldType(6), SdbTable::String);
  EXPECT_EQ(t.FieldType(7), -1);
}

TEST(SdbTable, TextFillingItsFieldHasNoTerminatorAndReadsBounded) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("a", SdbTable::String, 4) && t.CreateField("b", SdbTable::String, 4) &&
              t.CreateKey("a", SdbTable::KeyUnique, 0, SdbTable::CompareExact, 2, 10) &&
              t.Create(dir.File("t.sdb"), ""));
  ASSERT_TRUE(t.SetFieldText("wxyz", "a") && t.SetFieldText("QQQQ", "b") && t.Append());
  ASSERT_TRUE(t.First(0));
  EXPECT_EQ(t.GetFieldText("a"), "wxyz");
  char raw[4];
  ASSERT_TRUE(t.GetField("a", raw, 4));
  EXPECT_EQ(std::string(raw, 4), "wxyz");
  EXPECT_FALSE(t.GetField("a", raw, 3)) << "a smaller buffer is refused";
  // The key takes characters 2.. of the field, never those of the next field.
  EXPECT_TRUE(t.SeekText(0, "yz"));
  EXPECT_FALSE(t.SeekText(0, "yzQQ"));
}

TEST(SdbTable, EditKeepsIdAndFailedEditRestoresOldRecordWithItsId) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeUserTable(t, dir.File("t.sdb")));
  ASSERT_TRUE(AddUser(t, "ann", 1, "first"));
  ASSERT_TRUE(AddUser(t, "bob", 1, "second"));
  ASSERT_TRUE(AddUser(t, "cid", 2, "third"));
  ASSERT_TRUE(t.SeekText(1, "bob"));
  ASSERT_TRUE(t.SetFieldText("bobby", "name") && t.Edit()) << t.ErrorText();
  EXPECT_EQ(t.GetFieldText("id"), "2");
  ASSERT_TRUE(t.SeekText(1, "bobby"));
  EXPECT_EQ(t.GetFieldText("id"), "2");
  EXPECT_EQ(t.GetFieldText("note"), "second");

  ASSERT_TRUE(t.SetFieldText("ann", "name"));
  EXPECT_FALSE(t.Edit());
  EXPECT_EQ(t.ErrorText(), "the key is unduplicated");
  EXPECT_EQ(t.RecordCount(), 3);
  ASSERT_TRUE(t.SeekText(1, "bobby")) << "the old record is back";
  EXPECT_EQ(t.GetFieldText("id"), "2") << "with its own id";
  int32_t two = 2;
  ASSERT_TRUE(t.Seek(0, &two, sizeof two));
  EXPECT_EQ(t.GetFieldText("name"), "bobby");
  EXPECT_EQ(Walk(t, 0), (std::vector<std::string>{"ann", "bobby", "cid"}));
  EXPECT_EQ(Walk(t, 2), (std::vector<std::string>{"ann", "bobby", "cid"}));
  EXPECT_EQ(t.LastValue(), 3);
}

TEST(SdbTable, ChangesNeedACurrentRecordAndAWritableFile) {
  TempDir dir;
  {
    SdbTable t;
    ASSERT_TRUE(MakeUserTable(t, dir.File("t.sdb")));
    EXPECT_FALSE(t.Delete()) << "no records";
    ASSERT_TRUE(AddUser(t, "ann", 1));
    EXPECT_FALSE(t.Delete());
    EXPECT_EQ(t.ErrorText(), "Can't locate a record  ");
    EXPECT_FALSE(t.Edit());
    EXPECT_EQ(t.ErrorText(), "current key invalid");
    EXPECT_FALSE(t.GetFieldText("name").size());
    ASSERT_TRUE(t.First(1));
    ASSERT_TRUE(t.Delete());
    EXPECT_FALSE(t.Delete()) << "the deleted record is no longer current";
    EXPECT_EQ(t.GetFieldText("name"), "");
  }
  SdbTable r;
  ASSERT_TRUE(r.Open(dir.File("t.sdb"), SdbTable::kOpenReadOnly));
  EXPECT_FALSE(AddUser(r, "x", 1));
  EXPECT_EQ(r.ErrorText(), "file is opened read only");
  EXPECT_EQ(r.RecordCount(), 0);
  r.Close();
  EXPECT_EQ(r.RecordCount(), -1);
  EXPECT_FALSE(r.First(0));
  EXPECT_FALSE(r.Open(dir.File("missing.sdb")));
  EXPECT_EQ(r.ErrorText(), "file can't be  opened!");
}

TEST(SdbTable, OpenClosesTheFirstFileAndSeesItsChanges) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeUserTable(t, dir.File("a.sdb")));
  ASSERT_TRUE(AddUser(t, "ann", 1));
  SdbTable other;
  ASSERT_TRUE(MakeUserTable(other, dir.File("b.sdb")));
  other.Close();
  ASSERT_TRUE(t.Open(dir.File("b.sdb")));
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_EQ(t.Description(), "users");
  EXPECT_EQ(t.InfoText().substr(0, 18), "2.60 ,Krdb Engine,");
  ASSERT_TRUE(t.Open(dir.File("a.sdb")));
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_TRUE(t.SeekByKeyName(" NAME ", "ann", 3));
  EXPECT_FALSE(t.SeekByKeyName("nokey", "ann", 3));
}

TEST(SdbTable, FileWithoutKeysOpensWithKeyNotFound) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeUserTable(t, dir.File("t.sdb")));
  t.Close();
  auto bytes = ReadBytes(dir.File("t.sdb"));
  bytes[15250] = 0;  // keyCount
  WriteBytes(dir.File("t.sdb"), bytes);
  EXPECT_FALSE(t.Open(dir.File("t.sdb")));
  EXPECT_EQ(t.ErrorText(), "key not found");
  EXPECT_FALSE(t.First(0));
  EXPECT_FALSE(t.SeekText(0, "x"));
  EXPECT_EQ(t.ErrorText(), "index file not found!");
}

// Long texts are written by other programs; here the blocks are put into the file by hand:
// a record's descriptor points at two blocks holding "hello " and "world".
TEST(SdbTable, LongTextIsReadAcrossBlocksAndFreedWithItsRecord) {
  TempDir dir;
  const std::string path = dir.File("t.sdb");
  {
    SdbTable t;
    ASSERT_TRUE(t.CreateField("k", SdbTable::Int) && t.CreateField("m", SdbTable::Memo) &&
                t.CreateKey("k", SdbTable::KeyUnique, 0) && t.Create(path, ""));
    int32_t k = 1;
    ASSERT_TRUE(t.SetField(0, &k) && t.Append());
  }
  auto f = ReadBytes(path);
  const size_t rec = kHeaderSize;  // packed: length, k, descriptor
  const int32_t block1 = static_cast<int32_t>(f.size());
  const int32_t block2 = block1 + 8 + 6;
  std::vector<uint8_t> blocks(8 + 6 + 8 + 5);
  PutI32(blocks, 0, block2);
  PutI32(blocks, 4, 6);
  std::memcpy(&blocks[8], "hello ", 6);
  PutI32(blocks, 14, -1);
  PutI32(blocks, 18, 5);
  std::memcpy(&blocks[22], "world", 5);
  f.insert(f.end(), blocks.begin(), blocks.end());
  PutI32(f, rec + 6, block1);
  PutI32(f, rec + 10, 11);
  WriteBytes(path, f);

  SdbTable t;
  ASSERT_TRUE(t.Open(path));
  ASSERT_TRUE(t.First(0));
  EXPECT_EQ(t.MemoLength(1), 11);
  EXPECT_EQ(t.MemoLength(0), -1);
  EXPECT_EQ(t.GetFieldText(1), "");
  char out[12] = {};
  EXPECT_FALSE(t.GetField(1, out));
  EXPECT_EQ(t.ErrorText(), "field invalidation");
  ASSERT_TRUE(t.OpenMemo(1));
  ASSERT_TRUE(t.ReadMemo(out, 11, 1));
  EXPECT_EQ(std::string(out), "hello world");
  EXPECT_FALSE(t.ReadMemo(out, 1, 1)) << "nothing is left";

  // Edit keeps the descriptor; Delete gives the chain to the free list.
  ASSERT_TRUE(t.First(0));
  int32_t k2 = 2;
  ASSERT_TRUE(t.SetField(0, &k2) && t.Edit());
  ASSERT_TRUE(t.First(0));
  EXPECT_EQ(t.MemoLength(1), 11);
  EXPECT_EQ(I32(ReadBytes(path), kFreeMemoHead), -1);
  ASSERT_TRUE(t.Delete());
  const auto g = ReadBytes(path);
  EXPECT_EQ(I32(g, kFreeMemoHead), block1);
  EXPECT_EQ(I32(g, block2), -1) << "the last block links to the previous head";
}

}  // namespace
