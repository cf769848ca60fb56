#include "port/MsgBuffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "platform/Platform.h"
#include "trace/Trace.h"

namespace dnm {

MsgBuffer::~MsgBuffer() {
  TraceLine("Delete Buffer");
}

void MsgBuffer::AttachTaker(FrameTaker* taker) {
  std::lock_guard lock(mutex_);
  taker_ = taker;
}

namespace {

// When the frame was received: the driver's stamp (microseconds of the
// monotonic clock that the tick count reads too), or the present for a
// record without a sane one; a frame routed after a stall of the process
// was still received in time.
uint32_t ReceivedTick(const CANMsg& msg) {
  uint64_t stamp_us = 0;
  for (int i = 7; i >= 0; --i) stamp_us = stamp_us << 8 | msg.stamp[i];
  const uint32_t now = platform::GetTickCount();
  const auto stamp = static_cast<uint32_t>(stamp_us / 1000);
  constexpr uint32_t kSaneAgeMs = 60000;
  return stamp_us != 0 && now - stamp <= kSaneAgeMs ? stamp : now;
}

}  // namespace

int MsgBuffer::PutMsg(const CANMsg& msg) {
  const uint32_t received = ReceivedTick(msg);
  {
    std::lock_guard lock(mutex_);
    if (taker_ != nullptr) {
      taker_->TakeFrame(msg);
      return kStored;
    }
    if (count_ >= kCapacity) {
      loss_ = true;
      return kFull;
    }
    Stored& slot = slots_[tail_];
    slot.mode = msg.mode;
    slot.id = msg.id;
    slot.rtr = msg.rtr;
    slot.len = msg.len;
    // Bytes past the frame's length are not part of it, whatever the driver left there.
    slot.data.fill(0);
    std::memcpy(slot.data.data(), msg.data, std::min<size_t>(msg.len, slot.data.size()));
    slot.arrival = arrivals_++;
    slot.received = received;
    slot.after_loss = std::exchange(loss_, false);
    tail_ = (tail_ + 1) % kCapacity;
    ++count_;
  }
  arrived_.notify_all();
  return kStored;
}

bool MsgBuffer::Matches(const Stored& frame, const FrameKey& key) {
  if (frame.id != key.id) return false;
  if (key.match_len && frame.len != key.len) return false;
  // Data bytes count only as far as the frame carries them.
  if (frame.len < key.data_count) return false;
  for (uint8_t i = 0; i < key.data_count; ++i) {
    if (frame.data[i] != key.data[i]) return false;
  }
  return true;
}

void MsgBuffer::CopyOut(const Stored& frame, CANMsg& out) {
  out.mode = frame.mode;
  out.id = frame.id;
  out.rtr = frame.rtr;
  out.len = frame.len;
  std::memcpy(out.data, frame.data.data(), frame.data.size());
}

int MsgBuffer::GetMsg(CANMsg& out, const FrameKey& key) {
  bool after_loss = false;
  return GetMsg(out, key, after_loss);
}

int MsgBuffer::GetMsg(CANMsg& out, const FrameKey& key, bool& after_loss) {
  std::lock_guard lock(mutex_);
  for (uint32_t i = 0; i < count_; ++i) {
    if (!Matches(slots_[Slot(i)], key)) continue;
    CopyOut(slots_[Slot(i)], out);
    after_loss = slots_[Slot(i)].after_loss;
    // The older frames move up into the hole, so the frames that stay keep
    // the order in which they arrived.
    for (uint32_t j = i; j > 0; --j) slots_[Slot(j)] = slots_[Slot(j - 1)];
    head_ = (head_ + 1) % kCapacity;
    --count_;
    return 0;
  }
  return kNoMatch;
}

uint8_t MsgBuffer::GetDataCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<uint8_t>(count_);
}

void MsgBuffer::NoteLoss() {
  std::lock_guard lock(mutex_);
  loss_ = true;
}

void MsgBuffer::ClearBuffer() {
  std::lock_guard lock(mutex_);
  count_ = head_ = tail_ = 0;
  loss_ = false;
}

template <typename Drop>
void MsgBuffer::RemoveIf(Drop drop) {
  // Compacts the frames that stay towards the head, in order.
  uint32_t kept = 0;
  for (uint32_t i = 0; i < count_; ++i) {
    if (drop(slots_[Slot(i)])) continue;
    if (kept != i) slots_[Slot(kept)] = slots_[Slot(i)];
    ++kept;
  }
  count_ = kept;
  tail_ = Slot(kept);
}

int MsgBuffer::PurgeFragments() {
  std::lock_guard lock(mutex_);
  RemoveIf([](const Stored& frame) { return (frame.data[0] & 0x80) != 0; });
  return 0;
}

uint64_t MsgBuffer::ArrivalMark() const {
  std::lock_guard lock(mutex_);
  return arrivals_;
}

void MsgBuffer::DropReceivedAfter(uint32_t tick) {
  std::lock_guard lock(mutex_);
  RemoveIf([tick](const Stored& frame) { return static_cast<int32_t>(frame.received - tick) > 0; });
}

void MsgBuffer::DropArrivedBefore(uint64_t mark) {
  std::lock_guard lock(mutex_);
  RemoveIf([mark](const Stored& frame) { return frame.arrival < mark; });
}

uint8_t MsgBuffer::WaitForData(uint32_t timeout_ms, const platform::StopSignal* stop) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [&] { return count_ > 0 || (stop != nullptr && stop->Raised()); });
  return static_cast<uint8_t>(count_);
}

bool MsgBuffer::WaitForArrivalAfter(uint64_t mark, uint32_t timeout_ms) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return arrivals_ > mark; });
}

void MsgBuffer::WakeWaiters() {
  { std::lock_guard lock(mutex_); }
  arrived_.notify_all();
}

void MsgBuffer::ShowAllData(uint8_t board, uint8_t port, uint8_t mac, uint8_t instance) const {
  if (!TraceEnabled()) return;
  std::lock_guard lock(mutex_);
  Trace(
      "********* ShowAllData( ) TotalData Count is %d  BoardNo-%d  Port-%d  DesMACID-%d  "
      "InstanceID-%d*****************",
      static_cast<int>(count_), board, port, mac, instance);
  for (uint32_t i = 0; i < count_; ++i) {
    const uint32_t slot = Slot(i);
    const Stored& f = slots_[slot];
    Trace("%d.  Buffer(Hex): %x %x %x %x %x %x %x %x %x %x %x %x", static_cast<int>(slot), f.id,
          f.mode, f.rtr, f.len, f.data[0], f.data[1], f.data[2], f.data[3], f.data[4], f.data[5],
          f.data[6], f.data[7]);
  }
  Trace("%s", std::string(98, '*').c_str());
}

}  // namespace dnm
