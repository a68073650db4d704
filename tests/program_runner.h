#ifndef AUTOEXP_TESTS_PROGRAM_RUNNER_H_
#define AUTOEXP_TESTS_PROGRAM_RUNNER_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

// Runs a program the way a setup does, as a process of its own, and collects
// what it leaves: the exit status and the lines it traced to standard error.

struct ProgramOptions {
  // RLIMIT_FSIZE and RLIMIT_AS for the program. It starts with every signal
  // at its default disposition, as a setup would start it, so a write beyond
  // the file-size limit kills it with SIGXFSZ unless it takes care.
  rlim_t fileSizeLimit = RLIM_INFINITY;
  rlim_t addressSpaceLimit = RLIM_INFINITY;
  // Standard error a pipe whose reader has gone, so that a trace gets EPIPE
  // (and, unless the program takes care, SIGPIPE).
  bool closedStandardError = false;
  // LC_ALL for the program; empty keeps the caller's.
  std::string locale;
  // Run as this user and group (root only), to see what a user without
  // root's powers gets; -1 keeps the caller's.
  uid_t user = static_cast<uid_t>(-1);
};

struct Outcome {
  int status = -1;  // the exit status; -1 when a signal ended the program
  int signal = 0;   // the signal that ended it, if one did
  std::vector<std::string> traces;
};

// A started program; Finish waits for it.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::vector<std::string>& arguments,
                 const ProgramOptions& options = {});
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return pid_; }
  Outcome Finish();

 private:
  pid_t pid_ = -1;
  std::string errors_;
};

// The program under test, started and waited for.
Outcome RunSetup(const std::vector<std::string>& arguments, const ProgramOptions& options = {});

// The user that the tests run as when they must not be root.
constexpr uid_t kNobody = 65534;

#endif  // AUTOEXP_TESTS_PROGRAM_RUNNER_H_
