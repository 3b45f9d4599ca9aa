#include "platform/process/signals.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace plumvane {
namespace {

struct Ending {
  int status = -1;  // exit status, or -1
  int signal = 0;   // the signal that ended it, or 0
  std::string err;  // what it wrote on standard error
};

// Runs f in a child process with the handlers installed and tells how the child ended.
template <typename F>
Ending inChild(F f) {
  int err[2];
  if (pipe(err) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], STDERR_FILENO);
    close(err[0]);
    installSignalHandlers();
    f();
    _exit(0);
  }
  close(err[1]);
  Ending ending;
  char buffer[4096];
  ssize_t n;
  while ((n = read(err[0], buffer, sizeof buffer)) > 0) ending.err.append(buffer, size_t(n));
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) ending.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) ending.signal = WTERMSIG(status);
  return ending;
}

TEST(LastWords, ALibraryAbortIsSaidOnOneLineWithStatusOne) {
  const Ending noted = inChild([] {
    noteLibraryPanic("reading stopped: ", "Assertion x failed at libavcodec/decode.c:123\n");
    std::abort();
  });
  EXPECT_EQ(noted.signal, 0);
  EXPECT_EQ(noted.status, 1);
  EXPECT_EQ(noted.err, "reading stopped: Assertion x failed at libavcodec/decode.c:123\n");

  const Ending unexplained = inChild([] { std::abort(); });
  EXPECT_EQ(unexplained.status, 1);
  EXPECT_EQ(unexplained.err, "internal error: a library aborted the run\n");
}

}  // namespace
}  // namespace plumvane
