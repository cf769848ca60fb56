// `dnm simulate NETWORK` as a process of its own, for tests whose processes share its segments.
// Up once it has printed what it hosts (and that it hosts a segment); ended (SIGTERM) when
// destroyed or by End.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace dnm_test {

class SimulatorProcess {
 public:
  SimulatorProcess(const char* tool, const std::string& network) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {tool, "simulate", network.c_str(), nullptr};
    EXPECT_EQ(posix_spawn(&pid_, tool, &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char c = 0;
    while (said_.find("Ctrl-C") == std::string::npos && read(out[0], &c, 1) == 1) said_ += c;
    close(out[0]);
    EXPECT_NE(said_.find("hosted here"), std::string::npos) << said_;
  }
  ~SimulatorProcess() { End(); }
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  void End() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& said() const { return said_; }

 private:
  pid_t pid_ = -1;
  std::string said_;
};

}  // namespace dnm_test
