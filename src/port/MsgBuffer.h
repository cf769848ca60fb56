// A locked ring of received frames. Waiting code takes out the oldest frame
// that matches what it expects; frames that match nothing stay, in the order
// they arrived. Each frame tells whether frames were lost right before it,
// so that a message in fragments is never completed across a loss.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "VELKCAN.h"

namespace dnm {

namespace platform {
class StopSignal;
}

// What a taken frame must match: the identifier, optionally the first data
// bytes and optionally the data length.
struct FrameKey {
  uint32_t id = 0;
  uint8_t data_count = 0;  // how many leading data bytes must match (0..3)
  std::array<uint8_t, 3> data{};
  bool match_len = false;
  uint8_t len = 0;

  static FrameKey Id(uint32_t id) { return FrameKey{id}; }
  static FrameKey Data(uint32_t id, uint8_t d0) { return FrameKey{id, 1, {d0, 0, 0}}; }
  static FrameKey Data(uint32_t id, uint8_t d0, uint8_t d1) { return FrameKey{id, 2, {d0, d1, 0}}; }
  static FrameKey Data(uint32_t id, uint8_t d0, uint8_t d1, uint8_t d2) {
    return FrameKey{id, 3, {d0, d1, d2}};
  }
  static FrameKey Len(uint32_t id, uint8_t len) { return FrameKey{id, 0, {}, true, len}; }
};

// Takes the frames routed to a buffer in its place (see MsgBuffer::AttachTaker).
class FrameTaker {
 public:
  // Called by a receive thread, under the buffer's lock.
  virtual void TakeFrame(const CANMsg& msg) = 0;

 protected:
  ~FrameTaker() = default;
};

class MsgBuffer {
 public:
  static constexpr uint32_t kCapacity = 64;
  static constexpr int kStored = 0;
  static constexpr int kFull = 102;
  static constexpr int kNoMatch = -1;

  MsgBuffer() = default;
  ~MsgBuffer();
  MsgBuffer(const MsgBuffer&) = delete;
  MsgBuffer& operator=(const MsgBuffer&) = delete;

  // Stores the frame (0), or refuses it when full (102: a loss the next
  // frame stored tells of); with a taker attached, hands it to the taker
  // instead (0).
  int PutMsg(const CANMsg& msg);
  // While a taker is attached, every frame put goes to it, stored nowhere and
  // waking no waiter: a connection that its port's scheduler drives takes its
  // answers as they arrive. nullptr detaches; once this returns, the taker
  // that was attached is called no more.
  void AttachTaker(FrameTaker* taker);
  // Takes the oldest matching frame into out (0), or leaves all as is (-1).
  int GetMsg(CANMsg& out, const FrameKey& key);
  // As above; after_loss tells whether frames were lost between the frame
  // taken and the one put before it.
  int GetMsg(CANMsg& out, const FrameKey& key, bool& after_loss);
  int GetMsg(CANMsg& out, uint32_t id) { return GetMsg(out, FrameKey::Id(id)); }
  int GetMsgByLen(CANMsg& out, uint32_t id, uint8_t len) {
    return GetMsg(out, FrameKey::Len(id, len));
  }

  // Frames meant for the buffer were lost elsewhere (the port's receive
  // FIFO overran): the next frame put tells of it.
  void NoteLoss();

  uint8_t GetDataCount() const;
  void ClearBuffer();
  // Removes every frame whose data byte 0 carries the fragment flag.
  int PurgeFragments();
  // Marks the frames received so far: DropArrivedBefore(mark) removes those
  // of them still held and keeps every frame that came later.
  uint64_t ArrivalMark() const;
  void DropArrivedBefore(uint64_t mark);
  // Removes every frame received after the tick (platform::GetTickCount):
  // a wait whose thread woke after its deadline keeps what came in time.
  void DropReceivedAfter(uint32_t tick);

  // Sleeps until the buffer holds a frame, timeout_ms passes or stop is
  // raised; returns the frame count.
  uint8_t WaitForData(uint32_t timeout_ms, const platform::StopSignal* stop = nullptr);
  // Sleeps until a frame arrives after the mark or timeout_ms passes; true
  // when one did. Frames already held do not end the wait.
  bool WaitForArrivalAfter(uint64_t mark, uint32_t timeout_ms);
  // Wakes every waiter (after a stop signal was raised).
  void WakeWaiters();

  void ShowAllData(uint8_t board, uint8_t port, uint8_t mac, uint8_t instance) const;

 private:
  struct Stored {
    uint8_t mode;
    uint32_t id;
    uint8_t rtr;
    uint8_t len;
    std::array<uint8_t, 8> data;
    uint64_t arrival;  // running number of the frame in this buffer
    uint32_t received;  // tick of its reception (see ReceivedTick)
    bool after_loss;   // frames were lost right before this one
  };
  // The slot of the i-th oldest frame.
  uint32_t Slot(uint32_t i) const { return (head_ + i) % kCapacity; }
  static bool Matches(const Stored& frame, const FrameKey& key);
  static void CopyOut(const Stored& frame, CANMsg& out);
  // Removes the frames for which drop is true; the rest keep their order.
  template <typename Drop>
  void RemoveIf(Drop drop);

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::array<Stored, kCapacity> slots_{};
  uint32_t count_ = 0;
  uint32_t head_ = 0;
  uint32_t tail_ = 0;
  uint64_t arrivals_ = 0;
  bool loss_ = false;  // frames were lost since the last one stored
  FrameTaker* taker_ = nullptr;
};

}  // namespace dnm
