// INI profile files ("option.ini" and the like): sections in square brackets, key=value lines.
// Sections and keys match without regard to ASCII case; keys and values are trimmed of blanks
// and one pair of surrounding quotes is dropped from a value; a value is cut to 255 characters.
// Files with CRLF or LF line ends are read alike. Reads never fail: a missing file, section or
// key gives the default. A write keeps every other line byte for byte and replaces the file
// atomically (temporary file + rename) while holding an exclusive lock on "<file>.lock", so
// writers in several threads or processes never lose each other's keys. A file the write
// creates is 0600 (as root: its directory's owner's); a replaced one keeps its mode and owner.
// All functions are safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tw {

constexpr std::size_t kProfileValueMax = 255;              // 256-byte buffer, terminator
constexpr std::size_t kProfileFileMax = 16 * 1024 * 1024;  // larger files are not read

// The value of key in section, or default_text; at most kProfileValueMax characters.
std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view default_text, const std::string& path);

// The decimal value of GetProfileString (leading blanks, optional sign, leading digits;
// no digits gives 0; out-of-range values saturate).
int GetProfileInt(std::string_view section, std::string_view key, std::string_view default_text,
                  const std::string& path);

// The decimal value of the leading digits of text, as GetProfileInt converts it.
int ParseLeadingInt(std::string_view text);

// Sets key in section to value, adding the section or key when missing. Refuses (false and a
// text in *error) names or values that would break the line structure (line breaks, a "=" in
// the key, a "]" in the section) and files it cannot read back or replace.
bool WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                        const std::string& path, std::string* error);

}  // namespace tw
