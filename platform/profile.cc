#include "platform/profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

namespace tw {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// One line of the file without its line end, and what it is.
struct Line {
  std::string_view raw;
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string_view name;   // section name or key, trimmed
  std::string_view value;  // key lines: value, trimmed
};

Line Classify(std::string_view raw) {
  Line line;
  line.raw = raw;
  std::string_view t = Trim(raw);
  if (t.empty() || t.front() == ';') return line;
  if (t.front() == '[') {
    std::string_view inner = t.substr(1);
    std::size_t close = inner.find(']');
    line.kind = Line::kSection;
    line.name = Trim(inner.substr(0, close));
    return line;
  }
  std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return line;
  line.kind = Line::kKey;
  line.name = Trim(t.substr(0, eq));
  line.value = Trim(t.substr(eq + 1));
  return line;
}

// Splits text at '\n'; every '\r' just before it belongs to the line end, so rewriting a file
// with "\r\r\n" lines gives the same bytes each time. A last line without a line end is
// kept; an empty tail after the final '\n' is not a line.
std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::size_t content_end = end;
    while (content_end > pos && text[content_end - 1] == '\r') --content_end;
    lines.push_back(Classify(text.substr(pos, content_end - pos)));
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  return lines;
}

// Reads the whole file; nullopt when it cannot be read or is larger than kProfileFileMax.
// A missing file reads as empty with *missing set.
std::optional<std::string> ReadWholeFile(const std::string& path, bool* missing) {
  *missing = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) {
    if (errno == ENOENT) {
      *missing = true;
      return std::string();
    }
    return std::nullopt;
  }
  std::string data;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == -1 && errno == EINTR) continue;
    if (n == -1 || data.size() + static_cast<std::size_t>(n) > kProfileFileMax) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

std::string Cut(std::string_view v) {
  return std::string(v.substr(0, kProfileValueMax));
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string ErrnoText(const char* what, const std::string& path) {
  return std::string(what) + " '" + path + "': " + std::strerror(errno);
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Run as root (the service host, or kestrane started through pkexec by the console), a writer
// hands the file to the owner of the data: a replaced file keeps its owner, a new one takes
// its directory's, so that user's console can still read and write its settings. Without
// root rights files are the writer's anyway.
bool GiveToDataOwner(int fd, const std::string& path, const struct stat* replaced) {
  if (::geteuid() != 0) return true;
  struct stat owner {};
  if (replaced != nullptr) {
    owner = *replaced;
  } else if (::stat(DirectoryOf(path).c_str(), &owner) == -1) {
    return true;  // nothing to follow
  }
  struct stat now {};
  if (::fstat(fd, &now) == 0 && now.st_uid == owner.st_uid && now.st_gid == owner.st_gid) {
    return true;
  }
  return ::fchown(fd, owner.st_uid, owner.st_gid) == 0;
}

// Holds an exclusive flock on "<path>.lock" for its lifetime. The lock lives on a side file
// because the profile itself is replaced by rename, which would leave a lock on a dead inode.
class ProfileLock {
 public:
  explicit ProfileLock(const std::string& path) {
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ == -1) return;
    GiveToDataOwner(fd_, path + ".lock", nullptr);
    while (::flock(fd_, LOCK_EX) == -1) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~ProfileLock() {
    if (fd_ != -1) ::close(fd_);  // closing the last descriptor releases the lock
  }
  ProfileLock(const ProfileLock&) = delete;
  ProfileLock& operator=(const ProfileLock&) = delete;
  bool held() const { return fd_ != -1; }

 private:
  int fd_ = -1;
};

// The new file contents with section/key set to value.
std::string ReplaceKey(std::string_view old_text, std::string_view section, std::string_view key,
                       std::string_view value) {
  std::vector<Line> lines = SplitLines(old_text);
  std::size_t crlf = old_text.find("\r\n");
  std::size_t lf = old_text.find('\n');
  const char* eol = (crlf != std::string_view::npos && crlf + 1 == lf) ? "\r\n" : "\n";
  std::string key_line = std::string(key) + "=" + std::string(value);

  // Locate the first matching section, then the first matching key within it; remember the
  // last non-blank line of the section so that a new key goes before trailing blank lines.
  std::optional<std::size_t> section_at, key_at, last_filled;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Line& l = lines[i];
    if (l.kind == Line::kSection) {
      if (section_at) break;
      if (EqualNoCase(l.name, section)) {
        section_at = i;
        last_filled = i;
      }
      continue;
    }
    if (!section_at) continue;
    if (!Trim(l.raw).empty()) last_filled = i;
    if (l.kind == Line::kKey && EqualNoCase(l.name, key)) {
      key_at = i;
      break;
    }
  }

  std::string out;
  out.reserve(old_text.size() + key_line.size() + section.size() + 8);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (key_at && i == *key_at) {
      out += key_line;
    } else {
      out += lines[i].raw;
    }
    out += eol;
    if (!key_at && section_at && i == *last_filled) {
      out += key_line;
      out += eol;
    }
  }
  if (!section_at) {
    out += "[";
    out += section;
    out += "]";
    out += eol;
    out += key_line;
    out += eol;
  }
  return out;
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

int ParseLeadingInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (IsBlank(text[i]) || text[i] == '\n' || text[i] == '\r')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view default_text, const std::string& path) {
  bool missing = false;
  std::optional<std::string> text = ReadWholeFile(path, &missing);
  if (!text) return Cut(default_text);
  bool in_section = false;
  for (const Line& l : SplitLines(*text)) {
    if (l.kind == Line::kSection) {
      if (in_section) break;  // only the first section of that name counts
      in_section = EqualNoCase(l.name, section);
    } else if (in_section && l.kind == Line::kKey && EqualNoCase(l.name, key)) {
      return Cut(Unquote(l.value));
    }
  }
  return Cut(default_text);
}

int GetProfileInt(std::string_view section, std::string_view key, std::string_view default_text,
                  const std::string& path) {
  return ParseLeadingInt(GetProfileString(section, key, default_text, path));
}

bool WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                        const std::string& path, std::string* error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  std::string_view tsection = Trim(section), tkey = Trim(key);
  if (tsection.empty() || HasLineBreak(section) || tsection.find(']') != std::string_view::npos) {
    *error = "invalid section name";
    return false;
  }
  if (tkey.empty() || HasLineBreak(key) || tkey.find('=') != std::string_view::npos ||
      tkey.front() == '[' || tkey.front() == ';') {
    *error = "invalid key name";
    return false;
  }
  if (HasLineBreak(value)) {
    *error = "a value cannot hold a line break";
    return false;
  }

  ProfileLock lock(path);
  if (!lock.held()) {
    *error = ErrnoText("cannot lock", path + ".lock");
    return false;
  }
  bool missing = false;
  std::optional<std::string> old_text = ReadWholeFile(path, &missing);
  if (!old_text) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  // A new profile may hold passwords: owner only. A replaced one keeps the mode it had.
  mode_t mode = 0600;
  struct stat st {};
  if (!missing && ::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

  std::string new_text = ReplaceKey(*old_text, tsection, tkey, value);
  std::string tmp = path + ".XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd == -1) {
    *error = ErrnoText("cannot create a temporary file beside", path);
    return false;
  }
  bool ok = WriteAll(fd, new_text) && ::fchmod(fd, mode) == 0 &&
            GiveToDataOwner(fd, path, missing ? nullptr : &st) && ::fsync(fd) == 0;
  if (!ok) *error = ErrnoText("cannot write", tmp);
  if (::close(fd) == -1 && ok) {
    ok = false;
    *error = ErrnoText("cannot write", tmp);
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) == -1) {
    ok = false;
    *error = ErrnoText("cannot replace", path);
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

}  // namespace tw
