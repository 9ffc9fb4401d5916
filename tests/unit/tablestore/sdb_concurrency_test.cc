// Several writers on one file, and writers that die: a process killed right after a change
// leaves a file that opens with that change complete; writers in two processes, or in several
// threads, leave a file whose keys and count agree.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "table_test_util.h"

using namespace tabletest;

namespace {

// Checks that every key walks the same set of records both ways, in order, and that the
// count agrees; returns the names found.
std::set<std::string> CheckConsistent(const std::string& path) {
  SdbTable t;
  EXPECT_TRUE(t.Open(path)) << t.ErrorText();
  std::set<std::string> names;
  for (const std::string& n : Walk(t, 1)) names.insert(n);
  EXPECT_EQ(static_cast<int>(names.size()), t.RecordCount());
  for (int key = 0; key < 3; ++key) {
    auto forward = Walk(t, key);
    auto backward = WalkBack(t, key);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(forward, backward) << "key " << key;
    EXPECT_EQ(std::set<std::string>(forward.begin(), forward.end()), names) << "key " << key;
    EXPECT_EQ(forward.size(), names.size()) << "key " << key;
  }
  const auto by_name = Walk(t, 1);
  EXPECT_TRUE(std::is_sorted(by_name.begin(), by_name.end()));
  return names;
}

// What a child does to the table before it dies: its changes, then SIGKILL to itself, with no
// Close. Exit code 1 means a change failed.
enum class Change { kAppend, kEdit, kDelete };

void RunAndDie(const std::string& path, Change change, int round) {
  SdbTable t;
  if (!t.Open(path)) _exit(1);
  bool ok = false;
  const std::string name = "r" + std::to_string(round);
  switch (change) {
    case Change::kAppend:
      ok = AddUser(t, name, round % 3, "killed");
      break;
    case Change::kEdit:
      ok = t.SeekText(1, "base") && t.SetFieldText("base" + std::to_string(round), "note") &&
           t.SetFieldText(name, "name") && t.Edit();
      break;
    case Change::kDelete:
      ok = t.SeekText(1, "r0") && t.Delete();
      break;
  }
  if (!ok) _exit(1);
  raise(SIGKILL);
  _exit(2);
}

TEST(SdbCrash, ProcessKilledRightAfterAChangeLeavesItComplete) {
  TempDir dir;
  const std::string path = dir.File("t.sdb");
  {
    SdbTable t;
    ASSERT_TRUE(MakeUserTable(t, path));
    for (int i = 0; i < 250; ++i) ASSERT_TRUE(AddUser(t, "pre" + std::to_string(i), i % 4));
    ASSERT_TRUE(AddUser(t, "base", 1));
  }
  const struct {
    Change change;
    int count_change;
    const char* present;
    const char* absent;
  } steps[] = {{Change::kAppend, 1, "r0", nullptr},
               {Change::kEdit, 0, "r1", "base"},
               {Change::kDelete, -1, nullptr, "r0"}};
  int count = 251;
  for (int round = 0; round < 3; ++round) {
    const auto& s = steps[round];
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) RunAndDie(path, s.change, round);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "round " << round;
    count += s.count_change;
    const std::set<std::string> names = CheckConsistent(path);
    EXPECT_EQ(static_cast<int>(names.size()), count) << "round " << round;
    if (s.present != nullptr) {
      EXPECT_TRUE(names.count(s.present)) << s.present;
    }
    if (s.absent != nullptr) {
      EXPECT_FALSE(names.count(s.absent)) << s.absent;
    }
  }
}

// The name record i of a writer ends up with: every fifth is renamed by an edit.
std::string FinalName(const std::string& prefix, int i) {
  return prefix + std::to_string(i) + (i % 5 == 4 ? "e" : "");
}

// One writer's share of the work: appends of its own names, and every few steps an edit or a
// delete of one of its own records. Returns the names it left in the table.
std::set<std::string> WriterWork(const std::string& path, const std::string& prefix, int steps,
                                 bool* failed) {
  SdbTable t;
  std::set<std::string> mine;
  if (!t.Open(path)) {
    *failed = true;
    return mine;
  }
  for (int i = 0; i < steps; ++i) {
    const std::string name = prefix + std::to_string(i);
    if (!AddUser(t, name, i % 5)) *failed = true;
    mine.insert(name);
    if (i % 4 == 3) {
      const std::string victim = FinalName(prefix, i - 2);
      if (!t.SeekText(1, victim) || !t.Delete()) *failed = true;
      mine.erase(victim);
    }
    if (i % 5 == 4) {
      const std::string edited = FinalName(prefix, i);
      if (!t.SeekText(1, name) || !t.SetFieldText(edited, "name") || !t.Edit()) *failed = true;
      mine.erase(name);
      mine.insert(edited);
    }
  }
  return mine;
}

TEST(SdbConcurrency, WritersInTwoProcessesLeaveAConsistentFile) {
  TempDir dir;
  const std::string path = dir.File("t.sdb");
  {
    SdbTable t;
    ASSERT_TRUE(MakeUserTable(t, path));
  }
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  constexpr int kSteps = 400;
  std::vector<pid_t> children;
  for (const char* prefix : {"a", "b"}) {
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(3);  // both start when the parent closes the pipe
      bool failed = false;
      WriterWork(path, prefix, kSteps, &failed);
      _exit(failed ? 1 : 0);
    }
    children.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer " << pid;
  }
  // Both writers' expected survivors: the same arithmetic as WriterWork, without a table.
  std::set<std::string> expected;
  for (const char* prefix : {"a", "b"}) {
    std::set<std::string> mine;
    for (int i = 0; i < kSteps; ++i) {
      mine.insert(prefix + std::to_string(i));
      if (i % 4 == 3) mine.erase(FinalName(prefix, i - 2));
      if (i % 5 == 4) {
        mine.erase(prefix + std::to_string(i));
        mine.insert(prefix + std::to_string(i) + "e");
      }
    }
    expected.insert(mine.begin(), mine.end());
  }
  EXPECT_EQ(CheckConsistent(path), expected);
}

TEST(SdbConcurrency, WritersAndReadersInThreadsOfOneProcess) {
  TempDir dir;
  const std::string path = dir.File("t.sdb");
  {
    SdbTable t;
    ASSERT_TRUE(MakeUserTable(t, path));
  }
  std::atomic<bool> done{false};
  std::atomic<int> reader_errors{0};
  std::thread reader([&] {
    SdbTable t;
    if (!t.Open(path)) ++reader_errors;
    while (!done.load()) {
      const auto names = Walk(t, 1);
      if (!std::is_sorted(names.begin(), names.end())) ++reader_errors;
      if (static_cast<int>(names.size()) > 3 * 200) ++reader_errors;
    }
  });
  bool failed[3] = {};
  std::set<std::string> left[3];
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      left[w] = WriterWork(path, std::string(1, static_cast<char>('p' + w)), 200, &failed[w]);
    });
  }
  for (auto& th : writers) th.join();
  done = true;
  reader.join();
  std::set<std::string> expected;
  for (int w = 0; w < 3; ++w) {
    EXPECT_FALSE(failed[w]) << "writer " << w;
    expected.insert(left[w].begin(), left[w].end());
  }
  EXPECT_EQ(reader_errors.load(), 0);
  EXPECT_EQ(CheckConsistent(path), expected);
}

}  // namespace
