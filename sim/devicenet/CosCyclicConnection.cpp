#include "CosCyclicConnection.h"

namespace dnsim {

CosCyclicConnection::CosCyclicConnection(uint16_t instance, SlaveContext& context, IoSizes sizes,
                                         DeletedHandler on_watchdog_delete)
    : OutputConnection(instance, context, sizes, std::move(on_watchdog_delete)),
      production_timer_(context.timers, [this] { OnProductionDue(); }) {}

void CosCyclicConnection::Delete() {
  OutputConnection::Delete();
  production_timer_.Stop();
  awaiting_ack_ = false;
}

void CosCyclicConnection::CheckChangeOfState() {
  const bool established = state() == ConnectionState::kEstablished;
  if (established && production_ == Production::kChangeOfState && DataProduced() != last_data_) {
    Produce();
  }
}

bool CosCyclicConnection::Consume(uint8_t message, std::span<const uint8_t> data) {
  if (message == group2::kCosCyclicAck) return TakeAcknowledgement(data);
  return ConsumeOutputs(data);
}

// Answered with an empty frame on the poll response message.
bool CosCyclicConnection::TakeOutputs(std::span<const uint8_t> outputs) {
  context_.image.TakeOutputs(outputs);
  context_.counters.cos_outputs_received++;
  const Behaviour& behaviour = context_.behaviour;
  if (!behaviour.no_output_ack && !behaviour.io_silent) {
    SendFrame(Group1Id(group1::kPollResponse, context_.mac), {});
  }
  return true;
}

// An empty frame while a production awaits it.
bool CosCyclicConnection::TakeAcknowledgement(std::span<const uint8_t> data) {
  if (!data.empty() || !awaiting_ack_) return false;
  awaiting_ack_ = false;
  context_.counters.cos_acks_received++;
  return true;
}

void CosCyclicConnection::OnRateChanged() {
  OutputConnection::OnRateChanged();
  if (state() != ConnectionState::kEstablished) return;
  last_data_ = DataProduced();
  ScheduleProduction();
}

void CosCyclicConnection::OnProductionDue() {
  if (state() != ConnectionState::kEstablished) return;
  if (awaiting_ack_) context_.counters.cos_repeats++;
  Produce();
}

void CosCyclicConnection::Produce() {
  last_data_ = DataProduced();
  awaiting_ack_ = Respond(group1::kCosCyclicProduction, context_.counters.cos_productions);
  ScheduleProduction();
}

void CosCyclicConnection::ScheduleProduction() {
  if (expected_packet_rate() == 0) {
    production_timer_.Stop();
    return;
  }
  production_timer_.Start(std::chrono::milliseconds(expected_packet_rate()));
}

Bytes CosCyclicConnection::DataProduced() const {
  return context_.image.Response(MessageSize(), context_.behaviour.inputs, 0);
}

}  // namespace dnsim
