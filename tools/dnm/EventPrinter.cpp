#include "EventPrinter.h"

#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "Values.h"

namespace dnm::tool {

struct EventPrinter::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::pair<int, std::string>> waiting;  // the descriptor and the line
  size_t capacity = 0;
  size_t dropped = 0;
  bool writing = false;
  bool finishing = false;
  std::function<std::string(size_t)> notice;

  // Called with mutex held.
  void Queue(int fd, std::string line) {
    waiting.emplace_back(fd, std::move(line) + "\n");
    changed.notify_all();
  }
  // Called with mutex held: the count takes two places, its line on stdout and on stderr.
  void QueueNoticeIfRoom() {
    if (dropped == 0 || waiting.size() + 2 > capacity) return;
    const std::string text = notice(dropped);
    Queue(STDOUT_FILENO, text);
    Queue(STDERR_FILENO, "dnm run: " + DroppedText(dropped));
    dropped = 0;
  }
};

EventPrinter::EventPrinter(std::function<std::string(size_t)> notice, size_t capacity)
    : shared_(std::make_shared<Shared>()) {
  shared_->capacity = capacity < 2 ? 2 : capacity;
  shared_->notice = std::move(notice);
  // The thread keeps the shared part alive: it may be left in a write at the end.
  std::thread([shared = shared_] {
    std::unique_lock lock(shared->mutex);
    for (;;) {
      shared->changed.wait(lock, [&] { return !shared->waiting.empty() || shared->finishing; });
      if (shared->waiting.empty()) return;
      auto [fd, line] = std::move(shared->waiting.front());
      shared->waiting.pop_front();
      shared->writing = true;
      lock.unlock();
      WriteAll(fd, line);
      lock.lock();
      shared->writing = false;
      shared->QueueNoticeIfRoom();
      shared->changed.notify_all();
    }
  }).detach();
}

std::string EventPrinter::DroppedText(size_t dropped) {
  return std::to_string(dropped) + " event lines dropped: stdout was not read";
}

EventPrinter::~EventPrinter() {
  Finish(std::chrono::milliseconds(0));
}

void EventPrinter::Print(std::string line) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->finishing) return;
  shared_->QueueNoticeIfRoom();
  // No line goes out before the count of those dropped before it.
  if (shared_->dropped > 0 || shared_->waiting.size() >= shared_->capacity) {
    ++shared_->dropped;
    return;
  }
  shared_->Queue(STDOUT_FILENO, std::move(line));
}

void EventPrinter::Finish(std::chrono::milliseconds within) {
  std::unique_lock lock(shared_->mutex);
  shared_->QueueNoticeIfRoom();
  shared_->changed.wait_for(lock, within,
                            [&] { return shared_->waiting.empty() && !shared_->writing; });
  shared_->finishing = true;
  shared_->waiting.clear();
  shared_->changed.notify_all();
}

}  // namespace dnm::tool
