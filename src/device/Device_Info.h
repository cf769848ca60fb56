// One slave device of a port's scan list: its configured connections, their
// receive buffers, status words, stop flags and error counters.
//
// The application's calls change the record's structure (connections,
// buffers) under the port's lock (exclusive); buffers are put in place and
// freed under the port's ReceiveLock, so routing never meets a half-made or
// freed buffer. The workers of a started device read both without either
// lock while a call configures another connection, so each is published
// whole through an atomic pointer. Status words, stop flags and counters
// are atomics shared with the workers. The library's lock order is in the
// README's "Threads and locks".
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "device/ConnectionKinds.h"
#include "device/RequestTurn.h"
#include "device/SetupReason.h"
#include "platform/Platform.h"
#include "port/MsgBuffer.h"

namespace dnm {

class CANPort;
class ConnectionObject;

// An object owned by the device that its workers read without a lock: set
// in full before it is seen, unseen before it goes. Set and Take are
// called by one thread at a time (under the port's lock).
template <typename T>
class Published {
 public:
  T* get() const { return seen_.load(std::memory_order_acquire); }
  void Set(std::unique_ptr<T> object) {
    owned_ = std::move(object);
    seen_.store(owned_.get(), std::memory_order_release);
  }
  std::unique_ptr<T> Take() {
    seen_.store(nullptr, std::memory_order_release);
    return std::move(owned_);
  }

 private:
  std::unique_ptr<T> owned_;
  std::atomic<T*> seen_{nullptr};
};

constexpr uint16_t kStatusEstablished = 0;
constexpr uint32_t kNoConnectionSet = UINT32_MAX;
constexpr uint8_t kNoMaster = 0xFF;
constexpr uint16_t kStatusNotEstablished = 255;

// How one explicit request of the device ended.
enum class RequestOutcome : uint8_t { kAnswered, kErrorResponse, kNoAnswer };

enum ErrorCounter : uint8_t {
  kExplicitMsgNoResponse,
  kExplicitMsgErrorResponse,
  kBitStrobeNoResponse,
  kCOS_CyclicWithPollNoResponse,
  kCOS_CyclicWithPollErrorResponse,
  kCOS_CyclicWithPollFragmentError,
  kCOS_CyclicWithPollSendError,
  kCOS_CyclicWithoutPollSendError,
  kCOS_CyclicWithoutPollACKNoResponse,
  kPollSendError,
  kPollNoResponse,
  kPollErrorResponse,
  kPollFragmentError,
  kErrorCounters
};

class Device_Info {
 public:
  Device_Info(uint8_t board, uint8_t port, uint8_t mac);
  ~Device_Info();
  Device_Info(const Device_Info&) = delete;
  Device_Info& operator=(const Device_Info&) = delete;

  uint8_t board() const { return board_; }
  uint8_t port() const { return port_; }
  uint8_t mac() const { return mac_; }

  uint8_t allocate_choice() const { return allocate_choice_.load(); }
  bool Has(uint8_t choice_bit) const { return (allocate_choice_.load() & choice_bit) != 0; }
  bool ucmm() const { return ucmm_.load() != 0; }
  void set_ucmm(uint8_t flag) { ucmm_ = flag; }
  uint16_t ucmm_instance() const { return ucmm_instance_.load(); }
  void set_ucmm_instance(uint16_t instance) { ucmm_instance_ = instance; }
  // True the first time only: the UCMM route of the device is added once.
  bool ClaimUcmmRoute() { return !ucmm_route_added_.exchange(true); }

  // An I/O connection stands only in the connection set it was set up in:
  // once the device holds another, it no longer reads as established, also
  // before its worker has noticed.
  uint16_t status(ConnectionKind kind) const {
    const uint16_t value = status_[kind].load();
    const bool set_gone = kind != kExplicit && value == kStatusEstablished &&
                          established_in_[kind].load() != connection_set_.load();
    return set_gone ? kStatusNotEstablished : value;
  }
  // A connection that stands has no set-up failure to tell any more.
  void set_status(ConnectionKind kind, uint16_t value) {
    if (value == kStatusEstablished) established_in_[kind].store(connection_set_.load());
    status_[kind].store(value);
    if (value == kStatusEstablished) setup_reasons_.Clear(kind);
  }
  // Notes why the kind's connection failed to stand or was lost.
  void NoteSetupFailure(ConnectionKind kind, const DNM_SetupFailure& failure) {
    setup_reasons_.Note(kind, failure);
  }
  SetupReasons& setup_reasons() { return setup_reasons_; }
  const SetupReasons& setup_reasons() const { return setup_reasons_; }
  // True while both the explicit connection and the kind's own stand: data
  // of an I/O connection is only current then.
  bool Stands(ConnectionKind kind) const {
    return status(kExplicit) == kStatusEstablished && status(kind) == kStatusEstablished;
  }
  // The connection set the device holds: a number that changes each time
  // the explicit connection is established anew, and when the port
  // releases the set. An I/O connection set up in one set is gone once the
  // device holds another.
  uint32_t connection_set() const { return connection_set_.load(); }
  void NewConnectionSet() { connection_set_.fetch_add(1); }
  // The connection set whose I/O connections were allocated over UCMM, or
  // kNoConnectionSet; read and written in the device's turn.
  // The master's MAC ID with which the set was last allocated on the group 2
  // route (kNoMaster: never).
  uint8_t allocated_as() const { return allocated_as_.load(); }
  void set_allocated_as(uint8_t master_mac) { allocated_as_.store(master_mac); }
  uint32_t ucmm_allocated_set() const { return ucmm_allocated_set_.load(); }
  void set_ucmm_allocated_set(uint32_t set) { ucmm_allocated_set_.store(set); }
  uint8_t stop_flag(ConnectionKind kind) const { return stop_[kind].load(); }
  void set_stop_flag(ConnectionKind kind, uint8_t value) { stop_[kind].store(value); }
  uint32_t counter(ErrorCounter which) const { return counters_[which].load(); }
  void Count(ErrorCounter which) { counters_[which].fetch_add(1); }
  // The time between the starts of two polls in ms, averaged so that each
  // new gap weighs 1/8. It is kept in eighths of a ms, so that the average
  // settles on the gap itself rather than below it. 0 until two polls have
  // started since it was cleared. One thread at a time writes it: the poll
  // worker clears it before it hands the connection to the port's poll
  // scheduler, whose thread notes each gap while it serves the connection.
  uint32_t poll_period_achieved() const { return poll_gap_eighths_.load() / 8; }
  void NotePollGap(uint32_t ms) {
    const uint32_t eighths = poll_gap_eighths_.load();
    poll_gap_eighths_.store(eighths == 0 ? ms * 8 : eighths - eighths / 8 + ms);
  }
  void ClearPollGaps() { poll_gap_eighths_.store(0); }
  // Stamps an answer of either kind as a sign of life and counts error
  // responses and requests that got no answer (or could not be sent).
  void NoteOutcome(RequestOutcome outcome);
  // Milliseconds since the device last answered an explicit request.
  uint32_t MsSinceAnswer() const;
  // An attribute call went unanswered: its answer may still come late, and
  // could be taken for the answer to the next call. The explicit worker is
  // asked to check the connection now, and until a request of the library's
  // own (whose answers differ from an attribute call's) is answered, the
  // next attribute call checks the connection first. Call holding the turn.
  void NoteMissedAnswer();
  bool suspect() const { return suspect_.load(); }
  // An answer to one of the library's own requests: it came after any late
  // answer to an earlier request, which can no longer mislead.
  void NoteOwnRequestAnswered();
  // Counts a keep-alive that went unanswered; returns how many did in a row.
  uint8_t NoteKeepAliveMissed() { return ++keepalive_misses_; }
  uint8_t keepalive_misses() const { return keepalive_misses_.load(); }
  // The general and additional status of the last error response to an
  // attribute call of the application, general in the high byte; 0 (success)
  // while there was none.
  void NoteErrorResponse(uint8_t general, uint8_t additional) {
    last_error_response_ = static_cast<uint16_t>(general << 8 | additional);
  }
  uint16_t last_error_response() const { return last_error_response_.load(); }

  TurnQueue& turn() { return turn_; }
  // Drops the frames held in the explicit buffer; a request about to leave
  // calls it, holding the turn: nothing that came before the request can
  // answer it.
  void DropHeldAnswers() const;
  // Raised once the device is being taken apart.
  const platform::StopSignal& gone() const { return gone_; }
  // Wakes everything that waits on the device (buffers, turn) so that it
  // looks at its stop signal.
  void WakeAllWaiters() const;
  // Frames were lost on their way to the device's buffers (see MsgBuffer::NoteLoss).
  void NoteFramesLost() const;

  bool poll_disabled() const { return poll_disabled_.load() != 0; }
  void set_poll_disabled() { poll_disabled_ = 1; }

  // The receive buffer of a connection, or nullptr when it has none.
  MsgBuffer* buffer(uint8_t instance) const {
    return instance < kConnectionKinds ? buffers_[instance].get() : nullptr;
  }
  MsgBuffer& MakeBuffer(uint8_t instance);
  void FreeBuffer(uint8_t instance);

  ConnectionObject* connection(ConnectionKind kind) const { return connections_[kind].get(); }

  // Configures a connection that is not configured yet: its choice bit, its
  // buffer, its object and its suspended worker. Returns the new object.
  ConnectionObject& Configure(CANPort& port, ConnectionKind kind, uint8_t choice_bit);
  // Ends every worker; the records stay. Once only.
  void EndWorkers();
  // Ends every worker and frees every connection, in the order the device is
  // taken apart (kTakeApartOrder). Once only.
  void TakeApart();

 private:
  void FreeConnection(ConnectionKind kind);

  const uint8_t board_;
  const uint8_t port_;
  const uint8_t mac_;
  std::atomic<uint8_t> allocate_choice_{0};
  std::atomic<uint8_t> ucmm_{0};
  std::atomic<uint16_t> ucmm_instance_{0};
  std::atomic<bool> ucmm_route_added_{false};
  std::array<std::atomic<uint32_t>, kErrorCounters> counters_{};
  std::atomic<uint32_t> poll_gap_eighths_{0};
  std::array<std::atomic<uint16_t>, kConnectionKinds> status_;
  std::array<std::atomic<uint8_t>, kConnectionKinds> stop_{};
  std::atomic<uint32_t> connection_set_{0};
  std::atomic<uint32_t> ucmm_allocated_set_{kNoConnectionSet};
  std::atomic<uint8_t> allocated_as_{kNoMaster};
  std::array<std::atomic<uint32_t>, kConnectionKinds> established_in_{};
  std::array<Published<ConnectionObject>, kConnectionKinds> connections_;
  std::atomic<uint8_t> poll_disabled_{0};
  std::array<Published<MsgBuffer>, kConnectionKinds> buffers_;
  std::atomic<uint32_t> last_answer_;
  std::atomic<bool> suspect_{false};
  std::atomic<uint8_t> keepalive_misses_{0};
  std::atomic<uint16_t> last_error_response_{0};
  SetupReasons setup_reasons_;
  mutable TurnQueue turn_;
  platform::StopSignal gone_;
  std::atomic<bool> workers_ended_{false};
  std::atomic<bool> taken_apart_{false};
};

}  // namespace dnm
