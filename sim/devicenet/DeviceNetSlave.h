// A simulated DeviceNet slave on a segment of the virtual card: a group-2-only server with the
// predefined master/slave connection set, optionally UCMM capable, which answers duplicate MAC
// ID checks for its MAC ID, serves explicit requests to its objects, answers the poll and
// bit-strobe commands of its I/O connections and produces its inputs on its change of state or
// cyclic connection. For tests of a master it can also be power cycled and send frames that
// answer nothing.
//
// A slave whose communication has faulted (as after a failed duplicate MAC ID check) takes part
// in nothing but the offline connection set: it answers the owner's faulted-node check and list
// requests and takes a new MAC ID sent with its vendor ID and serial number. It then checks the
// new MAC ID once and, when no node answers within a second, rejoins as a normal slave.
//
// The card calls OnFrame and OnTimer on the segment's bus thread; the test interface calls in
// from any thread. One lock guards all of the slave's state; the card's Transmit and
// ScheduleTimer, which the slave calls under it, never call back into a node.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "MessageRouter.h"
#include "Node.h"
#include "Outbox.h"
#include "PredefinedSet.h"
#include "SlaveContext.h"
#include "SlaveSettings.h"
#include "Timers.h"
#include "Ucmm.h"

namespace dnsim {

// The slave as the test interface reports it.
struct SlaveStatus {
  uint8_t allocated = 0;  // choice bits of the predefined set held
  std::optional<uint8_t> master;
  ConnectionState explicit_state = ConnectionState::kNonExistent;
  ConnectionState poll_state = ConnectionState::kNonExistent;
  ConnectionState strobe_state = ConnectionState::kNonExistent;
  ConnectionState cos_cyclic_state = ConnectionState::kNonExistent;
  uint16_t expected_packet_rate = 0;  // of the predefined explicit connection
  WatchdogAction watchdog_action = WatchdogAction::kAutoDelete;
  std::vector<UcmmConnectionStatus> ucmm;
  SlaveCounters counters;
  bool silent = false;
  bool faulted = false;  // communication faulted, or checking a new MAC ID
};

class DeviceNetSlave final : public vcan::Node {
 public:
  DeviceNetSlave(std::string name, vcan::Segment& segment, uint32_t baud,
                 const SlaveSettings& settings);

  // Applies the behaviour of the description; call once, after attaching to the segment.
  void Start();

  uint8_t mac() const { return mac_.load(); }

  void OnFrame(const vcan::Frame& frame) override;
  void OnTimer(int tag) override;

  // ---- Test interface, from any thread ----
  void ChangeBehaviour(const BehaviourUpdate& update);
  SlaveStatus Status() const;
  std::optional<Bytes> ReadApplicationAttribute(uint8_t id) const;
  uint8_t WriteApplicationAttribute(uint8_t id, std::span<const uint8_t> value);  // status
  Bytes ReadOutputs() const;
  void WriteInputs(std::span<const uint8_t> inputs);

 private:
  void ApplyBehaviour(const BehaviourUpdate& update);
  void ScheduleSilence(const BehaviourUpdate& update);
  void PowerCycle();
  void SendStrayFrames(uint8_t count);
  void NoteTraffic();
  bool IsAddressedToMe(const vcan::Frame& frame) const;
  bool ReceiveIoCommand(const vcan::Frame& frame);
  bool Dispatch(const vcan::Frame& frame);
  bool DispatchGroup2(uint8_t message, std::span<const uint8_t> data);
  bool DispatchGroup3(const MessageAddress& address, uint32_t id, std::span<const uint8_t> data);
  void ServeUnconnected(std::span<const uint8_t> data);
  void AnswerDuplicateMacCheck(const vcan::Frame& frame);
  void SendDuplicateMacCheck(bool response);
  void ServeOfflineSet(const vcan::Frame& frame);
  void TakeNewMacId(const vcan::Frame& frame);
  void SendFaultedNodeAnswer();

  enum class Communication : uint8_t { kOnline, kFaulted, kCheckingMacId };

  const SlaveSettings settings_;
  std::atomic<uint8_t> mac_;  // changed only through the offline connection set
  mutable std::mutex mutex_;
  Communication communication_ = Communication::kOnline;
  Behaviour behaviour_;
  SlaveCounters counters_;
  TimerSet timers_;
  Outbox outbox_;
  ProcessImage image_;
  SlaveContext context_;
  PredefinedSet set_;
  Ucmm ucmm_;
  MessageRouter router_;
  Timer silence_start_;
  Timer silence_end_;
  Timer own_check_;
  Timer mac_id_checked_;
  bool heard_traffic_ = false;
};

}  // namespace dnsim
