#include "device/ScanList.h"

#include "VELKCANDNM.h"
#include "device/Device_Info.h"
#include "netmgmt/StartStop.h"
#include "port/CANPort.h"
#include "port/MapTable.h"
#include "trace/Trace.h"

namespace dnm {

uint16_t CreateNetDevice(CANPort& port, uint8_t mac, uint8_t ucmm) {
  if (port.InScanList(mac)) {
    Trace("CANPort_Info::CreateNetDevice( )   Error!MAC ID %d is in the ScanList", mac);
    return DNM_DeviceAlreadyInScanList;
  }
  Trace("Desmacid is %d", mac);
  auto device = std::make_unique<Device_Info>(port.board_number(), port.port_number(), mac);
  device->set_ucmm(ucmm);
  port.SetDevice(mac, std::move(device));
  return 0;
}

uint16_t DeleteDevice(CANPort& port, uint8_t mac) {
  if (!port.InScanList(mac)) {
    Trace("CANPort_Info::DeleteDevice( )   Error!MAC ID %d is not the ScanList", mac);
    return DNM_DeviceNotInScanList;
  }
  // Out of the routing first; then its workers end and its records go. A
  // call still using the device lets go of the record when it returns.
  port.TakeDevice(mac)->TakeApart();
  return 0;
}

void RemoveDevice(CANPort& port, uint8_t mac) {
  if (port.IsStarted(mac)) StopDevice(port, mac);
  port.map().RemoveByMACID(mac);
  port.map().ShowMapTable();
  DeleteDevice(port, mac);
  // A worker that opened a UCMM connection just before it ended may have
  // added the device's group 3 route after the routes were removed.
  port.map().RemoveByMACID(mac);
}

void DismantleDevices(CANPort& port) {
  for (uint8_t mac = 0; mac < 64; ++mac) {
    if (Device_Info* device = port.InScanList(mac) ? port.device(mac) : nullptr)
      device->TakeApart();
  }
}

void RemoveAllDevices(CANPort& port) {
  for (uint8_t mac = 0; mac < 64; ++mac) {
    if (port.InScanList(mac)) RemoveDevice(port, mac);
  }
}

}  // namespace dnm
