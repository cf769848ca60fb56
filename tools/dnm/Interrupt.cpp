#include "Interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace dnm::tool {
namespace {

std::atomic<bool> interrupted{false};
std::atomic<bool> reload{false};
// The self-pipe: the handler writes a byte, a poll beside the source sees it.
int pipe_ends[2] = {-1, -1};

extern "C" void NoteInterrupt(int signal_number) {
  if (signal_number == SIGHUP) {
    reload = true;
  } else {
    interrupted = true;
  }
  const char byte = 1;
  const int saved = errno;
  (void)!write(pipe_ends[1], &byte, 1);
  errno = saved;
}

void Catch(int signal_number) {
  if (pipe_ends[0] < 0 && pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) pipe_ends[0] = -1;
  struct sigaction action {};
  action.sa_handler = NoteInterrupt;
  sigemptyset(&action.sa_mask);
  // An explicit handler replaces an inherited SIG_IGN.
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

void CatchInterrupts() {
  Catch(SIGINT);
  Catch(SIGTERM);
}

void CatchReloads() {
  Catch(SIGHUP);
}

bool TakeReload() {
  return reload.exchange(false);
}

bool Interrupted() {
  return interrupted;
}

bool WaitReadable(int fd) {
  pollfd watched[2] = {{fd, POLLIN, 0}, {pipe_ends[0], POLLIN, 0}};
  while (!interrupted) {
    if (poll(watched, 2, -1) > 0 && (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
      return true;
  }
  return false;
}

bool PauseUnlessInterrupted(int ms) {
  pollfd watched{pipe_ends[0], POLLIN, 0};
  if (!interrupted && poll(&watched, 1, ms) > 0 && !interrupted) {
    // A reload's bytes are read, so that the next pause lasts again.
    char bytes[16];
    while (read(pipe_ends[0], bytes, sizeof bytes) > 0) {
    }
  }
  return !interrupted;
}

}  // namespace dnm::tool
