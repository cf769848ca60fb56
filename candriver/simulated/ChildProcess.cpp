#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "ErrorText.h"

extern char** environ;

namespace vcan {
namespace {

// Runs in the forked child of a threaded process: only async-signal-safe calls.
[[noreturn]] void ExecInChild(pid_t parent, int stdin_fd, int stdout_fd, char* const argv[]) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // the parent ended before the signal was armed
  dup2(stdin_fd, STDIN_FILENO);
  dup2(stdout_fd, STDOUT_FILENO);
  execve("/bin/sh", argv, environ);
  _exit(127);
}

void CloseBoth(const int fds[2]) {
  close(fds[0]);
  close(fds[1]);
}

}  // namespace

std::optional<ChildProcess> SpawnShellCommand(const std::string& command) {
  int to_child[2];
  int from_child[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, to_child) != 0) {
    std::fprintf(stderr, "VELKCAN: socketpair: %s\n", ErrorText().c_str());
    return std::nullopt;
  }
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "VELKCAN: pipe: %s\n", ErrorText().c_str());
    CloseBoth(to_child);
    return std::nullopt;
  }
  std::string shell_name = "sh", option = "-c", text = command;
  char* const argv[] = {shell_name.data(), option.data(), text.data(), nullptr};
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) ExecInChild(parent, to_child[1], from_child[1], argv);
  close(to_child[1]);
  close(from_child[1]);
  if (pid < 0) {
    std::fprintf(stderr, "VELKCAN: fork: %s\n", ErrorText().c_str());
    close(to_child[0]);
    close(from_child[0]);
    return std::nullopt;
  }
  return ChildProcess{pid, to_child[0], from_child[0]};
}

}  // namespace vcan
