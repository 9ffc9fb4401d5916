#pragma once
// Strict reads of the fields of a JSON object from the browser, for the from_json functions of
// the console's value types. Every read throws a std::exception (nlohmann::json's own or
// std::out_of_range) when the field is missing, of another type, or a number that does not fit.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace tw {

// An integer that fits 32 bits; a fraction or a larger number is refused. `what` names the
// value in the exception's text.
std::int32_t Int32Value(const nlohmann::json& v, const char* what);
std::int32_t Int32Field(const nlohmann::json& j, const char* key);
bool BoolField(const nlohmann::json& j, const char* key);
std::string TextField(const nlohmann::json& j, const char* key);

}  // namespace tw
