// A user table of 10,000 accounts, shaped like user.sdb: appending them, seeking by login
// name, walking them in name order, and what the account check does on every login: Open,
// Seek by name, Close. Times are per operation.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tablestore/sdb_table.h"

namespace {

constexpr int kUsers = 10000;

std::string TablePath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string("sdbbench-") + std::to_string(getpid()) + "-" + name))
      .string();
}

std::string UserName(int i) {
  return "user" + std::to_string((i * 7919) % kUsers);
}

bool DefineUsers(SdbTable& t, const std::string& path) {
  return t.CreateField("id", SdbTable::AutoInc) && t.CreateField("userid", SdbTable::String, 32) &&
         t.CreateField("passwd", SdbTable::String, 32) &&
         t.CreateField("email", SdbTable::String, 64) &&
         t.CreateField("name", SdbTable::String, 64) &&
         t.CreateField("notes", SdbTable::String, 255) && t.CreateField("group", SdbTable::Int) &&
         t.CreateField("enable", SdbTable::Int) && t.CreateField("download_limit", SdbTable::Int) &&
         t.CreateField("download_speed", SdbTable::Int) &&
         t.CreateField("iprange", SdbTable::String, 40) &&
         t.CreateKey("userid", SdbTable::KeyUnique, 1, SdbTable::CompareNoCase) &&
         t.Create(path, "users");
}

bool AddUser(SdbTable& t, int i) {
  const int32_t group = i % 20;
  const int32_t one = 1;
  return t.SetFieldText(UserName(i), "userid") && t.SetFieldText("secret", "passwd") &&
         t.SetFieldText(UserName(i) + "@example.org", "email") && t.SetField("group", &group) &&
         t.SetField("enable", &one) && t.Append();
}

// The shared 10,000-user table for the read benchmarks.
const std::string& UserTable() {
  static const std::string path = [] {
    const std::string p = TablePath("users.sdb");
    SdbTable t;
    if (!DefineUsers(t, p)) std::abort();
    for (int i = 0; i < kUsers; ++i) {
      if (!AddUser(t, i)) std::abort();
    }
    return p;
  }();
  return path;
}

void BM_Append10000Users(benchmark::State& state) {
  const std::string path = TablePath("append.sdb");
  for (auto _ : state) {
    SdbTable t;
    if (!DefineUsers(t, path)) state.SkipWithError("create failed");
    for (int i = 0; i < kUsers; ++i) {
      if (!AddUser(t, i)) state.SkipWithError("append failed");
    }
  }
  state.counters["per_user"] = benchmark::Counter(
      kUsers, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  std::filesystem::remove(path);
}
BENCHMARK(BM_Append10000Users)->Unit(benchmark::kMillisecond);

void BM_SeekByName(benchmark::State& state) {
  SdbTable t;
  if (!t.Open(UserTable())) state.SkipWithError("open failed");
  int i = 0;
  for (auto _ : state) {
    const std::string name = UserName(i++ % kUsers);
    if (!t.SeekText(1, name)) state.SkipWithError("not found");
  }
}
BENCHMARK(BM_SeekByName)->Unit(benchmark::kMicrosecond);

void BM_WalkInNameOrder(benchmark::State& state) {
  SdbTable t;
  if (!t.Open(UserTable())) state.SkipWithError("open failed");
  for (auto _ : state) {
    int n = 0;
    for (bool ok = t.First(1); ok; ok = t.Next(1)) ++n;
    if (n != kUsers) state.SkipWithError("walk incomplete");
  }
  state.counters["per_record"] = benchmark::Counter(
      kUsers, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WalkInNameOrder)->Unit(benchmark::kMillisecond);

void BM_OpenSeekClose(benchmark::State& state) {
  const std::string& path = UserTable();
  int i = 0;
  for (auto _ : state) {
    SdbTable t;
    const std::string name = UserName(i++ % kUsers);
    if (!t.Open(path) || !t.SeekText(1, name)) state.SkipWithError("login lookup failed");
    benchmark::DoNotOptimize(t.GetFieldText(2));
    t.Close();
  }
}
BENCHMARK(BM_OpenSeekClose)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove(UserTable());
  return 0;
}
