#include "device/Device_Info.h"

#include "api/Library.h"
#include "device/ConnectionObject.h"
#include "trace/Trace.h"

namespace dnm {

Device_Info::Device_Info(uint8_t board, uint8_t port, uint8_t mac)
    : board_(board), port_(port), mac_(mac), last_answer_(platform::GetTickCount()) {
  for (auto& status : status_) status = kStatusNotEstablished;
}

Device_Info::~Device_Info() {
  TakeApart();
}

MsgBuffer& Device_Info::MakeBuffer(uint8_t instance) {
  std::lock_guard routing(ReceiveLock(board_, port_));
  if (!buffers_[instance].get()) buffers_[instance].Set(std::make_unique<MsgBuffer>());
  return *buffers_[instance].get();
}

void Device_Info::FreeBuffer(uint8_t instance) {
  std::unique_ptr<MsgBuffer> freed;
  {
    std::lock_guard routing(ReceiveLock(board_, port_));
    freed = buffers_[instance].Take();
  }
}

ConnectionObject& Device_Info::Configure(CANPort& port, ConnectionKind kind, uint8_t choice_bit) {
  const uint8_t choice = allocate_choice_.fetch_or(choice_bit) | choice_bit;
  Trace("AllocateChoiceByte %d", choice);
  MakeBuffer(kind);
  auto made = std::make_unique<ConnectionObject>(board_, port_, mac_, KindInfo(kind).instance);
  ConnectionObject& connection = *made;
  connection.CreateWorker(port, *this);
  connections_[kind].Set(std::move(made));
  set_status(kind, kStatusNotEstablished);
  return connection;
}

void Device_Info::FreeConnection(ConnectionKind kind) {
  const uint8_t choice_bits = KindInfo(kind).choice_bits;
  if (!Has(choice_bits)) return;
  allocate_choice_.fetch_and(static_cast<uint8_t>(~choice_bits));
  ConnectionObject* connection = connections_[kind].get();
  if (connection == nullptr) return;
  connection->DeleteWorker(*this);
  connections_[kind].Take();
  FreeBuffer(kind);
}

void Device_Info::NoteOutcome(RequestOutcome outcome) {
  if (outcome == RequestOutcome::kNoAnswer) {
    Count(kExplicitMsgNoResponse);
    return;
  }
  last_answer_ = platform::GetTickCount();
  if (outcome == RequestOutcome::kErrorResponse) Count(kExplicitMsgErrorResponse);
}

uint32_t Device_Info::MsSinceAnswer() const {
  return platform::GetTickCount() - last_answer_.load();
}

void Device_Info::NoteMissedAnswer() {
  suspect_ = true;
  if (ConnectionObject* connection = connections_[kExplicit].get()) connection->end().Nudge();
}

void Device_Info::NoteOwnRequestAnswered() {
  suspect_ = false;
  keepalive_misses_ = 0;
}

void Device_Info::DropHeldAnswers() const {
  if (MsgBuffer* buffer = buffers_[kExplicit].get()) buffer->ClearBuffer();
}

void Device_Info::WakeAllWaiters() const {
  for (const auto& buffer : buffers_) {
    if (MsgBuffer* held = buffer.get()) held->WakeWaiters();
  }
  turn_.WakeWaiters();
}

void Device_Info::NoteFramesLost() const {
  for (const auto& buffer : buffers_) {
    if (MsgBuffer* held = buffer.get()) held->NoteLoss();
  }
}

void Device_Info::EndWorkers() {
  if (workers_ended_.exchange(true)) return;
  // Calls that use the device end their waits; every worker ends before any
  // buffer goes (an I/O worker may be waiting on the explicit buffer while
  // it sets its connection up).
  gone_.Raise();
  WakeAllWaiters();
  for (auto& connection : connections_) {
    if (ConnectionObject* object = connection.get()) object->RequestEnd(*this);
  }
  for (auto& connection : connections_) {
    if (ConnectionObject* object = connection.get()) object->JoinWorker();
  }
}

void Device_Info::TakeApart() {
  if (taken_apart_.exchange(true)) return;
  EndWorkers();
  // The request in progress, if any, gives its turn back before its
  // connection goes.
  turn_.CloseAndWaitFree();
  for (const ConnectionKind kind : kTakeApartOrder) {
    // COS/cyclic acknowledgements use the poll buffer also without a poll connection.
    if (kind == kPoll && !Has(kChoicePoll)) FreeBuffer(kPoll);
    FreeConnection(kind);
  }
}

}  // namespace dnm
