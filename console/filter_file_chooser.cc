#include "console/filter_file_chooser.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>

#include "console/start_at_logon.h"
#include "platform/ascii_text.h"

namespace tw {

namespace {

constexpr char kOutsideRoots[] =
    "The filter file must lie in the data directory or in your home directory.";

// The resolved path (links and ".." followed), or "" when it does not exist.
std::string Canonical(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos || path.size() >= PATH_MAX) return "";
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return "";
  return resolved;
}

bool InsideRoots(const std::string& canonical, const std::vector<std::string>& roots) {
  for (const std::string& root : roots) {
    if (canonical == root) return true;
    std::string prefix = root == "/" ? root : root + "/";
    if (canonical.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

bool HasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

bool IsTextFileName(const std::string& name) {
  return name.size() > 4 && EqualsNoCase(std::string_view(name).substr(name.size() - 4), ".txt");
}

}  // namespace

std::vector<std::string> FilterFileRoots(const std::string& data_dir) {
  std::vector<std::string> roots;
  for (const std::string& dir : {data_dir, HomeDirectory()}) {
    std::string c = Canonical(dir);
    struct stat st;
    if (c.empty() || stat(c.c_str(), &st) == -1 || !S_ISDIR(st.st_mode)) continue;
    if (std::find(roots.begin(), roots.end(), c) == roots.end()) roots.push_back(c);
  }
  return roots;
}

bool CheckFilterFilePath(const std::string& path, const std::vector<std::string>& roots,
                         std::size_t max_length, std::size_t max_bytes, std::string* canonical,
                         std::string* error) {
  if (path.empty()) {
    *error = "Please choose the filter file.";
    return false;
  }
  if (path[0] != '/' || path.size() > max_length || HasControl(path)) {
    *error = "The filter file must be given as a full path of at most " +
             std::to_string(max_length) + " characters.";
    return false;
  }
  std::string c = Canonical(path);
  struct stat st;
  if (c.empty() || stat(c.c_str(), &st) == -1 || !S_ISREG(st.st_mode)) {
    *error = "The filter file does not exist or is no regular file.";
    return false;
  }
  if (!InsideRoots(c, roots)) {
    *error = kOutsideRoots;
    return false;
  }
  if (c.size() > max_length) {
    *error =
        "The filter file's full path is longer than " + std::to_string(max_length) + " characters.";
    return false;
  }
  if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    *error = "The filter file is larger than " + std::to_string(max_bytes / 1024) +
             " KB; the proxies read no more than that.";
    return false;
  }
  *canonical = std::move(c);
  return true;
}

bool ListFilterFileFolder(const std::string& folder, const std::vector<std::string>& roots,
                          bool text_only, FolderListing* out, std::string* error) {
  *out = FolderListing{};
  if (folder.empty()) {
    for (const std::string& root : roots) out->entries.push_back({root, root, true});
    return true;
  }
  std::string c = Canonical(folder);
  if (c.empty() || !InsideRoots(c, roots)) {
    *error = kOutsideRoots;
    return false;
  }
  DIR* dir = opendir(c.c_str());
  if (dir == nullptr) {
    *error = "The folder cannot be read.";
    return false;
  }
  out->folder = c;
  if (std::find(roots.begin(), roots.end(), c) == roots.end()) {
    out->parent = c.substr(0, std::max<std::size_t>(c.rfind('/'), 1));
  }
  std::string base = c == "/" ? c : c + "/";
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || HasControl(name)) continue;
    if (out->entries.size() == kMaxFolderEntries) {
      out->truncated = true;
      break;
    }
    struct stat st;
    std::string path = base + name;
    if (stat(path.c_str(), &st) == -1) continue;
    bool is_folder = S_ISDIR(st.st_mode);
    if (!is_folder && (!S_ISREG(st.st_mode) || (text_only && !IsTextFileName(name)))) continue;
    out->entries.push_back({std::move(name), std::move(path), is_folder});
  }
  closedir(dir);
  std::sort(out->entries.begin(), out->entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) {
              return a.folder != b.folder ? a.folder : a.name < b.name;
            });
  return true;
}

}  // namespace tw
