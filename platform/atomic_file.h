#pragma once
// Replacing a whole file so that a crash leaves either the old or the new content, never a
// mix: the text goes to a temporary file beside it, is synced, renamed over the old one, and
// the directory is synced. Any thread; two writers of one path must be kept apart by the
// caller.
#include <sys/types.h>

#include <string>
#include <string_view>

namespace tw {

// Writes text as path with the given mode. False with *error ("Cannot write <path>: <why>")
// when any step fails; the old file is then untouched and no temporary file is left.
bool ReplaceFileAtomically(const std::string& path, std::string_view text, mode_t mode,
                           std::string* error);

}  // namespace tw
