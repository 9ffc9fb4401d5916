#pragma once
// The web filter's file choice: a path on this machine, typed or picked with a chooser that
// only shows the data directory and the console user's home directory and what lies below
// them. A saved path is checked the same way, so neither a typed path nor "..", nor a link
// leading elsewhere, makes the proxies read a file outside those two folders.
//
// Any thread; nothing is kept between calls.
#include <cstddef>
#include <string>
#include <vector>

namespace tw {

// Folder entries listed at most; a larger folder is cut (listing.truncated).
constexpr std::size_t kMaxFolderEntries = 2000;

// The folders a filter file may lie in, each as its canonical path: the data directory and the
// home directory ($HOME, else the password database), when they exist.
std::vector<std::string> FilterFileRoots(const std::string& data_dir);

// Checks a filter file path: absolute, at most max_length bytes, naming an existing regular
// file of at most max_bytes inside one of roots once every link and ".." is resolved. On
// success *canonical holds the resolved path; else *error says why.
bool CheckFilterFilePath(const std::string& path, const std::vector<std::string>& roots,
                         std::size_t max_length, std::size_t max_bytes, std::string* canonical,
                         std::string* error);

struct FolderEntry {
  std::string name;
  std::string path;  // full path, for the next listing or the choice
  bool folder = false;
};

struct FolderListing {
  std::string folder;                // canonical; empty = the list of roots
  std::string parent;                // empty at a root (go back to the roots)
  std::vector<FolderEntry> entries;  // folders first, then files, each by name
  bool truncated = false;
};

// The entries of folder (empty: the roots themselves). text_only keeps only files ending in
// ".txt" (any case) besides the folders. Refuses a folder outside the roots.
bool ListFilterFileFolder(const std::string& folder, const std::vector<std::string>& roots,
                          bool text_only, FolderListing* out, std::string* error);

}  // namespace tw
