#include "console/user_account_file.h"

#include <cctype>

#include "config/account_tables.h"
#include "console/account_pickers.h"
#include "console/user_account_page.h"
#include "platform/profile.h"

namespace tw {

namespace {

constexpr int kNameKey = 1;

std::string Quoted(std::string_view value) {
  std::string text(value);
  if (text.find(',') != std::string::npos) text = "\"" + text + "\"";
  return text;
}

std::string WithoutLineBreaks(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

// Trailing white space off, then one pair of enclosing quotes.
std::string Cleaned(std::string_view value) {
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
    value.remove_suffix(1);
  }
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

bool Blank(std::string_view line) {
  for (char c : line) {
    if (!std::isspace(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Why a line gives no account, or an empty text when *user was added.
std::string ImportLine(const UserTable& table, std::string_view line, UserRecord* user) {
  if (line.size() > kMaxImportLineBytes) {
    return "The line is longer than " + std::to_string(kMaxImportLineBytes) + " characters.";
  }
  std::vector<std::string> values = SplitImportLine(line);
  if (values.empty()) return "The line holds no comma.";
  *user = UserFromImportValues(values);
  if (user->userid.empty()) return "The user name is empty.";
  std::string refusal = UserRefusal(*user);
  if (!refusal.empty()) return refusal;
  UserRecord holder;
  if (table.FindByName(user->userid, &holder)) {
    return "The user name \"" + user->userid + "\" already exists.";
  }
  std::string error;
  if (!table.Add(user, &error)) return "The user could not be added: " + error;
  return {};
}

}  // namespace

std::string UserExportLine(const UserRecord& u, std::string_view admin) {
  const AccountRules& r = u.rules;
  std::string line = Quoted(u.userid) + "," + Quoted(u.passwd) + "," + Quoted(u.email) + "," +
                     Quoted(u.name) + "," + std::to_string(u.group) + "," +
                     std::to_string(u.enable) + "," + Quoted(WithoutLineBreaks(u.notes)) + ",";
  for (std::int32_t n : {r.download_limit, r.download_speed, r.upload_limit, r.upload_speed}) {
    line += std::to_string(n) + ",";
  }
  line += admin;
  line += '\n';
  return line;
}

bool ExportUsers(const std::string& data_dir, std::string* text, std::string* error) {
  std::vector<UserRecord> users;
  text->clear();
  if (!UserTable(data_dir).List(&users, error, kNameKey, kMaxListedAccounts)) return false;
  *text = kUserExportHeader;
  for (const UserRecord& u : users) *text += UserExportLine(u);
  return true;
}

std::vector<std::string> SplitImportLine(std::string_view line) {
  std::vector<std::size_t> commas;
  std::size_t quotes = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') ++quotes;
    if (line[i] == ',' && quotes % 2 == 0) commas.push_back(i);
  }
  std::vector<std::string> values;
  if (commas.empty()) return values;
  // n commas give n values: the last one runs from after comma n-1 to the end of the line.
  std::size_t start = 0;
  for (std::size_t k = 0; k + 1 < commas.size(); ++k) {
    values.push_back(Cleaned(line.substr(start, commas[k] - start)));
    start = commas[k] + 1;
  }
  values.push_back(Cleaned(line.substr(start)));
  return values;
}

UserRecord UserFromImportValues(const std::vector<std::string>& values) {
  UserRecord u;
  u.enable = 0;
  std::string* texts[] = {&u.userid, &u.passwd, &u.email, &u.name};
  std::int32_t* numbers[] = {&u.rules.download_limit, &u.rules.download_speed,
                             &u.rules.upload_limit, &u.rules.upload_speed};
  for (std::size_t k = 0; k < values.size() && k < 11; ++k) {
    const std::string& v = values[k];
    if (k < 4) {
      *texts[k] = v;
    } else if (k == 4) {
      u.group = ParseLeadingInt(v);
    } else if (k == 5) {
      u.enable = ParseLeadingInt(v);
    } else if (k == 6) {
      u.notes = v;
    } else {
      *numbers[k - 7] = ParseLeadingInt(v);
    }
  }
  return u;
}

std::string ImportReport::Text() const {
  std::string text = std::to_string(imported) + (imported == 1 ? " account" : " accounts") +
                     " imported, " + std::to_string(skipped) + " skipped.";
  for (const std::string& reason : reasons) text += "\n" + reason;
  if (skipped > reasons.size()) {
    text += "\n(" + std::to_string(skipped - reasons.size()) + " more lines skipped.)";
  }
  return text;
}

ImportReport ImportUsers(const std::string& data_dir, std::string_view text) {
  ImportReport report;
  auto skip = [&report](std::size_t line_number, const std::string& why) {
    ++report.skipped;
    if (report.reasons.size() < kMaxImportReasons) {
      report.reasons.push_back("Line " + std::to_string(line_number) + ": " + why);
    }
  };
  if (text.size() > kMaxImportBytes) {
    skip(1, "The file is larger than " + std::to_string(kMaxImportBytes / (1024 * 1024)) +
                " MiB; nothing was imported.");
    return report;
  }
  UserTable table(data_dir);
  std::size_t line_number = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++line_number;
    if (line_number == 1 && line.find("userid") != std::string_view::npos) continue;
    if (Blank(line)) continue;
    if (line_number > kMaxImportLines) {
      skip(line_number, "Only the first " + std::to_string(kMaxImportLines) +
                            " lines are read; the rest of the file was not imported.");
      break;
    }
    UserRecord user;
    std::string why = ImportLine(table, line, &user);
    if (why.empty()) {
      ++report.imported;
    } else {
      skip(line_number, why);
    }
  }
  return report;
}

}  // namespace tw
