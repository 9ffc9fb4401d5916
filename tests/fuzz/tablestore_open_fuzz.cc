// Opens arbitrary bytes as a table file and walks every key both ways, reads every field,
// seeks, and makes one change of each kind. Any crash, sanitizer report, endless loop or
// absurd allocation is a fault of the table store.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tablestore/sdb_table.h"

namespace {

constexpr int kWalkCap = 1000000;

void Walk(SdbTable& t, int key, bool forward) {
  int steps = 0;
  for (bool ok = forward ? t.First(key) : t.Last(key); ok && steps < kWalkCap;
       ok = forward ? t.Next(key) : t.Prev(key)) {
    ++steps;
    for (int f = 0; f < t.FieldCount(); ++f) {
      t.GetFieldText(f);
      if (t.MemoLength(f) > 0 && t.OpenMemo(f)) {
        char buffer[256];
        t.ReadMemo(buffer, sizeof buffer, f);
      }
    }
  }
  if (steps >= kWalkCap) __builtin_trap();  // a walk that does not end
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("table", MFD_CLOEXEC);
  if (fd == -1) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  {
    SdbTable t;
    if (t.Open(path)) {
      for (int key = 0; key < t.KeyCount(); ++key) {
        Walk(t, key, true);
        Walk(t, key, false);
      }
      const char probe[16] = "abc";
      for (int key = 0; key < t.KeyCount(); ++key) t.Seek(key, probe, sizeof probe);
      if (t.First(0)) {
        for (int f = 0; f < t.FieldCount(); ++f) t.SetFieldText("7", f);
        t.Edit();
      }
      if (t.Last(t.KeyCount() - 1)) t.Delete();
      for (int f = 0; f < t.FieldCount(); ++f) t.SetFieldText("12", f);
      t.Append();
      t.LastValue();
    }
  }
  close(fd);
  return 0;
}
