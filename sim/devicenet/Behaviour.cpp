#include "Behaviour.h"

namespace dnsim {
namespace {

// Counts down a "the n-th from now" setting; true when it falls due.
bool CountDown(uint32_t& remaining) {
  return remaining != 0 && --remaining == 0;
}

}  // namespace

FragmentAck Behaviour::TakeFragment() {
  const bool lose = CountDown(lose_fragment_in);
  const bool refuse = CountDown(refuse_fragment_in);
  if (lose) return FragmentAck::kLost;
  return refuse ? FragmentAck::kError : FragmentAck::kNormal;
}

void BehaviourUpdate::ApplyTo(Behaviour& behaviour) const {
  if (delay) behaviour.delay = *delay;
  if (answer_dupmac) behaviour.answer_dupmac = *answer_dupmac;
  if (error_services) behaviour.error_services = *error_services;
  if (error_status) behaviour.error_status = *error_status;
  if (drop_ack) behaviour.lose_fragment_in = *drop_ack;
  if (ack_error) behaviour.refuse_fragment_in = *ack_error;
  if (fragmented_set_response) behaviour.fragmented_set_response = *fragmented_set_response;
}

}  // namespace dnsim
