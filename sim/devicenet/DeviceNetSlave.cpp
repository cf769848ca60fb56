#include "DeviceNetSlave.h"

#include <algorithm>

#include "BitTiming.h"
#include "Segment.h"

namespace dnsim {
namespace {

constexpr uint8_t kCheckResponseFlag = 0x80;  // byte 0 of a duplicate MAC ID check response
constexpr uint8_t kStrayByte = 0x00;          // the one data byte of a frame that answers nothing

// The offline connection set: the owner's requests, the faulted nodes' answers.
constexpr uint32_t kFaultedNodeRequestId = 0x7ED;
constexpr uint32_t kFaultedNodeAnswerId = 0x7EC;
constexpr uint8_t kFaultedNodeMark = 0x3F;
constexpr uint8_t kCheckService = 0x4C;
constexpr uint8_t kListService = 0x4B;
constexpr uint8_t kChangeMacIdService = 0x4D;
constexpr auto kMacIdCheckTime = std::chrono::seconds(1);

// While the node's transmit queue is full, the outbox tries again once the bus can have carried
// half of it, so the queue is refilled before it runs dry and frames keep following back to back.
vcan::Clock::duration QueueRetryTime(uint32_t baud) {
  const vcan::Frame shortest{};
  return vcan::BitTime(vcan::FrameBits(shortest), baud) * (vcan::Segment::kTxQueueCapacity / 2);
}

std::span<const uint8_t> DataOf(const vcan::Frame& frame) {
  return {frame.data.data(), frame.len};
}

}  // namespace

DeviceNetSlave::DeviceNetSlave(std::string name, vcan::Segment& segment, uint32_t baud,
                               const SlaveSettings& settings)
    : Node(std::move(name), segment, baud),
      settings_(settings),
      mac_(settings.mac),
      communication_(settings.faulted ? Communication::kFaulted : Communication::kOnline),
      timers_([this](vcan::Clock::duration delay, int tag) { ScheduleTimer(delay, tag); }),
      outbox_(
          timers_, behaviour_,
          [this](const vcan::Frame& frame) {
            return Transmit(frame, vcan::Clock::now()) != vcan::SubmitResult::kQueueFull;
          },
          QueueRetryTime(baud)),
      context_{settings_.mac, timers_, outbox_, behaviour_, counters_, router_, image_},
      set_(context_, settings_.io),
      ucmm_(context_),
      router_(context_, settings_, baud, set_, ucmm_),
      silence_start_(timers_, [this] { behaviour_.silent = true; }),
      silence_end_(timers_, [this] { behaviour_.silent = false; }),
      own_check_(timers_, [this] { SendDuplicateMacCheck(false); }),
      mac_id_checked_(timers_, [this] { communication_ = Communication::kOnline; }) {}

void DeviceNetSlave::Start() {
  std::lock_guard lock(mutex_);
  ApplyBehaviour(settings_.behaviour);
}

void DeviceNetSlave::ChangeBehaviour(const BehaviourUpdate& update) {
  std::lock_guard lock(mutex_);
  ApplyBehaviour(update);
}

void DeviceNetSlave::ApplyBehaviour(const BehaviourUpdate& update) {
  update.ApplyTo(behaviour_);
  if (update.ChangesSilence()) ScheduleSilence(update);
  if (update.power_cycle) PowerCycle();
  SendStrayFrames(update.stray);
  set_.CheckChangeOfState();  // io_len and inputs shape the data produced
}

// A silence given by its end alone starts at once.
void DeviceNetSlave::ScheduleSilence(const BehaviourUpdate& update) {
  silence_start_.Stop();
  silence_end_.Stop();
  behaviour_.silent = update.silent.value_or(update.back_at && !update.silent_from);
  if (update.silent_from) silence_start_.Start(*update.silent_from);
  if (update.back_at) silence_end_.Start(*update.back_at);
}

// As a device switched off and on: no connection, no transfer, nothing left to send, no
// watchdog, no outputs. Its configuration (attribute values, inputs, behaviour) and the counters
// stay.
void DeviceNetSlave::PowerCycle() {
  set_.Free();
  image_.ForgetOutputs();
  ucmm_.CloseAll();
  outbox_.Clear();
  segment().DropPending(*this);
  if (behaviour_.check_on_power_up) SendDuplicateMacCheck(false);
}

// One-byte frames on the answer identifier (or stray_id), which answer no request.
void DeviceNetSlave::SendStrayFrames(uint8_t count) {
  vcan::Frame frame;
  frame.id = behaviour_.stray_id.value_or(Group2Id(mac(), group2::kExplicitResponse));
  frame.len = 1;
  frame.data[0] = kStrayByte;
  outbox_.Send(frame, FrameKind::kMessaging, count);
}

// ---- Frames ----

void DeviceNetSlave::OnFrame(const vcan::Frame& frame) {
  std::lock_guard lock(mutex_);
  NoteTraffic();
  if (communication_ != Communication::kOnline) {
    if (!frame.rtr && !behaviour_.silent) ServeOfflineSet(frame);
    return;
  }
  if (frame.rtr || ReceiveIoCommand(frame)) return;
  if (frame.len == 0) return;
  if (frame.id == Group2Id(mac(), group2::kDuplicateMacCheck)) {
    AnswerDuplicateMacCheck(frame);
    return;
  }
  if (!IsAddressedToMe(frame)) return;
  if (behaviour_.silent || !Dispatch(frame)) counters_.ignored_frames++;
}

void DeviceNetSlave::OnTimer(int tag) {
  std::lock_guard lock(mutex_);
  timers_.Fire(tag);
}

void DeviceNetSlave::NoteTraffic() {
  if (heard_traffic_) return;
  heard_traffic_ = true;
  if (settings_.check) own_check_.Start(settings_.check_at);
}

// Requests to the slave: its group 2 request messages, and group 3 requests whose header names
// its MAC ID (group 3 identifiers carry the sender's MAC ID, the header the receiver's).
bool DeviceNetSlave::IsAddressedToMe(const vcan::Frame& frame) const {
  if (const auto address = Group2Address(frame.id)) {
    return address->mac == mac() && (address->message == group2::kExplicitRequest ||
                                     address->message == group2::kUnconnectedRequest);
  }
  const auto address = Group3Address(frame.id);
  return address && address->message != group3::kUnconnectedResponse &&
         (frame.data[0] & kMacMask) == mac();
}

// Takes the master's I/O frames (commands, outputs, acknowledgements), which may be empty;
// false when the frame is none for this slave.
bool DeviceNetSlave::ReceiveIoCommand(const vcan::Frame& frame) {
  const auto address = Group2Address(frame.id);
  IoConnection* connection = address ? set_.IoCommandTarget(*address) : nullptr;
  if (connection == nullptr) return false;
  if (behaviour_.silent || !connection->Receive(address->message, DataOf(frame))) {
    counters_.io_ignored++;
    return true;
  }
  set_.CheckChangeOfState();  // outputs taken change what `echo` inputs produce
  return true;
}

// False when the slave has nothing that takes the frame.
bool DeviceNetSlave::Dispatch(const vcan::Frame& frame) {
  if (const auto address = Group2Address(frame.id)) {
    return DispatchGroup2(address->message, DataOf(frame));
  }
  return DispatchGroup3(*Group3Address(frame.id), frame.id, DataOf(frame));
}

bool DeviceNetSlave::DispatchGroup2(uint8_t message, std::span<const uint8_t> data) {
  if (message == group2::kExplicitRequest) return set_.ReceiveExplicit(data);
  if (data.size() < 2 || (data[0] & kFragmentFlag) != 0) return false;
  ServeUnconnected(data);
  return true;
}

bool DeviceNetSlave::DispatchGroup3(const MessageAddress& address, uint32_t id,
                                    std::span<const uint8_t> data) {
  if (!settings_.ucmm) return false;
  if (address.message == group3::kUnconnectedRequest) {
    ucmm_.OnRequest(address.mac, data);
    return true;
  }
  return ucmm_.Receive(id, data);
}

// Answers [0x40 | master, reply...] on the slave's group 2 message 3.
void DeviceNetSlave::ServeUnconnected(std::span<const uint8_t> data) {
  const uint8_t master = data[0] & kMacMask;
  const Bytes reply = router_.ServeUnconnected(data.subspan(1), master);
  vcan::Frame frame;
  frame.id = Group2Id(mac(), group2::kExplicitResponse);
  frame.data[0] = static_cast<uint8_t>(kXidFlag | master);
  std::copy(reply.begin(), reply.end(), frame.data.begin() + 1);
  frame.len = static_cast<uint8_t>(reply.size() + 1);
  outbox_.Send(frame);
}

// ---- Duplicate MAC ID check ----

void DeviceNetSlave::AnswerDuplicateMacCheck(const vcan::Frame& frame) {
  const bool request = (frame.data[0] & kCheckResponseFlag) == 0;
  if (request && behaviour_.answer_dupmac) SendDuplicateMacCheck(true);
}

// [0x80 for a response / 0x00 (port 0) for a request, vendor ID, serial number].
void DeviceNetSlave::SendDuplicateMacCheck(bool response) {
  vcan::Frame frame;
  frame.id = Group2Id(mac(), group2::kDuplicateMacCheck);
  Bytes data{response ? kCheckResponseFlag : uint8_t{0}};
  AppendLe(data, settings_.identity.vendor, 2);
  AppendLe(data, settings_.identity.serial, 4);
  std::copy(data.begin(), data.end(), frame.data.begin());
  frame.len = static_cast<uint8_t>(data.size());
  outbox_.Send(frame, FrameKind::kDuplicateMacCheck);
}

// ---- Offline connection set ----

void DeviceNetSlave::ServeOfflineSet(const vcan::Frame& frame) {
  if (communication_ == Communication::kCheckingMacId) {
    // Another node answers the check of the new MAC ID: faulted again.
    const bool answered = frame.id == Group2Id(mac(), group2::kDuplicateMacCheck) &&
                          frame.len > 0 && (frame.data[0] & kCheckResponseFlag) != 0;
    if (answered) {
      mac_id_checked_.Stop();
      communication_ = Communication::kFaulted;
    }
    return;
  }
  if (frame.id != kFaultedNodeRequestId || frame.len < 2) return;
  const uint8_t service = frame.data[1];
  if (frame.data[0] == kFaultedNodeMark && (service == kCheckService || service == kListService)) {
    SendFaultedNodeAnswer();
  } else if (service == kChangeMacIdService && frame.len == 8) {
    TakeNewMacId(frame);
  }
}

// [0x3F, vendor ID, serial number] on 0x7EC, for the check and the list alike.
void DeviceNetSlave::SendFaultedNodeAnswer() {
  vcan::Frame frame;
  frame.id = kFaultedNodeAnswerId;
  Bytes data{kFaultedNodeMark};
  AppendLe(data, settings_.identity.vendor, 2);
  AppendLe(data, settings_.identity.serial, 4);
  std::copy(data.begin(), data.end(), frame.data.begin());
  frame.len = static_cast<uint8_t>(data.size());
  outbox_.Send(frame);
}

// [new MAC ID, 0x4D, vendor ID, serial number]: only the node named takes it.
void DeviceNetSlave::TakeNewMacId(const vcan::Frame& frame) {
  const auto& d = frame.data;
  const uint16_t vendor = static_cast<uint16_t>(d[2] | d[3] << 8);
  const uint32_t serial = d[4] | d[5] << 8 | d[6] << 16 | static_cast<uint32_t>(d[7]) << 24;
  if (vendor != settings_.identity.vendor || serial != settings_.identity.serial) return;
  if (d[0] > kMacMask) return;
  mac_.store(d[0]);
  context_.mac = d[0];
  communication_ = Communication::kCheckingMacId;
  SendDuplicateMacCheck(false);
  mac_id_checked_.Start(kMacIdCheckTime);
}

// ---- Test interface ----

SlaveStatus DeviceNetSlave::Status() const {
  std::lock_guard lock(mutex_);
  const ExplicitConnection& connection = set_.explicit_connection();
  return SlaveStatus{.allocated = set_.allocated(),
                     .master = set_.master(),
                     .explicit_state = connection.state(),
                     .poll_state = set_.poll_connection().state(),
                     .strobe_state = set_.strobe_connection().state(),
                     .cos_cyclic_state = set_.cos_cyclic_connection().state(),
                     .expected_packet_rate = connection.expected_packet_rate(),
                     .watchdog_action = connection.watchdog_action(),
                     .ucmm = ucmm_.Status(),
                     .counters = counters_,
                     .silent = behaviour_.silent,
                     .faulted = communication_ != Communication::kOnline};
}

std::optional<Bytes> DeviceNetSlave::ReadApplicationAttribute(uint8_t id) const {
  std::lock_guard lock(mutex_);
  AttributeReply reply = router_.application().Get(id);
  if (reply.status != kSuccess) return std::nullopt;
  return std::move(reply.value);
}

uint8_t DeviceNetSlave::WriteApplicationAttribute(uint8_t id, std::span<const uint8_t> value) {
  std::lock_guard lock(mutex_);
  return router_.application().Set(id, value);
}

Bytes DeviceNetSlave::ReadOutputs() const {
  std::lock_guard lock(mutex_);
  return image_.outputs();
}

void DeviceNetSlave::WriteInputs(std::span<const uint8_t> inputs) {
  std::lock_guard lock(mutex_);
  image_.WriteInputs(inputs);
  set_.CheckChangeOfState();
}

}  // namespace dnsim
