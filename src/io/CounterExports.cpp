// Exports that read a device's error counters and achieved poll period, and
// set the poll and bit-strobe periods. None of them touches the bus. The
// getters make no checks aloud: a board, port or MAC ID that names no device
// reads 0.
#include <memory>
#include <shared_mutex>

#include "VELKCANDNM.h"
#include "api/Board.h"
#include "api/Library.h"
#include "device/Device_Info.h"
#include "io/Periods.h"
#include "port/CANPort.h"

using namespace dnm;

namespace {

// What read gives for the device of (board, port, mac); 0 for none.
template <typename Read>
uint32_t ReadDevice(uint8_t board, uint8_t port, uint8_t mac, Read read) {
  Library& lib = Lib();
  if (board >= lib.board_count.load() || board >= kMaxBoards || port >= kPortsPerBoard ||
      mac > kMaxMacId) {
    return 0;
  }
  // A board being activated or closed is not waited for.
  std::shared_lock lifecycle(lib.lifecycle[board], std::try_to_lock);
  if (!lifecycle.owns_lock() || lib.board_active[board] == 0) return 0;
  const std::shared_ptr<Device_Info> device = lib.boards[board]->port(port).LeaseDevice(mac);
  return device ? read(*device) : 0;
}

// Stores 1000 / frequency ms (at least 1) and returns the frequency that
// period gives. Frequency 0 changes nothing and returns 0.
uint32_t SetPeriod(std::atomic<uint32_t>& period, uint16_t frequency) {
  if (frequency == 0) return 0;
  const uint32_t ms = 1000u / frequency;
  const uint32_t stored = ms == 0 ? 1 : ms;
  period = stored;
  return 1000u / stored;
}

}  // namespace

extern "C" {

#define DNM_COUNTER_GETTER(name)                                                          \
  DNM_EXPORT uint32_t DNM_CALL DNM_Get##name(uint8_t board, uint8_t port, uint8_t mac) {  \
    return ReadDevice(board, port, mac,                                                   \
                      [](const Device_Info& device) { return device.counter(k##name); }); \
  }

DNM_COUNTER_GETTER(ExplicitMsgNoResponse)
DNM_COUNTER_GETTER(ExplicitMsgErrorResponse)
DNM_COUNTER_GETTER(BitStrobeNoResponse)
DNM_COUNTER_GETTER(COS_CyclicWithPollNoResponse)
DNM_COUNTER_GETTER(COS_CyclicWithPollErrorResponse)
DNM_COUNTER_GETTER(COS_CyclicWithPollFragmentError)
DNM_COUNTER_GETTER(COS_CyclicWithPollSendError)
DNM_COUNTER_GETTER(COS_CyclicWithoutPollSendError)
DNM_COUNTER_GETTER(COS_CyclicWithoutPollACKNoResponse)
DNM_COUNTER_GETTER(PollSendError)
DNM_COUNTER_GETTER(PollNoResponse)
DNM_COUNTER_GETTER(PollErrorResponse)
DNM_COUNTER_GETTER(PollFragmentError)

#undef DNM_COUNTER_GETTER

DNM_EXPORT uint32_t DNM_CALL DNM_GetPollPeriodAchieved(uint8_t board, uint8_t port, uint8_t mac) {
  return ReadDevice(board, port, mac, [](const Device_Info& device) {
    return device.Stands(kPoll) ? device.poll_period_achieved() : 0;
  });
}

DNM_EXPORT uint32_t DNM_CALL DNM_SetPollFrequency(uint16_t frequency) {
  return SetPeriod(PollPeriod(), frequency);
}

DNM_EXPORT uint32_t DNM_CALL DNM_SetBitStrobeFrequency(uint16_t frequency) {
  return SetPeriod(BitStrobePeriod(), frequency);
}

}  // extern "C"
