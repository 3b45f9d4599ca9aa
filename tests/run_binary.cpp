#include "run_binary.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>

namespace plumvane::testing {

RunResult runPlumvane(const std::vector<std::string>& args, const RunOptions& options) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
  if (options.stdoutClosedByReader) close(outPipe[0]);
  const pid_t pid = fork();
  if (pid == 0) {
    if (!options.stdoutPath.empty()) {
      const int out = open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, STDOUT_FILENO);
    } else {
      dup2(outPipe[1], STDOUT_FILENO);
    }
    dup2(errPipe[1], STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    if (!options.stdoutClosedByReader) close(outPipe[0]);
    close(errPipe[0]);
    // The test runner may ignore SIGPIPE; the binary starts with the default, as from a shell.
    std::signal(SIGPIPE, SIG_DFL);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
    if (options.memoryLimit > 0) {
      const rlimit limit{options.memoryLimit, options.memoryLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(PLUMVANE_BINARY));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(PLUMVANE_BINARY, argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult result;
  pollfd fds[2] = {{options.stdoutClosedByReader ? -1 : outPipe[0], POLLIN, 0},
                   {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = options.stdoutClosedByReader ? 1 : 2;
  bool signalled = false;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, size_t(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
    if (options.signal && !signalled &&
        std::count(result.out.begin(), result.out.end(), '\n') >= options.signalAfter) {
      kill(pid, options.signal);
      signalled = true;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

RunResult runPlumvane(const std::vector<std::string>& args, const std::string& cwd,
                      const std::vector<std::pair<std::string, std::string>>& env,
                      size_t memoryLimit) {
  RunOptions options;
  options.cwd = cwd;
  options.env = env;
  options.memoryLimit = memoryLimit;
  return runPlumvane(args, options);
}

}  // namespace plumvane::testing
