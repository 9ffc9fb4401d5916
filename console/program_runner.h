#pragma once
// Runs another program to its end and reports what became of it: whether it could be started,
// its exit code (or the signal that ended it), and what it wrote to standard output and error,
// which are read through one pipe so the lines keep their order. Standard input is /dev/null:
// a program that would ask on a terminal (a text password prompt) fails instead of hanging the
// caller. The program gets its own process group; when the time limit passes the whole group
// is killed and the run is reported as timed out.
//
// Blocks the calling thread until the program ends or the time limit passes. Safe from any
// thread; it touches no shared state. Nothing is run through a shell: argv[0] is looked up in
// PATH when it holds no "/", and every argument reaches the program as it is.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tw {

// At most this much output is kept; the rest is read and dropped, so a chatty program can
// neither fill the pipe and stall nor grow the caller's memory.
constexpr std::size_t kMaxProgramOutput = 16 * 1024;

struct ProgramOutcome {
  bool started = false;  // false: it could not be run; `error` says why
  bool exited = false;   // it ended by itself; exit_code holds its code
  int exit_code = -1;
  int signal = 0;          // the signal that ended it, when not exited
  bool timed_out = false;  // killed after the time limit
  std::string output;      // standard output and error, at most kMaxProgramOutput bytes
  std::string error;       // why it could not be started (or waited for)

  bool Succeeded() const { return started && exited && exit_code == 0; }
};

// Runs argv (argv[0] is the program) and waits at most time_limit_ms for it.
ProgramOutcome RunProgram(const std::vector<std::string>& argv, int time_limit_ms);

// How the console runs programs; tests hand in their own.
using ProgramRunner = std::function<ProgramOutcome(const std::vector<std::string>& argv)>;

}  // namespace tw
