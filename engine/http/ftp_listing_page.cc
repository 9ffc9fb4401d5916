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

}  // namespace

std::string ListingToHtml(std::string_view listing, std::string_view path) {
  std::string dir(path);
  if (dir.empty() || dir.back() != '/') dir.push_back('/');
  std::string link_dir = LinkText(dir);
  std::string page = "<html><body><h2>Directory of " + HtmlText(dir) + "</h2><hr>";
  if (dir != "/") page += "<A HREF=\"" + link_dir + "..\">Up</A><BR><BR>";
  page += "<pre>";
  while (!listing.empty()) {
    size_t eol = listing.find('\n');
    std::string_view line = listing.substr(0, eol);
    listing.remove_prefix(eol == std::string_view::npos ? listing.size() : eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    ListingEntry e = ParseLine(line);
    std::string link = link_dir + LinkText(e.name);
    std::string name = HtmlText(e.name);
    if (line[0] == 'd') {
      page += HtmlText(e.date) + "    DIR  <a href=" + link + "><b>" + name + "</b></a>\r\n";
    } else {
      page += HtmlText(e.date) + "    " + HtmlText(e.size) + "  <a href=" + link + ">" + name +
              "</a>\r\n";
    }
  }
  page += "</pre></body></html>";
  return page;
}

}  // namespace tw
