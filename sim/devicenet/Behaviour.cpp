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

AnswerFlaws Behaviour::TakeFragmentedAnswer() {
  return {.short_first = CountDown(short_first_fragment_in),
          .skipped_count = CountDown(skip_fragment_count_in)};
}

bool Behaviour::TakeFragmentedIoResponse() {
  return CountDown(skip_io_fragment_count_in);
}

void BehaviourUpdate::ApplyTo(Behaviour& behaviour) const {
  if (delay) behaviour.delay = *delay;
  if (lenient) behaviour.lenient = *lenient;
  if (answer_dupmac) behaviour.answer_dupmac = *answer_dupmac;
  if (error_services) behaviour.error_services = *error_services;
  if (error_status) behaviour.error_status = *error_status;
  if (drop_ack) behaviour.lose_fragment_in = *drop_ack;
  if (ack_error) behaviour.refuse_fragment_in = *ack_error;
  if (fragmented_set_response) behaviour.fragmented_set_response = *fragmented_set_response;
  if (frag_short) behaviour.short_first_fragment_in = *frag_short;
  if (frag_skip) behaviour.skip_fragment_count_in = *frag_skip;
  if (stray_id) behaviour.stray_id = *stray_id;
  if (power_check) behaviour.check_on_power_up = *power_check;
  if (inputs) behaviour.inputs = *inputs;
  if (io_len) behaviour.io_length = *io_len;
  if (io_silent) behaviour.io_silent = *io_silent;
  if (no_output_ack) behaviour.no_output_ack = *no_output_ack;
  if (io_frag_skip) behaviour.skip_io_fragment_count_in = *io_frag_skip;
  if (report_produced) behaviour.reported_produced_size = *report_produced;
  if (report_consumed) behaviour.reported_consumed_size = *report_consumed;
}

}  // namespace dnsim
