#pragma once
// Standard Base64 (RFC 4648 alphabet, "=" padding), as HTTP Basic logins and SMTP AUTH LOGIN
// carry user names and passwords. Decoding accepts a missing padding and refuses any other
// character, a misplaced "=" and a lone character in the last group; *out is then left empty.
#include <string>
#include <string_view>

namespace tw {

std::string Base64Encode(std::string_view data);
bool Base64Decode(std::string_view text, std::string* out);

}  // namespace tw
