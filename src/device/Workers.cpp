#include "device/Workers.h"

#include "device/ConnectionObject.h"

namespace dnm {

void RunWorker(CANPort& port, Device_Info& device, ConnectionObject& connection) {
  KindInfo(connection.kind()).body(port, device, connection);
}

}  // namespace dnm
