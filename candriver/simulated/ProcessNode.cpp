#include "ProcessNode.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "CanText.h"
#include "ChildProcess.h"
#include "ThreadName.h"

namespace vcan {
namespace {

// MSG_NOSIGNAL: a program that has exited must not take the card's process down with SIGPIPE.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t sent = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

}  // namespace

ProcessNode::ProcessNode(std::string name, Segment& segment, uint32_t baud, std::string command,
                         std::string origin)
    : Node(std::move(name), segment, baud),
      command_(std::move(command)),
      origin_(std::move(origin)) {}

// The threads own a reference to the node, which also lives as long as its segment.
void ProcessNode::Start() {
  std::thread([self = std::static_pointer_cast<ProcessNode>(shared_from_this())] {
    NameThisThread("vcan-proc-out");
    self->RunReader();
  }).detach();
}

void ProcessNode::OnFrame(const Frame& frame) {
  {
    std::lock_guard lock(mutex_);
    if (writer_gone_ || lines_.size() >= kWriteQueueCapacity) {
      overrun_drops_++;
      return;
    }
    lines_.push_back(FormatCanText(frame) + "\n");
  }
  lines_cv_.notify_one();
}

// Starts the program on this thread, which must outlive it (the program's death signal is tied
// to the thread that forked it), then turns its output into frames until it closes stdout.
void ProcessNode::RunReader() {
  auto child = SpawnShellCommand(command_);
  if (!child) {
    std::fprintf(stderr, "VELKCAN: %s: process node %s could not be started\n", origin_.c_str(),
                 name().c_str());
    std::lock_guard lock(mutex_);
    writer_gone_ = true;
    return;
  }
  std::thread([self = std::static_pointer_cast<ProcessNode>(shared_from_this()),
               fd = child->stdin_fd] {
    NameThisThread("vcan-proc-in");
    self->RunWriter(fd);
  }).detach();
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(child->stdout_fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
      SendLine(std::string_view(pending).substr(0, newline));
      pending.erase(0, newline + 1);
    }
  }
  close(child->stdout_fd);
  int wait_status = 0;
  while (waitpid(child->pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  ReportEnd(wait_status);
}

// The shell's status 127 means the command was not found.
void ProcessNode::ReportEnd(int wait_status) const {
  const bool signalled = WIFSIGNALED(wait_status);
  std::fprintf(stderr, "VELKCAN: %s: process node %s ended %s %d; it sends no more frames\n",
               origin_.c_str(), name().c_str(), signalled ? "by signal" : "with exit status",
               signalled ? WTERMSIG(wait_status) : WEXITSTATUS(wait_status));
}

void ProcessNode::SendLine(std::string_view line) {
  if (auto frame = ParseCanText(line)) Transmit(*frame, std::nullopt);
}

void ProcessNode::RunWriter(int stdin_fd) {
  std::unique_lock lock(mutex_);
  for (;;) {
    lines_cv_.wait(lock, [this] { return !lines_.empty(); });
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    lock.unlock();
    const bool written = WriteAll(stdin_fd, line);
    lock.lock();
    if (!written) break;
  }
  writer_gone_ = true;
  overrun_drops_ += lines_.size();
  lines_.clear();
  lock.unlock();
  close(stdin_fd);
}

}  // namespace vcan
