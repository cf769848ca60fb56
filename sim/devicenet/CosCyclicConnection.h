// The change of state or cyclic connection of the predefined set (instance 4). Once established
// (the master set its expected packet rate) the slave produces its inputs on its own, on group 1
// message 13, in fragments above eight bytes:
//   cyclic           every expected packet rate;
//   change of state  at once when the data it produces changed (CheckChangeOfState), and one
//                    expected packet rate after its last production as a heartbeat.
// The first production falls due one rate after the rate was set; rate 0 means no due times
// (cyclic then produces nothing, change of state only on changes). Whether the data changed is
// judged on the message as the behaviour shapes it, leaving out the counter byte of `counter`
// inputs, so such a connection produces on its heartbeat only unless other bytes change.
//
// The master acknowledges each production with an empty frame on the slave's group 2 message
// 2. A production still unacknowledged at the next due time counts as repeated there (the one
// produced then carries the inputs as they are by then).
//
// While the master holds no poll connection of the slave, the master's outputs come on the
// poll command message (group 2 message 5) to this connection instead, and the slave
// acknowledges each output message it takes with an empty frame on group 1 message 15. Both
// kinds of frames from the master restart the watchdog.
#pragma once

#include "IoConnection.h"

namespace dnsim {

enum class Production : uint8_t { kCyclic, kChangeOfState };

class CosCyclicConnection final : public OutputConnection {
 public:
  CosCyclicConnection(uint16_t instance, SlaveContext& context, IoSizes sizes,
                      DeletedHandler on_watchdog_delete);

  // Before Establish: which of the two the master allocated.
  void set_production(Production production) { production_ = production; }
  void Delete() override;
  // After anything that may change the data produced: a change of state connection produces
  // at once when it did.
  void CheckChangeOfState();

 private:
  bool Consume(uint8_t message, std::span<const uint8_t> data) override;
  bool TakeOutputs(std::span<const uint8_t> outputs) override;
  bool TakeAcknowledgement(std::span<const uint8_t> data);
  void OnRateChanged() override;
  void OnProductionDue();
  void Produce();
  void ScheduleProduction();
  Bytes DataProduced() const;  // without the counter byte

  Production production_ = Production::kCyclic;
  Timer production_timer_;
  bool awaiting_ack_ = false;
  Bytes last_data_;  // DataProduced() of the last production, or when the rate was set
};

}  // namespace dnsim
