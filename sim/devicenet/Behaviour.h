// How a slave misbehaves on purpose, for tests of a master: late answers, silence, error
// responses to chosen services, lost or refused fragment acknowledgements, an odd answer form,
// flawed fragments in its own answers, frames that answer nothing, a power cycle; I/O responses
// of a wrong length, with a miscounted fragment or none at all, and connection sizes that lie;
// outputs left unacknowledged.
// Also where the data of its I/O responses comes from.
// Set from the network description and changed at run time through the test interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace dnsim {

// The services a slave counts and can be told to refuse.
enum class ServiceKind : uint8_t { kAllocate, kRelease, kGet, kSet, kOpen, kClose, kOther };
inline constexpr size_t kServiceKinds = 7;

inline constexpr uint8_t ServiceBit(ServiceKind kind) {
  return static_cast<uint8_t>(1u << static_cast<unsigned>(kind));
}

// What to do with a received fragment.
enum class FragmentAck { kNormal, kLost, kError };

// How a fragmented answer departs from the rules.
struct AnswerFlaws {
  bool short_first = false;    // the first fragment carries two body bytes instead of six
  bool skipped_count = false;  // the second fragment's count jumps ahead
};

// Where the data of the slave's I/O responses comes from (see ProcessImage).
enum class InputSource : uint8_t { kCounter, kEcho, kFixed };

// A size that replaces the real one; none: the real one.
using SizeOverride = std::optional<uint16_t>;

// Before every frame a slave sends: a device needs some time to answer.
inline constexpr std::chrono::milliseconds kDefaultAnswerDelay{1};

struct Behaviour {
  std::chrono::milliseconds delay = kDefaultAnswerDelay;  // before every frame the slave sends
  // Releasing a connection not allocated succeeds, and so does allocating again what the same
  // master holds; strict (false) answers both with an error, as devices of the standard do.
  bool lenient = false;
  bool silent = false;                 // hears and sends no messaging frame
  bool answer_dupmac = true;           // answers duplicate MAC ID checks, silent or not
  uint8_t error_services = 0;          // ServiceBit()s answered with an error response
  uint8_t error_status = 0x02;         // their general status (resource unavailable)
  uint32_t lose_fragment_in = 0;       // the n-th fragment from now is lost (not acknowledged)
  uint32_t refuse_fragment_in = 0;     // the n-th fragment from now is acknowledged with error
  bool fragmented_set_response = false;
  uint32_t short_first_fragment_in = 0;  // the n-th fragmented answer from now
  uint32_t skip_fragment_count_in = 0;   // the n-th fragmented answer from now
  std::optional<uint32_t> stray_id;      // of frames that answer nothing; none: answer identifier
  bool check_on_power_up = false;        // own duplicate MAC ID check after a power cycle
  InputSource inputs = InputSource::kCounter;
  SizeOverride io_length;                  // of every I/O message sent, not the produced size
  bool io_silent = false;                  // takes I/O frames but sends no I/O message
  bool no_output_ack = false;              // takes change of state / cyclic outputs unanswered
  uint32_t skip_io_fragment_count_in = 0;  // the n-th I/O message in fragments from now
  SizeOverride reported_produced_size;     // by I/O connections, for Get of attribute 7
  SizeOverride reported_consumed_size;     // attribute 8

  bool Fails(ServiceKind kind) const { return (error_services & ServiceBit(kind)) != 0; }

  // Counts one received fragment and says how to treat it.
  FragmentAck TakeFragment();
  // Counts one fragmented answer about to be sent and says how to flaw it.
  AnswerFlaws TakeFragmentedAnswer();
  // Counts one I/O message about to be sent in fragments; true when its counts skip one.
  bool TakeFragmentedIoResponse();
};

// A change of behaviour: only the fields given change. silent_from and back_at count from the
// moment the change applies (the slave's start for the network description).
struct BehaviourUpdate {
  std::optional<std::chrono::milliseconds> delay;
  std::optional<bool> lenient;
  std::optional<bool> silent;
  std::optional<std::chrono::milliseconds> silent_from;
  std::optional<std::chrono::milliseconds> back_at;
  std::optional<bool> answer_dupmac;
  std::optional<uint8_t> error_services;
  std::optional<uint8_t> error_status;
  std::optional<uint32_t> drop_ack;
  std::optional<uint32_t> ack_error;
  std::optional<bool> fragmented_set_response;
  std::optional<uint32_t> frag_short;
  std::optional<uint32_t> frag_skip;
  std::optional<uint32_t> stray_id;
  std::optional<bool> power_check;
  std::optional<InputSource> inputs;
  std::optional<SizeOverride> io_len;
  std::optional<bool> io_silent;
  std::optional<bool> no_output_ack;
  std::optional<uint32_t> io_frag_skip;
  std::optional<SizeOverride> report_produced;
  std::optional<SizeOverride> report_consumed;
  // Actions, done once when the update applies (after the settings above).
  bool power_cycle = false;
  uint8_t stray = 0;  // frames that answer nothing, sent at once

  // Applies the settings, not the timed silence nor the actions, which need the slave itself.
  void ApplyTo(Behaviour& behaviour) const;
  bool ChangesSilence() const { return silent || silent_from || back_at; }
};

}  // namespace dnsim
