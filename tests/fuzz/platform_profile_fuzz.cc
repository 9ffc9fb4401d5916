// Reads arbitrary bytes as a settings file (option.ini) and writes one key into it. Checks what
// the loaders rely on: a value never passes its length, a key written is read back as written,
// the keys the input already had keep their values (a write changes nothing else), and a write
// to the same key twice leaves the file as the first write made it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/ascii_text.h"
#include "platform/profile.h"
#include "tests/support/scratch_dir.h"

namespace {

// The first "[section]" of the text and the first "key=" line after it; false when none.
bool FirstKey(std::string_view text, std::string* section, std::string* key) {
  size_t open = text.find('[');
  size_t close = text.find(']', open == std::string_view::npos ? 0 : open);
  if (open == std::string_view::npos || close == std::string_view::npos) return false;
  *section = std::string(text.substr(open + 1, close - open - 1));
  size_t line = text.find('\n', close);
  if (line == std::string_view::npos) return false;
  std::string_view rest = text.substr(line + 1);
  size_t eq = rest.find('=');
  if (eq == std::string_view::npos || rest.substr(0, eq).find('\n') != std::string_view::npos)
    return false;
  *key = std::string(rest.substr(0, eq));
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path =
      tw::test::ScratchDirRemovedAtExit("tw-profile-fuzz") + "/option.ini";
  std::string_view text(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  std::string section, key;
  bool has_key = FirstKey(text, &section, &key);
  std::string before;
  if (has_key) {
    before = tw::GetProfileString(section, key, "<none>", path);
    if (before.size() > tw::kProfileValueMax) abort();
    tw::GetProfileInt(section, key, "0", path);
  }

  // A key of our own, written twice: read back as written, the input's key unchanged, and the
  // second write changes no byte.
  std::string error;
  if (!tw::WriteProfileString("Fuzz", "written", "value 1", path, &error)) return 0;
  if (tw::GetProfileString("Fuzz", "written", "", path) != "value 1") abort();
  if (has_key && !tw::EqualsNoCase(section, "Fuzz") &&
      tw::GetProfileString(section, key, "<none>", path) != before) {
    abort();
  }
  std::string once = ReadFile(path);
  if (!tw::WriteProfileString("Fuzz", "written", "value 1", path, &error)) abort();
  if (ReadFile(path) != once) abort();
  return 0;
}
