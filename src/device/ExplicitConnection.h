// Establishing, keeping and releasing a device's explicit messaging
// connection: through the predefined master/slave connection set (group 2)
// or through UCMM (group 3).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Platform.h"

namespace dnm {

class CANPort;
class Device_Info;
struct ExchangeSpec;

// Configures the explicit connection with the watchdog timeout action the
// device receives at its next establishment; a configured one only takes
// the new action.
void ConfigureExplicitConnection(CANPort& port, Device_Info& device, uint16_t action);

// Each returns 0 answered, 1 error response, 3 no answer or send failure.
// With wait false, release and close return 0 right after sending; a device
// that refuses a release or close holds nothing to release, and they return
// 0 then too. An allocation that the device refuses as held already is
// released and made once more (see ExplicitExchange::AllocateInTurn).
int AllocateConnection(CANPort& port, Device_Info& device, const platform::StopSignal* stop);
int ReleaseConnection(CANPort& port, Device_Info& device, bool wait,
                      const platform::StopSignal* stop);
int Set_ExplicitMsg_WatchdogTimeout(CANPort& port, Device_Info& device,
                                    const platform::StopSignal* stop);
int OpenExplicitUCMM(CANPort& port, Device_Info& device, const platform::StopSignal* stop);
int ThreadCloseExplicitUCMM(CANPort& port, Device_Info& device, bool wait,
                            const platform::StopSignal* stop);
// The requests of release and UCMM close, for a caller that sends them
// itself (the release of all of a port's devices at once).
ExchangeSpec ReleaseSpec(const CANPort& port, const Device_Info& device);
// The same release sent under one of the master's MAC IDs.
ExchangeSpec ReleaseSpec(const Device_Info& device, uint8_t master_mac);
// The releases that go before an allocation again of a set refused as held.
std::vector<ExchangeSpec> ReleasesBeforeAllocation(const CANPort& port, const Device_Info& device);
ExchangeSpec CloseUcmmSpec(const CANPort& port, const Device_Info& device);
// A keep-alive: reads the explicit connection's own state (Connection
// class, instance 1, attribute 1) on the device's route. An answer of either
// kind shows that the device still holds the connection (true). Two in a row
// unanswered, whoever sent them, mean the connection is lost: its status
// becomes 255, so the explicit worker sets it up again. The first waits 1 s
// for its answer; after a miss the second follows at once and waits until
// 3 s after the first, the time a device has to answer any request (1 s
// after an attribute call went unanswered).
bool CheckExplicitConnection(CANPort& port, Device_Info& device, const platform::StopSignal* stop,
                             bool turn_held = false);

}  // namespace dnm
