// Establishing, keeping and releasing a device's explicit messaging
// connection: through the predefined master/slave connection set (group 2)
// or through UCMM (group 3).
#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace dnm {

class CANPort;
class Device_Info;

// Each returns 0 answered, 1 error response, 3 no answer or send failure.
// With wait false, release and close return 0 right after sending.
int AllocateConnection(CANPort& port, Device_Info& device, const platform::StopSignal* stop);
int ReleaseConnection(CANPort& port, Device_Info& device, bool wait,
                      const platform::StopSignal* stop);
int Set_ExplicitMsg_WatchdogTimeout(CANPort& port, Device_Info& device,
                                    const platform::StopSignal* stop);
int OpenExplicitUCMM(CANPort& port, Device_Info& device, const platform::StopSignal* stop);
int ThreadCloseExplicitUCMM(CANPort& port, Device_Info& device, bool wait,
                            const platform::StopSignal* stop);

}  // namespace dnm
