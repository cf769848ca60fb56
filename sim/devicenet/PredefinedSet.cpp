#include "PredefinedSet.h"

#include <algorithm>

namespace dnsim {
namespace {

constexpr uint8_t kChoiceCosOrCyclic = kChoiceCos | kChoiceCyclic;

bool IsSingleBit(uint8_t bits) {
  return bits != 0 && (bits & (bits - 1)) == 0;
}

uint16_t StrobeProducedSize(const IoSettings& io) {
  return io.strobe_produced_size.value_or(
      std::min(io.produced_size, StrobeConnection::kMaxProducedSize));
}

}  // namespace

PredefinedSet::PredefinedSet(SlaveContext& context, const IoSettings& io)
    : context_(context),
      supported_(static_cast<uint8_t>(kChoiceExplicit | (io.supported & kChoiceIo))),
      explicit_(1, context, [this](ExplicitConnection&) { OnExplicitEnded(); }),
      poll_(2, context, {io.produced_size, io.consumed_size}, [this] { Clear(kChoicePoll); }),
      strobe_(3, context, {StrobeProducedSize(io), StrobeConnection::kConsumedSize},
              [this] { Clear(kChoiceStrobe); }),
      cos_cyclic_(4, context, {io.produced_size, io.consumed_size},
                  [this] { Clear(kChoiceCosOrCyclic); }) {}

bool PredefinedSet::IsValidAllocation(uint8_t choice) const {
  const uint8_t cos_or_cyclic = (choice | allocated_) & kChoiceCosOrCyclic;
  return choice != 0 && (choice & ~supported_) == 0 &&
         (cos_or_cyclic == 0 || IsSingleBit(cos_or_cyclic));
}

uint8_t PredefinedSet::Allocate(uint8_t choice, uint8_t master) {
  if (!IsValidAllocation(choice)) return kInvalidParameter;
  if (master_ && *master_ != master) return kObjectStateConflict;
  if ((choice & allocated_) != 0 && !context_.behaviour.lenient) return kAlreadyInRequestedState;
  master_ = master;
  for (uint8_t bit = 1; bit != 0; bit = static_cast<uint8_t>(bit << 1)) {
    if ((choice & bit) != 0 && (allocated_ & bit) == 0) Open(bit);
  }
  allocated_ |= choice;
  return kSuccess;
}

uint8_t PredefinedSet::Release(uint8_t choice, uint8_t requester) {
  if (choice == 0 || (choice & ~kChoiceAll) != 0) return kInvalidParameter;
  if (master_ && *master_ != requester) return kObjectStateConflict;
  const uint8_t held = choice & allocated_;
  for (uint8_t bit = 1; bit != 0; bit = static_cast<uint8_t>(bit << 1)) {
    if ((held & bit) != 0) ConnectionFor(bit).Delete();
  }
  Clear(held);
  const bool all_held = held == choice;
  return all_held || context_.behaviour.lenient ? kSuccess : kObjectStateConflict;
}

void PredefinedSet::Free() {
  explicit_.Delete();
  poll_.Delete();
  strobe_.Delete();
  cos_cyclic_.Delete();
  allocated_ = 0;
  master_.reset();
}

Connection& PredefinedSet::ConnectionFor(uint8_t choice_bit) {
  if (choice_bit == kChoiceExplicit) return explicit_;
  return IoConnectionFor(choice_bit);
}

IoConnection& PredefinedSet::IoConnectionFor(uint8_t choice_bit) {
  if (choice_bit == kChoicePoll) return poll_;
  if (choice_bit == kChoiceStrobe) return strobe_;
  return cos_cyclic_;
}

IoConnection& PredefinedSet::OutputsTarget() {
  const bool poll_held = (allocated_ & kChoicePoll) != 0;
  if (!poll_held && (allocated_ & kChoiceCosOrCyclic) != 0) return cos_cyclic_;
  return poll_;
}

void PredefinedSet::Open(uint8_t choice_bit) {
  if (choice_bit == kChoiceCos) cos_cyclic_.set_production(Production::kChangeOfState);
  if (choice_bit == kChoiceCyclic) cos_cyclic_.set_production(Production::kCyclic);
  if (choice_bit != kChoiceExplicit) {
    IoConnectionFor(choice_bit).Establish();
    return;
  }
  const uint8_t mac = context_.mac;
  explicit_.Establish({Group2Id(mac, group2::kExplicitRequest),
                       Group2Id(mac, group2::kExplicitResponse), std::nullopt});
}

// Clears allocation bits; with none left the set is free for any master, and an explicit
// connection waiting for its deferred delete is gone.
void PredefinedSet::Clear(uint8_t choice_bits) {
  allocated_ &= static_cast<uint8_t>(~choice_bits);
  if ((allocated_ & kChoiceIo) == 0 && explicit_.state() == ConnectionState::kDeferredDelete) {
    explicit_.Delete();
  }
  if (allocated_ == 0) master_.reset();
}

void PredefinedSet::OnExplicitEnded() {
  Clear(kChoiceExplicit);
}

// The instances of the I/O connections the slave offers exist, and tell
// their sizes, before they are allocated; those it does not offer do not.
Connection* PredefinedSet::Find(uint16_t instance) {
  const auto offered = [this](uint8_t choice, Connection& connection) {
    return (supported_ & choice) != 0 ? &connection : nullptr;
  };
  switch (instance) {
    case 1:
      return &explicit_;
    case 2:
      // Without a poll connection the COS/cyclic connection takes the
      // master's outputs on the poll command identifier, so its output
      // side answers for the poll instance too.
      return offered(kChoicePoll | kChoiceCosOrCyclic, OutputsTarget());
    case 3:
      return offered(kChoiceStrobe, strobe_);
    case 4:
      return offered(kChoiceCosOrCyclic, cos_cyclic_);
    default:
      return nullptr;
  }
}

IoConnection* PredefinedSet::IoCommandTarget(const MessageAddress& address) {
  if (address.mac == context_.mac && address.message == group2::kPollCommand) {
    return &OutputsTarget();
  }
  if (address.mac == context_.mac && address.message == group2::kCosCyclicAck) return &cos_cyclic_;
  const bool strobe_held = (allocated_ & kChoiceStrobe) != 0 && master_ == address.mac;
  if (address.message == group2::kBitStrobeCommand && strobe_held) return &strobe_;
  return nullptr;
}

bool PredefinedSet::ReceiveExplicit(std::span<const uint8_t> data) {
  if (!explicit_.established()) return false;
  explicit_.Receive(data);
  return true;
}

}  // namespace dnsim
