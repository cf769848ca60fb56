// The explicit requests with which the I/O workers set their connections
// up: read a connection's produced and consumed size, set its expected
// packet rate and, for a device reached through UCMM, allocate and release
// the connection set over its group 3 connection. Each runs on the calling
// worker, in the device's turn, and blocks it until the answer or the limit.
#pragma once

#include <cstdint>

#include "device/ConnectionKinds.h"
#include "platform/Platform.h"

namespace dnm {

class CANPort;
class Device_Info;
struct ExchangeSpec;

// Each works on the Connection object instance of the I/O connection kind and
// returns an ExchangeResult: 0 answered, 1 error answer, 2 answered in
// fragments (no size is that long), 3 no answer in time or the send failed,
// 4 not sent for a transmit queue that stayed full. The size is the
// attribute's low byte.
int GetProducedConnectionSize(CANPort& port, Device_Info& device, bool ucmm, ConnectionKind kind,
                              uint16_t& size, const platform::StopSignal* stop);
int GetConsumedConnectionSize(CANPort& port, Device_Info& device, bool ucmm, ConnectionKind kind,
                              uint16_t& size, const platform::StopSignal* stop);
int AllocateUCMM(CANPort& port, Device_Info& device, const platform::StopSignal* stop);
int ReleaseConnection_UCMM(CANPort& port, Device_Info& device, bool wait,
                           const platform::StopSignal* stop);
int Set_ExpectedPacketRate(CANPort& port, Device_Info& device, bool ucmm, ConnectionKind kind,
                           const platform::StopSignal* stop);
// The request of ReleaseConnection_UCMM, for a caller that sends it itself.
ExchangeSpec ReleaseUcmmSpec(const CANPort& port, const Device_Info& device);
// Releases the device's connection set on its route (group 2 or UCMM).
int ReleaseConnectionSet(CANPort& port, Device_Info& device, bool ucmm, bool wait,
                         const platform::StopSignal* stop);

// The high byte of a poll or bit-strobe connection's expected packet rate as
// sent on the UCMM route: the configured one when it is 1 to 3, else 1.
uint8_t UcmmRateHighByte(uint16_t rate);

}  // namespace dnm
