#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port/SendOrder.h"

namespace dnm {
namespace {

// A driver's transmit queue of one frame that the test drains by hand, and
// the order in which the senders' frames got in.
class OneFrameQueue {
 public:
  bool TryPush(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (held_) return false;
    held_ = true;
    order_.push_back(name);
    changed_.notify_all();
    return true;
  }
  void Drain() {
    std::lock_guard lock(mutex_);
    held_ = false;
  }
  void AwaitPushes(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return order_.size() >= count; });
  }
  std::vector<std::string> order() {
    std::lock_guard lock(mutex_);
    return order_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = true;  // full from the start
  std::vector<std::string> order_;
};

// One sender's frame, offered as the port offers it.
bool Offer(SendOrder& order, OneFrameQueue& queue, SendClass kind, const std::string& name,
           uint32_t limit_ms) {
  SendOrder::Place place(order, kind, limit_ms);
  while (place.MayOffer()) {
    if (queue.TryPush(name)) return true;
    place.QueueFull();
  }
  return false;
}

// Senders meet a full queue one after the other; then room comes one frame
// at a time. Requests get in before I/O, each class first come, first served.
TEST(SendOrder, AfterAFullQueueRequestsGoAheadOfIoInTheirOrder) {
  struct Case {
    std::vector<std::pair<SendClass, std::string>> senders;
    std::vector<std::string> order;
  };
  const std::vector<Case> cases = {
      {{{SendClass::kIo, "poll 1"}, {SendClass::kIo, "poll 2"}, {SendClass::kRequest, "get"}},
       {"get", "poll 1", "poll 2"}},
      {{{SendClass::kRequest, "alloc"}, {SendClass::kIo, "poll"}, {SendClass::kRequest, "keep"}},
       {"alloc", "keep", "poll"}},
  };
  for (const Case& c : cases) {
    SendOrder order;
    OneFrameQueue queue;
    std::vector<std::thread> senders;
    size_t in_line = 0;
    for (const auto& [kind, name] : c.senders) {
      senders.emplace_back(
          [&, kind, name] { EXPECT_TRUE(Offer(order, queue, kind, name, 60000)); });
      ++in_line;
      while (order.InLine() < in_line) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (size_t got = 1; got <= c.senders.size(); ++got) {
      queue.Drain();
      queue.AwaitPushes(got);
    }
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(queue.order(), c.order);
  }

  // A queue that stays full: a request or I/O frame gives up once its limit has passed, an
  // answer to another node after its one offer.
  for (SendClass kind : {SendClass::kRequest, SendClass::kIo, SendClass::kAnswer}) {
    SendOrder order;
    OneFrameQueue queue;
    EXPECT_FALSE(Offer(order, queue, kind, "frame", 30));
    EXPECT_TRUE(queue.order().empty());
  }
}

TEST(SendLoad, ALoadedPortIsOneWhoseOwnFramesFillTheShareOfTheBus) {
  struct Case {
    uint32_t frames;  // sent in the window before
    uint32_t kbit;
    uint32_t asked_ms;  // after the start of the window that follows
    bool loaded;
  };
  // 40 % of 100 ms at 500 kbit/s is 20,000 bits: 149 frames of 135 bits.
  const Case cases[] = {
      {149, 500, 0, true},   {148, 500, 0, false},   {38, 125, 0, true},
      {149, 500, 199, true}, {149, 500, 200, false},  // what it counted is too old
  };
  for (const Case& c : cases) {
    SendLoad load;
    load.NoteSent(1000);  // opens the first window
    for (uint32_t i = 1; i < c.frames; ++i) load.NoteSent(1050);
    load.NoteSent(1100);  // closes it and opens the next
    EXPECT_EQ(load.Loaded(1100 + c.asked_ms, c.kbit), c.loaded)
        << c.frames << " frames at " << c.kbit << " kbit/s, asked after " << c.asked_ms << " ms";
  }
}

}  // namespace
}  // namespace dnm
