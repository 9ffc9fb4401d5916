// Helpers for the table store tests: a scratch directory, raw file bytes, and readers of the
// file layout written out with their own offsets, so that byte checks do not lean on the
// engine's own format code.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tablestore/sdb_table.h"

namespace tabletest {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sdbtest.XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (made != nullptr) path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline int32_t I32(const std::vector<uint8_t>& b, size_t off) {
  return static_cast<int32_t>(b.at(off) | (b.at(off + 1) << 8) | (b.at(off + 2) << 16) |
                              (static_cast<uint32_t>(b.at(off + 3)) << 24));
}
inline int16_t I16(const std::vector<uint8_t>& b, size_t off) {
  return static_cast<int16_t>(b.at(off) | (b.at(off + 1) << 8));
}
inline void PutI32(std::vector<uint8_t>& b, size_t off, int32_t v) {
  for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}

// Header offsets as the file layout fixes them.
constexpr size_t kHeaderSize = 15472;
constexpr size_t kRecordCount = 36;
constexpr size_t kKeyRoots = 15252;
constexpr size_t kKeyFirstLeaves = 15292;
constexpr size_t kKeyLastLeaves = 15332;
constexpr size_t kFreeRecordHead = 15372;
constexpr size_t kFreeEntryHead = 15376;
constexpr size_t kFreeMemoHead = 15452;

// A node seen through its prefix words.
struct NodeView {
  const std::vector<uint8_t>* file;
  size_t pos;
  int32_t Word(int w) const { return I32(*file, pos + 4 * w); }
  int32_t count() const { return Word(0); }
  int32_t child(int i) const { return Word(1 + i); }
  int32_t data(int i) const { return Word(202 + i); }
  int32_t parent() const { return Word(403); }
  int32_t self() const { return Word(404); }
  int32_t prev() const { return Word(405); }
  int32_t next() const { return Word(406); }
  int32_t IntKey(int i) const { return I32(*file, pos + 1628 + 4 * i); }
};

// A table "t.sdb" with an Int key and a String key, used by several tests:
//   field 0 "id" AutoInc (key 0 "id", unique), field 1 "name" String(20),
//   field 2 "group" Int (key "group", duplicates), field 3 "note" String(30).
// key 1 "name" (unique, compare mode given), key 2 "group".
inline bool MakeUserTable(SdbTable& t, const std::string& path, int compare = SdbTable::CompareExact,
                          int name_mode = SdbTable::KeyUnique) {
  return t.CreateField("id", SdbTable::AutoInc) && t.CreateField("name", SdbTable::String, 20) &&
         t.CreateField("group", SdbTable::Int) && t.CreateField("note", SdbTable::String, 30) &&
         t.CreateKey("name", name_mode, 1, compare) &&
         t.CreateKey("group", SdbTable::KeyDuplicates, 2) && t.Create(path, "users");
}

inline bool AddUser(SdbTable& t, const std::string& name, int32_t group, const std::string& note = "") {
  return t.SetFieldText(name, "name") && t.SetField("group", &group) && t.SetFieldText(note, "note") &&
         t.Append();
}

// Names of every record in the order of key, walking forward.
inline std::vector<std::string> Walk(SdbTable& t, int key, const char* field = "name") {
  std::vector<std::string> out;
  for (bool ok = t.First(key); ok; ok = t.Next(key)) {
    out.push_back(t.GetFieldText(field));
    if (out.size() > 100000) break;
  }
  return out;
}

inline std::vector<std::string> WalkBack(SdbTable& t, int key, const char* field = "name") {
  std::vector<std::string> out;
  for (bool ok = t.Last(key); ok; ok = t.Prev(key)) {
    out.push_back(t.GetFieldText(field));
    if (out.size() > 100000) break;
  }
  return out;
}

}  // namespace tabletest
