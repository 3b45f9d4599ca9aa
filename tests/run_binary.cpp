#include "run_binary.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
  const int watch = options.signal ? inotify_init1(IN_CLOEXEC) : -1;
  if (watch >= 0) inotify_add_watch(watch, options.signalWhileWritingIn.c_str(), IN_CREATE);
  pollfd fds[3] = {{options.stdoutClosedByReader ? -1 : outPipe[0], POLLIN, 0},
                   {errPipe[0], POLLIN, 0},
                   {watch, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = options.stdoutClosedByReader ? 1 : 2;
  while (open > 0) {
    if (poll(fds, 3, -1) < 0) break;
    if (fds[2].fd >= 0 && (fds[2].revents & POLLIN)) {
      alignas(inotify_event) char events[4096];
      const ssize_t n = read(fds[2].fd, events, sizeof events);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->len > 0 && event->name[0] == '.') {
          kill(pid, options.signal);
          close(fds[2].fd);
          fds[2].fd = -1;
          break;
        }
        at += ssize_t(sizeof(inotify_event) + event->len);
      }
    }
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
  }
  if (fds[2].fd >= 0) close(fds[2].fd);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

}  // namespace plumvane::testing
