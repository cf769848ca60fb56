// Starting a shell command with pipes to its stdin and stdout.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vcan {

struct ChildProcess {
  pid_t pid = -1;
  int stdin_fd = -1;   // write end; a socket, so writes can ask not to raise SIGPIPE
  int stdout_fd = -1;  // read end
};

// Runs "sh -c command". The child gets SIGKILL when the calling thread ends. nullopt (with a
// message on stderr) when it cannot be started.
std::optional<ChildProcess> SpawnShellCommand(const std::string& command);

}  // namespace vcan
