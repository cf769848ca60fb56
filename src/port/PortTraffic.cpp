#include "port/PortTraffic.h"

#include <algorithm>

namespace dnm {
namespace {

// Bits after the CRC, never stuffed: CRC delimiter, ACK slot and delimiter,
// end of frame, interframe space.
constexpr uint32_t kUnstuffedTail = 1 + 2 + 7 + 3;
constexpr uint16_t kCrcPolynomial = 0x4599;
constexpr int kCrcBits = 15;
constexpr int kSameBitsBeforeStuff = 5;

// Feeds a frame's bits one by one, as the controller sends them, through the
// CRC and the bit stuffing.
class BitStream {
 public:
  void Push(uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) Stuff((value >> i) & 1u);
  }
  void PushWithCrc(uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
      const bool bit = (value >> i) & 1u;
      const bool feedback = bit != ((crc_ >> (kCrcBits - 1)) & 1u);
      crc_ = static_cast<uint16_t>((crc_ << 1) & 0x7FFF);
      if (feedback) crc_ ^= kCrcPolynomial;
      Stuff(bit);
    }
  }
  uint16_t crc() const { return crc_; }
  uint32_t bits() const { return bits_; }

 private:
  void Stuff(bool bit) {
    ++bits_;
    if (run_ > 0 && bit == last_) {
      if (++run_ < kSameBitsBeforeStuff) return;
      ++bits_;  // the opposite bit, which starts the next run
      last_ = !bit;
      run_ = 1;
      return;
    }
    last_ = bit;
    run_ = 1;
  }

  uint16_t crc_ = 0;
  uint32_t bits_ = 0;
  bool last_ = false;
  int run_ = 0;
};

}  // namespace

uint32_t FrameBits(const CANMsg& msg) {
  const uint8_t len = std::min<uint8_t>(msg.len, 8);
  const bool remote = msg.rtr != 0;
  BitStream stream;
  stream.PushWithCrc(0, 1);  // start of frame
  if (msg.mode == 0) {
    stream.PushWithCrc(msg.id & 0x7FF, 11);
    stream.PushWithCrc(remote ? 1 : 0, 1);
    stream.PushWithCrc(0, 2);  // IDE, r0
  } else {
    stream.PushWithCrc((msg.id >> 18) & 0x7FF, 11);
    stream.PushWithCrc(3, 2);  // SRR, IDE
    stream.PushWithCrc(msg.id & 0x3FFFF, 18);
    stream.PushWithCrc(remote ? 1 : 0, 1);
    stream.PushWithCrc(0, 2);  // r1, r0
  }
  stream.PushWithCrc(len, 4);
  if (!remote) {
    for (uint8_t i = 0; i < len; ++i) stream.PushWithCrc(msg.data[i], 8);
  }
  stream.Push(stream.crc(), kCrcBits);
  return stream.bits() + kUnstuffedTail;
}

void PortTraffic::Reset() {
  for (auto* count : {&frames_received_, &frames_sent_, &bits_received_, &bits_sent_})
    count->store(0, std::memory_order_relaxed);
  error_frames_.store(0, std::memory_order_relaxed);
  overruns_.store(0, std::memory_order_relaxed);
}

void PortTraffic::NoteReceived(const CANMsg& msg) {
  frames_received_.fetch_add(1, std::memory_order_relaxed);
  bits_received_.fetch_add(FrameBits(msg), std::memory_order_relaxed);
}

void PortTraffic::NoteSent(const CANMsg& msg) {
  frames_sent_.fetch_add(1, std::memory_order_relaxed);
  bits_sent_.fetch_add(FrameBits(msg), std::memory_order_relaxed);
}

DNM_PortStatistics PortTraffic::Read() const {
  DNM_PortStatistics statistics{};
  statistics.frames_received = frames_received_.load(std::memory_order_relaxed);
  statistics.frames_sent = frames_sent_.load(std::memory_order_relaxed);
  statistics.bits_received = bits_received_.load(std::memory_order_relaxed);
  statistics.bits_sent = bits_sent_.load(std::memory_order_relaxed);
  statistics.error_frames = error_frames_.load(std::memory_order_relaxed);
  statistics.overruns = overruns_.load(std::memory_order_relaxed);
  return statistics;
}

}  // namespace dnm
