#pragma once
// Export and import of the User Account page: user.sdb as comma-separated text.
//
// Export writes a header line and one line of twelve values per user in user-name order:
// userid, passwd, email, name, group (id), enable, notes, download_limit, download_speed,
// upload_limit, upload_speed, admin. A text value holding a comma is put in double quotes
// (inner quotes stay as they are); line breaks in the notes become blanks. Tables made by this
// system have no "admin" field, which then exports empty.
//
// Import reads such a file line by line: a first line holding "userid" is the header; a line
// is split at the commas outside double quotes, counting the quotes afresh on every line so a
// stray quote changes only its own line. With n such commas the line gives n values, the last
// being the rest of the line after the (n-1)-th comma (so an exported line's last value is
// "upload_speed,admin" and its leading number is the upload speed). Each value loses trailing
// white space and one pair of enclosing quotes; value k goes to the k-th of userid, passwd,
// email, name, group, enable, notes, download_limit, download_speed, upload_limit,
// upload_speed, numbers taking the leading decimal number of their text. Each accepted line
// appends one record; a line that cannot be one is skipped and its reason reported.
//
// Pure functions, apart from ExportUsers and ImportUsers, which read or write user.sdb and run
// on the owner thread.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/account_records.h"

namespace tw {

constexpr char kUserExportHeader[] =
    "userid,password,email,name,group,status,notes,download limit,download speed,upload "
    "limit,upload speed\n";

constexpr std::size_t kMaxImportBytes = 16u * 1024 * 1024;  // a larger file is refused whole
constexpr std::size_t kMaxImportLineBytes = 64u * 1024;     // a longer line is skipped
constexpr std::size_t kMaxImportLines = 100000;             // later lines are not read
constexpr std::size_t kMaxImportReasons = 100;              // reasons listed one by one

// One exported line, "\n" included.
std::string UserExportLine(const UserRecord& user, std::string_view admin = {});

// The whole file; false with *error when the user table cannot be read.
bool ExportUsers(const std::string& data_dir, std::string* text, std::string* error);

// The values of one import line (without its line end), as described above; empty for a line
// without a separating comma.
std::vector<std::string> SplitImportLine(std::string_view line);

// The record a line's values make: fields the line does not reach stay 0 or empty (so a user
// without a status value is disabled).
UserRecord UserFromImportValues(const std::vector<std::string>& values);

struct ImportReport {
  std::size_t imported = 0;
  std::size_t skipped = 0;
  std::vector<std::string> reasons;  // "Line 3: ...", at most kMaxImportReasons

  // "N accounts imported, M skipped." then one reason a line, and how many more there were.
  std::string Text() const;
};

// Appends the accounts of the file's text to user.sdb. Blank lines are passed over; a
// header, a line without a comma, a line too long, a user name that is empty, refused by
// UserRefusal or already taken, and a failing write skip their line. Never changes an
// existing record.
ImportReport ImportUsers(const std::string& data_dir, std::string_view text);

}  // namespace tw
