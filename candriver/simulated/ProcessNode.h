// A node played by an external program. The card starts the command with sh -c; every frame the
// node hears is written to the program's stdin as one text line (CanText.h), and every line the
// program writes on stdout is sent on the segment (lines that are not frames are ignored).
//
// One thread starts the program and then reads its output, blocking while the node's transmit
// queue is full, so a chatty program is slowed down rather than losing frames. Another thread
// writes to the program, fed by a bounded queue, so a slow program never stalls the bus thread;
// lines beyond the queue's bound are dropped and counted as overrun drops.
//
// The program gets SIGKILL when the thread that started it ends, which happens only when the
// card's process ends or the program closes its stdout. Programs the shell starts in turn are
// not killed; they see end of file on stdin. A program that cannot be started or that ends while
// the card runs is reported on stderr, with the network file line that made it and its exit
// status.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "Node.h"

namespace vcan {

class ProcessNode final : public Node {
 public:
  static constexpr size_t kWriteQueueCapacity = 4096;

  // origin names the line that made the node ("network.txt:7") in reports.
  ProcessNode(std::string name, Segment& segment, uint32_t baud, std::string command,
              std::string origin);

  // Starts the program; call once, after the node is attached to its segment.
  void Start();

  void OnFrame(const Frame& frame) override;
  uint64_t overrun_drops() const override { return overrun_drops_.load(); }

 private:
  void RunReader();
  void RunWriter(int stdin_fd);
  void SendLine(std::string_view line);
  void ReportEnd(int wait_status) const;

  const std::string command_;
  const std::string origin_;
  std::mutex mutex_;
  std::condition_variable lines_cv_;
  std::deque<std::string> lines_;
  bool writer_gone_ = false;
  std::atomic<uint64_t> overrun_drops_{0};
};

}  // namespace vcan
