#include "tests/program_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tests/test_files.h"

extern char** environ;

RunningProgram::RunningProgram(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const ProgramOptions& options) {
  // Everything the child needs is made before fork: after it, only calls
  // that are safe in a child of a possibly threaded process are made.
  std::vector<std::string> words = arguments;
  words.insert(words.begin(), program);
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(&word[0]);
  }
  argv.push_back(nullptr);
  char pattern[] = "/tmp/autoexp-stderr-XXXXXX";
  int errors = mkstemp(pattern);
  if (errors < 0) {
    throw std::runtime_error("mkstemp failed");
  }
  errors_ = pattern;
  struct rlimit fileSize = {options.fileSizeLimit, options.fileSizeLimit};
  struct rlimit addressSpace = {options.addressSpaceLimit, options.addressSpaceLimit};
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    variables.push_back(*variable);
  }
  if (!options.locale.empty()) {
    variables.push_back("LC_ALL=" + options.locale);
  }
  std::vector<char*> envp;
  for (std::string& variable : variables) {
    envp.push_back(&variable[0]);
  }
  envp.push_back(nullptr);
  // The read end goes before the fork, so that no process ever reads.
  int pipeEnds[2] = {-1, -1};
  if (options.closedStandardError) {
    if (pipe(pipeEnds) != 0) {
      throw std::runtime_error("pipe failed");
    }
    close(pipeEnds[0]);
  }

  pid_ = fork();
  if (pid_ == 0) {
    dup2(errors, 2);
    if (options.closedStandardError) {
      dup2(pipeEnds[1], 2);
    }
    signal(SIGXFSZ, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    setrlimit(RLIMIT_FSIZE, &fileSize);
    setrlimit(RLIMIT_AS, &addressSpace);
    if (options.user != static_cast<uid_t>(-1) &&
        (setgroups(0, nullptr) != 0 || setgid(options.user) != 0 || setuid(options.user) != 0)) {
      _exit(126);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(errors);
  if (options.closedStandardError) {
    close(pipeEnds[1]);
  }
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Finish();
  }
  if (!errors_.empty()) {
    unlink(errors_.c_str());
  }
}

Outcome RunningProgram::Finish() {
  Outcome outcome;
  int wait = 0;
  while (waitpid(pid_, &wait, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(wait)) {
    outcome.status = WEXITSTATUS(wait);
  } else if (WIFSIGNALED(wait)) {
    outcome.signal = WTERMSIG(wait);
  }
  std::string text = ReadBytes(errors_);
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    outcome.traces.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return outcome;
}

Outcome RunSetup(const std::vector<std::string>& arguments, const ProgramOptions& options) {
  return RunningProgram(AUTOEXP_SETUP_PATH, arguments, options).Finish();
}
