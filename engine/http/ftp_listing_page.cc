#include "engine/http/ftp_listing_page.h"

#include <cstdio>

namespace tw {

namespace {

std::string HtmlText(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

// A link target for an unquoted attribute: a blank becomes "%20", and every character that
// could end the attribute, start markup, or be read as part of the URL's syntax is encoded.
std::string LinkText(std::string_view text) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == ' ') {
      out += "%20";
    } else if (u < 0x20 || u == 0x7f || c == '"' || c == '\'' || c == '<' || c == '>' || c == '&' ||
               c == '%' || c == '=' || c == '`' || c == '#' || c == '?') {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", u);
      out += buf;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

struct ListingEntry {
  std::string_view size;
  std::string date;  // three fields, each followed by one blank
  std::string_view name;
};

// Unix-style line: fields 5 (size), 6-8 (date) and the rest (name, blanks included). A line
// with fewer fields is all name.
ListingEntry ParseLine(std::string_view line) {
  ListingEntry e;
  size_t pos = 0;
  std::string_view fields[8];
  for (int i = 0; i < 8; ++i) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    size_t end = line.find(' ', pos);
    if (pos >= line.size() || end == std::string_view::npos) {
      size_t start = line.find_first_not_of(' ');
      e.name = start == std::string_view::npos ? std::string_view() : line.substr(start);
      return e;
    }
    fields[i] = line.substr(pos, end - pos);
    pos = end;
  }
  e.size = fields[4];
  for (int i = 5; i < 8; ++i) {
    e.date.append(fields[i]);
    e.date.push_back(' ');
  }
  e.name = line.substr(pos + 1);
  return e;
}

// One listing line as a page line.
void AppendLine(std::string_view line, std::string* out) {
  ListingEntry e = ParseLine(line);
  // "./" keeps a name that holds ":" or starts with "//" a path below the base.
  std::string link = "./" + LinkText(e.name);
  std::string name = HtmlText(e.name);
  if (line[0] == 'd') {
    *out += HtmlText(e.date) + "    DIR  <a href=" + link + "><b>" + name + "</b></a>\r\n";
  } else {
    *out += HtmlText(e.date) + "    " + HtmlText(e.size) + "  <a href=" + link + ">" + name +
            "</a>\r\n";
  }
}

}  // namespace

ListingPage::ListingPage(std::string_view listing, std::string_view path)
    : listing_(listing), dir_(path) {
  if (dir_.empty() || dir_.back() != '/') dir_.push_back('/');
}

bool ListingPage::Next(std::string* out) {
  out->clear();
  switch (stage_) {
    case Stage::kHead: {
      // A base of "//host/" would name another server: "/." keeps it a path of this one.
      std::string base = LinkText(dir_);
      if (base.rfind("//", 0) == 0) base.insert(0, "/.");
      *out = "<html><head><base href=\"" + base + "\"></head><body><h2>Directory of " +
             HtmlText(dir_) + "</h2><hr>";
      if (dir_ != "/") *out += "<A HREF=\"../\">Up</A><BR><BR>";
      *out += "<pre>";
      stage_ = Stage::kLines;
      return true;
    }
    case Stage::kLines:
      while (offset_ < listing_.size() && out->size() < kPieceBytes) {
        std::string_view rest = listing_.substr(offset_);
        size_t eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        offset_ += eol == std::string_view::npos ? rest.size() : eol + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) AppendLine(line, out);
      }
      if (offset_ >= listing_.size()) stage_ = Stage::kTail;
      if (!out->empty()) return true;
      return Next(out);
    case Stage::kTail:
      *out = "</pre></body></html>";
      stage_ = Stage::kDone;
      return true;
    case Stage::kDone:
      return false;
  }
  return false;
}

size_t ListingPage::TotalSize() const {
  ListingPage copy = *this;
  copy.offset_ = 0;
  copy.stage_ = Stage::kHead;
  std::string piece;
  size_t total = 0;
  while (copy.Next(&piece)) total += piece.size();
  return total;
}

std::string ListingToHtml(std::string_view listing, std::string_view path) {
  ListingPage page(listing, path);
  std::string whole, piece;
  while (page.Next(&piece)) whole += piece;
  return whole;
}

}  // namespace tw
