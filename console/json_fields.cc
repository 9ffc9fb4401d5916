#include "console/json_fields.h"

#include <limits>
#include <stdexcept>

namespace tw {

std::int32_t Int32Value(const nlohmann::json& v, const char* key) {
  if (!v.is_number_integer()) throw std::out_of_range(std::string(key) + " is not a whole number");
  if (v.is_number_unsigned()) {
    if (v.get<std::uint64_t>() >
        static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      throw std::out_of_range(std::string(key) + " is too large");
    }
    return static_cast<std::int32_t>(v.get<std::uint64_t>());
  }
  std::int64_t n = v.get<std::int64_t>();
  if (n < std::numeric_limits<std::int32_t>::min() ||
      n > std::numeric_limits<std::int32_t>::max()) {
    throw std::out_of_range(std::string(key) + " is out of range");
  }
  return static_cast<std::int32_t>(n);
}

std::int32_t Int32Field(const nlohmann::json& j, const char* key) {
  return Int32Value(j.at(key), key);
}

bool BoolField(const nlohmann::json& j, const char* key) {
  return j.at(key).get<bool>();
}

std::string TextField(const nlohmann::json& j, const char* key) {
  return j.at(key).get<std::string>();
}

}  // namespace tw
