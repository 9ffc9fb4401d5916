// The data directory: where option.ini, the .sdb tables, the refusal pages, log/ and
// kestrane.log live. By default the directory of the running program; both programs accept
// "--data DIR" (or "--data=DIR") to name another. Paths are joined with "/".
#pragma once

#include <string>
#include <string_view>

namespace tw {

// The directory of the running executable (from /proc/self/exe), without a trailing "/";
// "." when it cannot be determined.
std::string ProgramDirectory();

// Looks for "--data DIR" or "--data=DIR" among argv[1..argc-1]. Only whole arguments count:
// "--data" inside the program path or inside another option's value is not a switch.
// Sets *data_dir to DIR (trailing slashes removed) or, without the switch, to
// ProgramDirectory(). False with *error when the switch has no value.
bool DataDirFromArguments(int argc, const char* const* argv, std::string* data_dir,
                          std::string* error);

// data_dir + "/" + file_name (no doubled "/"); file_name alone when data_dir is empty.
std::string DataFilePath(std::string_view data_dir, std::string_view file_name);

}  // namespace tw
