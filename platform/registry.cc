#include "platform/registry.h"

#include <string_view>

#include "platform/profile.h"

namespace tw {
namespace {

// Strict: only digits, no sign, no overflow. A damaged value must not turn into some
// unrelated number, so it reads as "missing".
bool ParseDword(std::string_view text, std::uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  *out = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

std::string RegistryFilePath(const std::string& data_dir) {
  if (data_dir.empty()) return kRegistryFileName;
  if (data_dir.back() == '/') return data_dir + kRegistryFileName;
  return data_dir + "/" + kRegistryFileName;
}

std::uint32_t ReadRegistryValue(const std::string& data_dir, const RegistryValue& value) {
  std::string text = GetProfileString(kRegistrySection, value.name, "", RegistryFilePath(data_dir));
  std::uint32_t number = 0;
  return ParseDword(text, &number) ? number : value.default_value;
}

bool WriteRegistryValue(const std::string& data_dir, const RegistryValue& value,
                        std::uint32_t number, std::string* error) {
  return WriteProfileString(kRegistrySection, value.name, std::to_string(number),
                            RegistryFilePath(data_dir), error);
}

int ThreadPriorityNice(std::uint32_t priority) {
  static const int kNice[] = {-15, -10, -5, 0, 5, 10, 19};
  return priority < 7 ? kNice[priority] : 0;
}

}  // namespace tw
