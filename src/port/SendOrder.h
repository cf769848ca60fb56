// The order in which a port's senders meet a full transmit queue. A full
// queue is back-pressure, not a failure: the sender waits for room, in line,
// up to a bound, before its send counts as failed. Requests (explicit
// messages, connection set-up, keep-alives) are served before I/O, so they
// never starve behind polls at full load; within a class, first come, first
// served. A sender only joins the line once the queue was full, or when
// somebody it must not overtake is already waiting: an idle port costs one
// uncontended lock per frame.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace dnm {

enum class SendClass : uint8_t {
  kRequest,  // explicit messages and set-up: ahead of I/O
  kIo,       // poll commands, COS/cyclic outputs and acknowledgements, bit-strobe commands
  kAnswer,   // the receive threads' answers to other nodes: one offer, never waits
};

class SendOrder {
 public:
  // One sender's place while it offers one frame.
  class Place {
   public:
    Place(SendOrder& order, SendClass kind, uint32_t limit_ms);
    ~Place();
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;

    // Waits until the frame may be offered: at once unless someone this
    // sender must not overtake waits; in line after a full queue, then one
    // retry interval. False once the limit has passed.
    bool MayOffer();
    // The queue was full: the sender waits for room from now on.
    void QueueFull();
    // Time the sender was held back for another reason does not count
    // against its limit.
    void Postpone(uint32_t ms) { start_ += ms; }

   private:
    bool Queued() const { return ticket_ != kNone; }
    void Join();

    static constexpr uint64_t kNone = UINT64_MAX;
    SendOrder& order_;
    const SendClass kind_;
    const uint32_t limit_ms_;
    uint32_t start_;
    uint64_t ticket_ = kNone;
    bool full_ = false;
  };

  // How many senders wait in line now.
  size_t InLine() const;

  // The wait between two offers of the sender first in line.
  static constexpr uint32_t kRetryMs = 1;

 private:
  std::deque<uint64_t>& Line(SendClass kind) { return kind == SendClass::kIo ? io_ : requests_; }
  bool IsFirst(SendClass kind, uint64_t ticket) const;
  bool AnyoneAhead(SendClass kind) const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint64_t> requests_;
  std::deque<uint64_t> io_;
  uint64_t next_ticket_ = 0;
};

// How busy the port keeps the bus with its own frames, from the frames it
// sent in the last complete window of kWindowMs. A port that fills at least
// kLoadedShare of the bus by itself leaves other nodes' frames of higher
// identifiers (the devices' explicit answers) waiting, even though its
// transmit queue never fills. Counted without a lock: a frame counted into
// the neighbouring window only shifts the figure by one.
class SendLoad {
 public:
  void NoteSent(uint32_t now_ms);
  // True when the last window's frames took at least kLoadedShare of the
  // window at kbit kbit/s (and that window ended no longer than one window ago).
  bool Loaded(uint32_t now_ms, uint32_t kbit) const;

  static constexpr uint32_t kWindowMs = 100;
  static constexpr uint32_t kLoadedPercent = 40;
  static constexpr uint32_t kFrameBits = 135;

 private:
  std::atomic<uint32_t> window_start_{0};
  std::atomic<uint32_t> count_{0};
  std::atomic<uint32_t> last_count_{0};
};

}  // namespace dnm
