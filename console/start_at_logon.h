#pragma once
// Starting the console when the user logs in: an XDG autostart entry, tarnwick.desktop in
// $XDG_CONFIG_HOME/autostart/ (~/.config/autostart/ when the variable is unset, empty or not
// an absolute path), whose command runs the console on its data directory. The console's own
// Minimize option decides, as at any start, whether it opens the browser.
//
// One entry per user: setting it again replaces the command. Writes are atomic (a temporary
// file renamed into place) and the entry is private to its owner. Safe from any thread that
// does not change the environment at the same time.
#include <string>
#include <vector>

namespace tw {

constexpr char kAutostartFileName[] = "tarnwick.desktop";

// What the entry starts: the console program and its data directory, both absolute paths, and
// any further arguments the console wants at logon.
struct AutostartCommand {
  std::string program;
  std::string data_dir;
  std::vector<std::string> extra_arguments;
};

// The user's home directory: $HOME when it is an absolute path, else the password database's
// entry; empty when neither is known.
std::string HomeDirectory();

// The autostart folder from the environment; empty when neither XDG_CONFIG_HOME nor a home
// directory is known.
std::string AutostartDirectory();

// The entry's text, or false with *error when a path or argument cannot be written into one
// (not absolute, a control character, or longer than 4096 bytes).
bool AutostartEntryText(const AutostartCommand& command, std::string* text, std::string* error);

// Sets (on) or deletes (off) the entry in directory `dir` (empty: AutostartDirectory()).
// Deleting an entry that is not there succeeds. False with *error when the folder or file
// cannot be made or removed.
bool SetStartAtLogon(bool on, const AutostartCommand& command, std::string* error,
                     const std::string& dir = {});

// True when the entry is present in `dir` (empty: AutostartDirectory()).
bool StartAtLogonIsSet(const std::string& dir = {});

}  // namespace tw
