#include "Fragmentation.h"

#include <algorithm>

namespace dnsim {
namespace {

constexpr uint8_t kAckAccepted = 0;
constexpr uint8_t kAckRefused = 1;
constexpr size_t kShortFirstBodySize = 2;  // service code and the first value byte
constexpr size_t kSkippedCounts = 3;       // the second fragment counts 4 instead of 1

uint8_t NextCount(uint8_t count) {
  return (count + 1) & kFragmentCountMask;
}

}  // namespace

Fragmentation::Fragmentation(SlaveContext& context, SendFrame send)
    : context_(context),
      send_(std::move(send)),
      ack_timer_(context.timers, [this] { OnAckTimeout(); }) {}

// ---- Receiving ----

std::optional<Bytes> Fragmentation::Receive(std::span<const uint8_t> data, uint8_t reply_header) {
  if (data.size() < 2) return std::nullopt;
  const FragmentType type = FragmentTypeOf(data[1]);
  const uint8_t count = FragmentCountOf(data[1]);
  switch (context_.behaviour.TakeFragment()) {
    case FragmentAck::kLost:
      return std::nullopt;
    case FragmentAck::kError:
      incoming_.reset();
      Acknowledge(reply_header, count, false);
      return std::nullopt;
    case FragmentAck::kNormal:
      break;
  }
  const Taken taken = Take(type, count, data.subspan(2));
  if (taken == Taken::kIgnored) return std::nullopt;
  Acknowledge(reply_header, count, taken != Taken::kRefused);
  if (taken != Taken::kYes || type != FragmentType::kLast) return std::nullopt;
  incoming_->complete = true;
  return incoming_->body;
}

Fragmentation::Taken Fragmentation::Take(FragmentType type, uint8_t count,
                                         std::span<const uint8_t> payload) {
  if (type == FragmentType::kFirst) {
    incoming_ = Incoming{Bytes(payload.begin(), payload.end()), count, false};
    return Taken::kYes;
  }
  if (!incoming_) return Taken::kIgnored;
  if (count == incoming_->count) return Taken::kRepeated;
  if (incoming_->complete) return Taken::kIgnored;
  if (count != NextCount(incoming_->count) ||
      incoming_->body.size() + payload.size() > kMaxMessageSize) {
    incoming_.reset();
    return Taken::kRefused;
  }
  incoming_->body.insert(incoming_->body.end(), payload.begin(), payload.end());
  incoming_->count = count;
  return Taken::kYes;
}

void Fragmentation::Acknowledge(uint8_t reply_header, uint8_t count, bool accepted) {
  send_({static_cast<uint8_t>(reply_header | kFragmentFlag),
         FragmentByte(FragmentType::kAck, count), accepted ? kAckAccepted : kAckRefused});
}

// ---- Sending ----

void Fragmentation::Send(uint8_t header, Bytes body) {
  outgoing_ =
      Outgoing{header, std::move(body), 0, false, context_.behaviour.TakeFragmentedAnswer()};
  SendFragment();
}

bool Fragmentation::SendingLast() const {
  return (outgoing_->index + 1) * kFragmentBodySize >= outgoing_->body.size();
}

size_t Fragmentation::FragmentSize() const {
  const Outgoing& out = *outgoing_;
  if (out.index == 0 && out.flaws.short_first) return kShortFirstBodySize;
  return std::min(kFragmentBodySize, out.body.size() - out.index * kFragmentBodySize);
}

uint8_t Fragmentation::SentCount() const {
  const Outgoing& out = *outgoing_;
  const size_t skipped = out.index > 0 && out.flaws.skipped_count ? kSkippedCounts : 0;
  return static_cast<uint8_t>((out.index + skipped) & kFragmentCountMask);
}

void Fragmentation::SendFragment() {
  const Outgoing& out = *outgoing_;
  const size_t offset = out.index * kFragmentBodySize;
  const size_t size = FragmentSize();
  const FragmentType type = out.index == 0  ? FragmentType::kFirst
                            : SendingLast() ? FragmentType::kLast
                                            : FragmentType::kMiddle;
  Bytes data;
  data.reserve(2 + size);
  data.push_back(static_cast<uint8_t>(out.header | kFragmentFlag));
  data.push_back(FragmentByte(type, SentCount()));
  data.insert(data.end(), out.body.begin() + offset, out.body.begin() + offset + size);
  send_(data);
  ack_timer_.Start(context_.outbox.delay() + kAckTimeout);
}

void Fragmentation::OnAck(std::span<const uint8_t> data) {
  if (!outgoing_ || data.size() < 2) return;
  if (FragmentCountOf(data[1]) != SentCount()) return;
  const bool accepted = data.size() < 3 || data[2] == kAckAccepted;
  if (!accepted || SendingLast()) {
    StopSending();
    return;
  }
  outgoing_->index++;
  outgoing_->resent = false;
  SendFragment();
}

void Fragmentation::OnAckTimeout() {
  if (!outgoing_) return;
  if (outgoing_->resent) {
    StopSending();
    return;
  }
  outgoing_->resent = true;
  SendFragment();
}

void Fragmentation::StopSending() {
  outgoing_.reset();
  ack_timer_.Stop();
}

void Fragmentation::Abort() {
  incoming_.reset();
  StopSending();
}

}  // namespace dnsim
