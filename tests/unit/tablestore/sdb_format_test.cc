// The bytes of a table file: header, packed records, node sizes, duplicate entries and free
// lists, checked against the layout other installations read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "table_test_util.h"

using namespace tabletest;

namespace {

TEST(SdbFormat, RecordOfTextAndIntPacksToElevenBytes) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("s", SdbTable::String, 10));
  ASSERT_TRUE(t.CreateField("i", SdbTable::Int));
  ASSERT_TRUE(t.CreateKey("i", SdbTable::KeyDuplicates, 1));
  ASSERT_TRUE(t.Create(dir.File("t.sdb"), "golden"));
  uint8_t record[14] = {'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0};
  ASSERT_TRUE(t.Append(record, 14));
  uint8_t empty[14] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0};
  ASSERT_TRUE(t.Append(empty, 14));
  t.Close();

  const auto f = ReadBytes(dir.File("t.sdb"));
  EXPECT_EQ(I32(f, 32), 14) << "recordLength";
  const std::vector<uint8_t> want = {0x0B, 0x00, 0x03, 0x00, 'a', 'b', 'c', 0x07, 0x00, 0x00, 0x00};
  ASSERT_GE(f.size(), kHeaderSize + want.size());
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + kHeaderSize, f.begin() + kHeaderSize + 11), want);
  // The second record follows the first record and the key's leaf (2432 bytes, Int key):
  // an empty text packs to its count alone.
  const size_t second = kHeaderSize + 11 + 2432;
  const std::vector<uint8_t> want2 = {0x08, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + second, f.begin() + second + 8), want2);
}

TEST(SdbFormat, FreshHeaderHoldsDefinitionsAndEmptyRootsAndLists) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(MakeUserTable(t, dir.File("t.sdb"), SdbTable::CompareNoCase));
  t.Close();
  const auto f = ReadBytes(dir.File("t.sdb"));
  ASSERT_EQ(f.size(), kHeaderSize);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[0]), 5), "Krdb,");
  EXPECT_EQ(f[31], 0) << "signature is zero-terminated within 32 bytes";
  EXPECT_EQ(I32(f, 32), 4 + 20 + 4 + 30) << "recordLength";
  EXPECT_EQ(I32(f, 36), 0) << "recordCount";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[40])), "id");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[40 + 32])), "name");
  const int types[] = {8, 5, 2, 5};
  const int lengths[] = {4, 20, 4, 30};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(I16(f, 4136 + 2 * i), types[i]) << "field " << i;
    EXPECT_EQ(I16(f, 4392 + 2 * i), lengths[i]) << "field " << i;
  }
  EXPECT_EQ(I16(f, 4136 + 2 * 4), 0) << "entries beyond fieldCount are zero";
  EXPECT_EQ(I16(f, 4648), 4) << "fieldCount";
  // Keys: the AutoInc field's own key first, then name and group.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[4650])), "id");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[4650 + 32])), "name");
  EXPECT_EQ(I16(f, 4970), 2) << "id key is unique";
  EXPECT_EQ(I16(f, 4970 + 2), 2);
  EXPECT_EQ(I16(f, 4970 + 4), 1) << "group key allows duplicates";
  const size_t part = 2 * 128;  // one key's span in the part arrays
  EXPECT_EQ(I16(f, 4990 + part * 1), 1) << "name key on field 1";
  EXPECT_EQ(I16(f, 7550 + part * 1), 2) << "name key ignores case";
  EXPECT_EQ(I16(f, 10110 + part * 1), 0) << "name key offset";
  EXPECT_EQ(I16(f, 12670 + part * 1), 20) << "name key length";
  EXPECT_EQ(I16(f, 12670 + part * 2), 4) << "group key length";
  for (int k = 0; k < 3; ++k) EXPECT_EQ(I16(f, 15230 + 2 * k), -1) << "single-field key " << k;
  EXPECT_EQ(I16(f, 15230 + 2 * 3), 0);
  EXPECT_EQ(I16(f, 15250), 3) << "keyCount";
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(I32(f, kKeyRoots + 4 * k), -1) << k;
    EXPECT_EQ(I32(f, kKeyFirstLeaves + 4 * k), -1) << k;
    EXPECT_EQ(I32(f, kKeyLastLeaves + 4 * k), -1) << k;
  }
  EXPECT_EQ(I32(f, kFreeRecordHead), -1);
  EXPECT_EQ(I32(f, kFreeEntryHead), -1);
  EXPECT_EQ(I16(f, 15380), 0) << "packed records";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[15382])), "users");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[15442])), "2.60");
  EXPECT_EQ(I32(f, kFreeMemoHead), -1);
  for (size_t i = 15456; i < kHeaderSize; ++i) EXPECT_EQ(f[i], 0) << "reserved byte " << i;
}

// One record and the single leaf of its key: the file grows by the packed record and by
// exactly one node of the key type's size.
struct NodeSizeCase {
  const char* name;
  int type;
  int field_length;
  int key_length;
  int packed;  // packed record bytes
  int node;    // node bytes
};

class SdbNodeSize : public ::testing::TestWithParam<NodeSizeCase> {};

TEST_P(SdbNodeSize, OneLeafHasTheSizeOfItsKeyType) {
  const NodeSizeCase& c = GetParam();
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("k", c.type, c.field_length));
  if (c.type != SdbTable::AutoInc) {
    ASSERT_TRUE(
        t.CreateKey("k", SdbTable::KeyDuplicates, 0, SdbTable::CompareExact, 0, c.key_length));
  }
  ASSERT_TRUE(t.Create(dir.File("t.sdb"), "")) << t.ErrorText();
  std::vector<uint8_t> record(64, 0);
  if (c.type == SdbTable::String) std::memcpy(record.data(), "abcdefghijk", 11);
  ASSERT_TRUE(t.Append(record.data(), 0)) << t.ErrorText();
  t.Close();
  const auto f = ReadBytes(dir.File("t.sdb"));
  EXPECT_EQ(f.size(), kHeaderSize + c.packed + c.node);
  const NodeView leaf{&f, static_cast<size_t>(I32(f, kKeyRoots))};
  EXPECT_EQ(leaf.pos, kHeaderSize + c.packed);
  EXPECT_EQ(leaf.count(), 1);
  EXPECT_EQ(leaf.child(0), -1);
  EXPECT_EQ(leaf.data(0), static_cast<int32_t>(kHeaderSize));
  EXPECT_EQ(leaf.parent(), -1);
  EXPECT_EQ(leaf.self(), static_cast<int32_t>(leaf.pos));
  EXPECT_EQ(leaf.prev(), -1);
  EXPECT_EQ(leaf.next(), -1);
  EXPECT_EQ(I32(f, kKeyFirstLeaves), static_cast<int32_t>(leaf.pos));
  EXPECT_EQ(I32(f, kKeyLastLeaves), static_cast<int32_t>(leaf.pos));
  if (c.type == SdbTable::String) {
    // The slot holds the first key_length characters, zero-terminated.
    const std::string slot(reinterpret_cast<const char*>(&f[leaf.pos + 1632]));
    EXPECT_EQ(slot, std::string("abcdefghijk").substr(0, c.key_length));
  }
}

INSTANTIATE_TEST_SUITE_P(
    KeyTypes, SdbNodeSize,
    ::testing::Values(NodeSizeCase{"Byte", SdbTable::Byte, 0, 0, 3, 1832},
                      NodeSizeCase{"Short", SdbTable::Short, 0, 0, 4, 2032},
                      NodeSizeCase{"Int", SdbTable::Int, 0, 0, 6, 2432},
                      NodeSizeCase{"Float", SdbTable::Float, 0, 0, 6, 2432},
                      NodeSizeCase{"AutoInc", SdbTable::AutoInc, 0, 0, 6, 2432},
                      NodeSizeCase{"Double", SdbTable::Double, 0, 0, 10, 3240},
                      NodeSizeCase{"String20Key8", SdbTable::String, 20, 8, 4 + 11, 3441}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SdbFormat, SecondEqualValueMakesTaggedChainOfTwoEntries) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("g", SdbTable::Int));
  ASSERT_TRUE(t.CreateKey("g", SdbTable::KeyDuplicates, 0));
  ASSERT_TRUE(t.Create(dir.File("t.sdb"), ""));
  int32_t v = 5;
  ASSERT_TRUE(t.Append(&v, 4));
  ASSERT_TRUE(t.Append(&v, 4));
  t.Close();
  const auto f = ReadBytes(dir.File("t.sdb"));
  const size_t rec1 = kHeaderSize, leaf = rec1 + 6, rec2 = leaf + 2432, first = rec2 + 6,
               second = first + 24;
  ASSERT_EQ(f.size(), second + 24);
  const NodeView n{&f, leaf};
  EXPECT_EQ(n.data(0), static_cast<int32_t>(first)) << "leaf points at the chain";
  const std::string tag(reinterpret_cast<const char*>(&f[first]), 8);
  EXPECT_EQ(tag, std::string("fDUPKEY\0", 8));
  EXPECT_EQ(I32(f, first + 8), static_cast<int32_t>(rec1));
  EXPECT_EQ(I32(f, first + 12), static_cast<int32_t>(second));
  EXPECT_EQ(I32(f, first + 16), -1);
  EXPECT_EQ(I32(f, first + 20), static_cast<int32_t>(second)) << "first records the last";
  EXPECT_EQ(I32(f, second + 8), static_cast<int32_t>(rec2));
  EXPECT_EQ(I32(f, second + 12), -1);
  EXPECT_EQ(I32(f, second + 16), static_cast<int32_t>(first));
  EXPECT_EQ(I32(f, second + 20), static_cast<int32_t>(second)) << "others hold their own position";
}

// Free records: a table with an Int key and one text, so a record of text length n packs to
// 8 + n bytes.
class FreeListTable {
 public:
  explicit FreeListTable(const std::string& path) : path_(path) {
    EXPECT_TRUE(t.CreateField("k", SdbTable::Int));
    EXPECT_TRUE(t.CreateField("s", SdbTable::String, 100));
    EXPECT_TRUE(t.CreateKey("k", SdbTable::KeyUnique, 0));
    EXPECT_TRUE(t.Create(path, ""));
  }
  // Appends a record packing to bytes; returns its position (read from the key's leaf later).
  bool Add(int32_t key, int bytes) {
    return t.SetField(0, &key) && t.SetFieldText(std::string(bytes - 8, 'x'), 1) && t.Append();
  }
  bool Remove(int32_t key) { return t.Seek(0, &key, sizeof key) && t.Delete(); }
  int64_t Size() const { return static_cast<int64_t>(ReadBytes(path_).size()); }
  int32_t Head() const { return I32(ReadBytes(path_), kFreeRecordHead); }
  SdbTable t;

 private:
  std::string path_;
};

TEST(SdbFormat, NewRecordLooksAtThreeFreeBlocksOnly) {
  TempDir dir;
  FreeListTable t(dir.File("t.sdb"));
  const int sizes[] = {50, 35, 30, 20};  // deleted in this order: the list reads 20,30,35,50
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(t.Add(i + 1, sizes[i]));
  ASSERT_TRUE(t.Add(100, 20));  // keeps the blocks apart from the end of the file
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(t.Remove(i + 1));
  const int32_t head = t.Head();
  EXPECT_GT(head, 0);

  const int64_t end = t.Size();
  ASSERT_TRUE(t.Add(10, 40));
  EXPECT_EQ(t.Size(), end + 40) << "the 50-byte block is the fourth: appended at the end";
  EXPECT_EQ(t.Head(), head);

  const int64_t end2 = t.Size();
  ASSERT_TRUE(t.Add(11, 34));
  EXPECT_EQ(t.Size(), end2) << "the 35-byte block is the third: reused";
  ASSERT_TRUE(t.Add(12, 20));
  EXPECT_EQ(t.Size(), end2) << "the head block of 20 bytes: reused";
  EXPECT_NE(t.Head(), head) << "the head moved on";
  // All records read back after reuse.
  for (int32_t k : {10, 11, 12, 100}) EXPECT_TRUE(t.t.Seek(0, &k, sizeof k)) << k;
}

TEST(SdbFormat, FreedRecordLinksToPreviousHeadAtOffsetTwo) {
  TempDir dir;
  FreeListTable t(dir.File("t.sdb"));
  ASSERT_TRUE(t.Add(1, 12));
  ASSERT_TRUE(t.Add(2, 12));
  ASSERT_TRUE(t.Remove(1));
  const int32_t first = t.Head();
  EXPECT_EQ(first, static_cast<int32_t>(kHeaderSize));
  ASSERT_TRUE(t.Remove(2));
  const auto f = ReadBytes(dir.File("t.sdb"));
  const int32_t second = I32(f, kFreeRecordHead);
  EXPECT_EQ(I16(f, second), 12) << "the freed record keeps its length";
  EXPECT_EQ(I32(f, second + 2), first);
  EXPECT_EQ(I32(f, first + 2), -1);
}

TEST(SdbFormat, DeletedFiveByteRecordIsNotLinked) {
  TempDir dir;
  SdbTable t;
  ASSERT_TRUE(t.CreateField("k", SdbTable::Short));
  ASSERT_TRUE(t.CreateField("b", SdbTable::Byte));
  ASSERT_TRUE(t.CreateKey("k", SdbTable::KeyUnique, 0));
  ASSERT_TRUE(t.Create(dir.File("t.sdb"), ""));
  uint8_t rec[3] = {1, 0, 9};
  ASSERT_TRUE(t.Append(rec, 3));
  ASSERT_TRUE(t.First(0));
  ASSERT_TRUE(t.Delete());
  t.Close();
  const auto f = ReadBytes(dir.File("t.sdb"));
  EXPECT_EQ(I16(f, kHeaderSize), 5);
  EXPECT_EQ(I32(f, kFreeRecordHead), -1);
  EXPECT_EQ(I32(f, kRecordCount), 0);
}

}  // namespace
