// The service host's two stored values (what the design kept in the registry), in the small
// key/value file "registry.ini" of the data directory, section [Settings], one decimal
// unsigned 32-bit value per key. A missing file, key or a value that is not a plain decimal
// number up to 4294967295 gives the default. Safe from any thread (profile file semantics).
#pragma once

#include <cstdint>
#include <string>

namespace tw {

constexpr char kRegistryFileName[] = "registry.ini";
constexpr char kRegistrySection[] = "Settings";

struct RegistryValue {
  const char* name;
  std::uint32_t default_value;
};

// 0: the service writes no log file; any other value: it appends to "kestrane.log".
inline constexpr RegistryValue kLogLevel{"LogLevel", 3};
// 0 time-critical, 1 highest, 2 above normal, 3 normal, 4 below normal, 5 lowest, 6 idle;
// any other value normal.
inline constexpr RegistryValue kThreadPriority{"ThreadPriority", 3};

std::string RegistryFilePath(const std::string& data_dir);
std::uint32_t ReadRegistryValue(const std::string& data_dir, const RegistryValue& value);
bool WriteRegistryValue(const std::string& data_dir, const RegistryValue& value,
                        std::uint32_t number, std::string* error);

// The nice value that stands for a ThreadPriority value on this system.
int ThreadPriorityNice(std::uint32_t priority);

}  // namespace tw
