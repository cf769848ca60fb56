// The fragmentation protocol of explicit messages, both directions of one connection. A message
// body (service code onward) longer than the seven bytes one frame holds travels as fragments:
// frame data [header | 0x80, type << 6 | count, up to six body bytes], type first (count 0),
// middle or last, the count going up by one (modulo 64). The receiver acknowledges each
// fragment with [header | 0x80, 0xC0 | count, status] (status 0 accepted, 1 refused) and the
// sender sends the next fragment only after that acknowledgement.
//
// The slave reassembles what the master sends and splits its own long answers. A fragment it
// sent and that stays unacknowledged is sent once more after kAckTimeout; if that one is not
// acknowledged either, the transfer is abandoned. A repeated fragment (same count as the last
// one taken) is acknowledged again and not taken twice, so a master that missed an
// acknowledgement can resend.
//
// On purpose (Behaviour) an answer may be flawed: its first fragment cut to two body bytes while
// the next fragments go on as if it had carried six, or its second fragment counted as if three
// fragments had come between (the following ones counting on from there). A resend repeats the
// flaw, and each fragment waits for the acknowledgement of the count it carried.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <span>

#include "SlaveContext.h"
#include "Timers.h"

namespace dnsim {

class Fragmentation {
 public:
  static constexpr size_t kFrameBodySize = 7;     // body bytes of an unfragmented frame
  static constexpr size_t kFragmentBodySize = 6;  // body bytes of one fragment
  static constexpr size_t kMaxMessageSize = 300;  // longest body the slave takes
  static constexpr std::chrono::milliseconds kAckTimeout{1000};

  using SendFrame = std::function<void(const Bytes& data)>;

  Fragmentation(SlaveContext& context, SendFrame send);

  static bool NeedsFragments(size_t body_size) { return body_size > kFrameBodySize; }

  // Takes a received fragment of type first, middle or last, acknowledges it (acknowledgements
  // carry reply_header) and returns the whole body once the last fragment completes it.
  std::optional<Bytes> Receive(std::span<const uint8_t> data, uint8_t reply_header);

  // Sends body fragment by fragment, with header in every fragment.
  void Send(uint8_t header, Bytes body);
  // An acknowledgement from the peer for a fragment sent.
  void OnAck(std::span<const uint8_t> data);

  void StopSending();
  void Abort();  // both directions

 private:
  enum class Taken { kYes, kRepeated, kRefused, kIgnored };
  struct Incoming {
    Bytes body;
    uint8_t count = 0;  // of the last fragment taken
    bool complete = false;
  };
  struct Outgoing {
    uint8_t header = 0;
    Bytes body;
    size_t index = 0;  // fragment awaiting its acknowledgement
    bool resent = false;
    AnswerFlaws flaws;
  };

  Taken Take(FragmentType type, uint8_t count, std::span<const uint8_t> payload);
  void Acknowledge(uint8_t reply_header, uint8_t count, bool accepted);
  void SendFragment();
  size_t FragmentSize() const;
  uint8_t SentCount() const;
  bool SendingLast() const;
  void OnAckTimeout();

  SlaveContext& context_;
  const SendFrame send_;
  std::optional<Incoming> incoming_;
  std::optional<Outgoing> outgoing_;
  Timer ack_timer_;
};

}  // namespace dnsim
